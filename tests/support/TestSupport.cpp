#include "TestSupport.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "FFmpegLoader.h"

namespace testing_support {

bool LoadEngineLibraries() {
  FFmpegLoader().SetLibraryPath(DefaultLibraryDir());
  return FFmpegLoader().LoadLibraries(ENGINE_LIBRARIES);
}

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quellon-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) Dir = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  if (!Dir.empty()) std::filesystem::remove_all(Dir, ignored);
}

std::string Encoded(const std::string& utf8, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "";
  std::string out(utf8.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size(), outLeft = out.size();
  char* to = &out[0];
  const bool ok = iconv(cd, &in, &inLeft, &to, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  return ok ? out.substr(0, out.size() - outLeft) : "";
}

namespace {

// An ID3v2.3 tag of text frames, each with encoding byte 0 and the bytes given.
std::string Id3v23(const std::vector<std::pair<std::string, std::string>>& frames) {
  auto be32 = [](size_t v, int bits) {
    std::string b(4, '\0');
    for (int i = 0; i < 4; ++i)
      b[i] = static_cast<char>((v >> (bits * (3 - i))) & ((1u << bits) - 1));
    return b;
  };
  std::string body;
  for (const auto& frame : frames) {
    const std::string text = std::string(1, '\0') + frame.second;
    body += frame.first + be32(text.size(), 8) + std::string(2, '\0') + text;
  }
  return std::string("ID3\x03\0\0", 6) + be32(body.size(), 7) + body;
}

// An ID3v1 tag: "TAG", title, artist and album of 30 bytes, year, comment, genre.
std::string Id3v1(const std::string& title, const std::string& artist) {
  auto field = [](std::string s, size_t n) {
    s.resize(n, '\0');
    return s;
  };
  return "TAG" + field(title, 30) + field(artist, 30) + field("", 30) + "2001" + field("", 30) +
         std::string(1, '\xFF');
}

}  // namespace

bool MakeTaggedMp3(const std::string& path, const std::string& title, const std::string& artist,
                   bool version1) {
  // No tag of its own: the demuxer reads an ID3v1 tag only when it found no
  // other (bitexact leaves out the encoder's name).
  const std::string bare =
      Fixture("legacy_bare.mp3", "-f lavfi -i sine=duration=0.5 -c:a libmp3lame -write_id3v2 0 "
                                 "-write_xing 0 -fflags +bitexact");
  std::ifstream in(bare, std::ios::binary);
  const std::string audio((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (audio.empty() || title.empty() || artist.empty()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << (version1 ? audio + Id3v1(title, artist)
                   : Id3v23({{"TIT2", title}, {"TPE1", artist}, {"TCOM", artist}}) + audio);
  return static_cast<bool>(out.flush());
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

bool WriteJunk(const std::string& path, size_t size) {
  static const std::string line = "This file holds no sound and no pictures.\n";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t written = 0; written < size && out; written += line.size())
    out.write(line.data(), static_cast<std::streamsize>(std::min(line.size(), size - written)));
  return static_cast<bool>(out);
}

bool MakeMedia(const std::string& args, const std::string& path) {
  return Shell("ffmpeg -nostdin -y -loglevel error " + args + " " + Quote(path));
}

std::string Fixture(const std::string& name, const std::string& args) {
  const std::string dir = QUELLON_FIXTURE_DIR;
  const std::string path = dir + "/" + name;
  // The recipe is kept beside the file: a changed recipe makes the file anew
  // instead of serving the one made by the old recipe.
  const std::string recipe = dir + "/." + name + ".recipe";
  auto recipeOnDisk = [&] {
    std::ifstream in(recipe, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  if (std::filesystem::exists(path) && recipeOnDisk() == args) return path;
  std::filesystem::create_directories(dir);
  // Tests in parallel may want the same fixture: one makes it, the others
  // wait and take it. Replacing a file another test has already added would
  // make its task fail as "changed since added".
  const int lock = open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock >= 0) flock(lock, LOCK_EX);
  struct Unlock {
    int fd;
    ~Unlock() {
      if (fd >= 0) close(fd);
    }
  } unlock{lock};
  if (std::filesystem::exists(path) && recipeOnDisk() == args) return path;
  const std::string dot = name.substr(name.rfind('.'));
  // Made under a private name and renamed, so a half-made file is never seen.
  const std::string temp = dir + "/.tmp" + std::to_string(getpid()) + dot;
  if (!MakeMedia(args, temp)) return "";
  std::filesystem::rename(temp, path);
  std::ofstream(temp + ".recipe", std::ios::binary | std::ios::trunc) << args;
  std::filesystem::rename(temp + ".recipe", recipe);
  return path;
}

std::string VideoClip() {
  return Fixture("clip2s.mkv",
                 "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=duration=2 -t 2 "
                 "-pix_fmt yuv420p -c:v ffv1 -c:a pcm_s16le");
}

std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  if (pclose(pipe) != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string Probe(const std::string& path, const std::string& stream, const std::string& entry) {
  std::string select = stream.empty() ? "" : " -select_streams " + stream;
  std::string out = Capture("ffprobe -v error" + select + " -show_entries " + entry +
                            " -of default=nw=1:nk=1 '" + path + "'");
  return out.substr(0, out.find('\n'));
}

double ProbeDuration(const std::string& path) {
  std::string text = Probe(path, "", "format=duration");
  return text.empty() ? -1 : std::stod(text);
}

int CountAudioPackets(const std::string& path) {
  std::string text = Capture("ffprobe -v error -count_packets -select_streams a:0 -show_entries "
                             "stream=nb_read_packets -of default=nw=1:nk=1 '" + path + "'");
  return text.empty() ? -1 : std::stoi(text);
}

bool DecodesCleanly(const std::string& path) {
  return Capture("ffmpeg -nostdin -v error -xerror -i '" + path + "' -f null - 2>&1 && echo ok") ==
         "ok";
}

void TLogCapture::Attach(TCustomFFmpeg& engine) {
  engine.OnLog = [this](TCustomFFmpeg*, int level, const std::string& text) {
    Lines.emplace_back(level, text);
  };
}

bool TLogCapture::Contains(const std::string& text) const {
  for (const auto& line : Lines)
    if (line.second == text) return true;
  return false;
}

bool ConvertHere(TCustomFFmpeg& engine, const std::string& source, const std::string& output,
                 const std::vector<std::pair<std::string, std::string>>& options) {
  if (!engine.OpenInputFile(source)) return false;
  for (const auto& option : options) engine.SetOption(option.first, option.second);
  if (!engine.OpenOutputFile(output)) return false;
  engine.Start(false);
  return true;
}

}  // namespace testing_support
