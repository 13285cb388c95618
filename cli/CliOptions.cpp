// Command-line parsing of quellon-cli.
#include "CliOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <thread>

#include "NamePattern.h"
#include "Batch.h"
#include "OptionComposer.h"
#include "Quality.h"

namespace {

bool ReadInt(const std::string& text, int& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  const auto result = std::from_chars(first, last, value);
  return first != last && result.ec == std::errc() && result.ptr == last;
}

bool ReadSeconds(const std::string& text, double& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  const auto result = std::from_chars(first, last, value);
  return first != last && result.ec == std::errc() && result.ptr == last &&
         std::isfinite(value) && value >= 0;
}

constexpr std::array<const char*, 5> LogLevelItems = {"quiet", "error", "info", "debug", "all"};

}  // namespace

std::string UsageText() {
  return "usage: quellon-cli [options] FILE|FOLDER...\n"
         "  -f, --format FMT     output format: wav mp3 mp2 aac wma ogg, or a video format\n"
         "                       (3gp avi flv ipod mkv mov mp4 psp rm10 rm20 swf wmv m1v m2v\n"
         "                       ac3 vcd svcd dvd); default wav; also opus vorbis flac m4a;\n"
         "                       several sound formats at once: -f mp3,opus (each source\n"
         "                       decoded once; with -o each format in OUT/<format>/)\n"
         "  -o, --output DIR     output folder; default: beside each source\n"
         "  -j, --jobs N         tasks at once; default: the number of CPU cores;\n"
         "                       0 = one after another on the main thread\n"
         "      --overwrite      overwrite existing outputs instead of the \"_(new_N)\" names\n"
         "                       (never a file the run reads)\n"
         "      --keep-partial   keep what a stopped or failed conversion wrote\n"
         "      --no-split       encode each file on one core (by default a long file\n"
         "                       uses the cores the other files leave free)\n"
         "      --channels auto|mono|stereo\n"
         "      --rate auto|8000|11025|22050|44100\n"
         "      --bitrate KBPS   audio bit rate in kbit/s\n"
         "      --quality Q      the sound's quality for the format's encoder:\n"
         "                       V0..V9       MP3 VBR on LAME's scale (V0 best, V2 ~190k)\n"
         "                       192k         a bit rate in kbit/s: MP3 (CBR), AAC, M4A,\n"
         "                                    Vorbis, Opus, MP2, WMA, AC3, video formats\n"
         "                       96k:vbr      Opus: the bit rate with VBR on (the default),\n"
         "                       96k:cvbr     constrained VBR,\n"
         "                       96k:cbr      or a constant bit rate\n"
         "                       q5           Vorbis quality -1..10; AAC/M4A: the AAC\n"
         "                                    encoder's VBR quality 0.1..2 (libfdk_aac: 1..5)\n"
         "                       level8       FLAC and OGG: compression level 0..8\n"
         "                       mp3=V2,opus=96k   a quality per format\n"
         "                       a value the encoder cannot take is refused before the run\n"
         "      --volume N       audio volume, 256 = unchanged\n"
         "      --start SEC      convert from SEC on\n"
         "      --end SEC        convert up to SEC\n"
         "  -x NAME=VALUE        an extra engine option line (repeatable)\n"
         "  -r, --recursive      convert every file under each FOLDER given, in name order;\n"
         "                       files there that cannot be converted are skipped and counted\n"
         "      --keep-tree      with -r and -o: each output keeps its sub-folder of FOLDER\n"
         "                       below the output folder (made as needed)\n"
         "      --log-level quiet|error|info|debug|all   (default error)\n"
         "      --probe          print each file's info text instead of converting\n"
         "  -q, --quiet          no progress display\n"
         "  -h, --help           this text\n"
         "      --version        the program's version\n"
         "      --loudness LUFS  level each file's loudness to LUFS (e.g. -16; true peak\n"
         "                       at most -1 dBTP), measured in a first pass\n"
         "      --replaygain     write ReplayGain 2.0 track tags (the audio is unchanged)\n"
         "      --album-gain     with --replaygain: the files of one folder are an album\n"
         "                       and get album tags too\n"
         "      --keep-time      outputs keep their source's modification time\n"
         "      --folder-cover   a source without a cover takes folder.jpg or cover.jpg\n"
         "                       from its folder\n"
         "      --no-cue         convert disc images whole and skip cue sheets (by default\n"
         "                       a .cue, or an image with one beside or inside it, gives\n"
         "                       one tagged file per track: IMAGE/NN - Title)\n"
         "      --gaps-at-start  a track's pregap (INDEX 00) starts it instead of ending\n"
         "                       the track before\n"
         "      --name PATTERN   name each output from its tags, below -o DIR (or beside\n"
         "                       its source), e.g. \"{albumartist}/{year} - {album}/\n"
         "                       {disc}{track:02} - {title}\"; fields: title artist album\n"
         "                       albumartist track disc year genre composer, and name (the\n"
         "                       source's file name), folder (its folder's name), subpath\n"
         "                       (its sub-folder of FOLDER with -r); {track:02} pads with\n"
         "                       zeros; a missing tag reads \"Unknown Artist\" ..., a missing\n"
         "                       title the source's name; characters FAT refuses become \"_\";\n"
         "                       a name already taken gets \" (2)\", \" (3)\" ...\n"
         "      --tag-encoding auto|gbk|big5|shift-jis|euc-kr|latin1\n"
         "                       how tags that claim Latin-1 are read (ID3, APE, RIFF INFO);\n"
         "                       default auto: GBK, Big5 ... recognised per file\n"
         "      --sync           convert only new or changed files: an output made earlier\n"
         "                       by --sync from the same source (size and time) with the\n"
         "                       same settings is up to date and kept; outputs take plain\n"
         "                       names and replace only their own earlier versions, never\n"
         "                       a file of yours (recorded in OUTPUT/.quellon-sync)\n"
         "      --delete-orphans with --sync: after the run, remove the outputs --sync made\n"
         "                       whose source is gone from the FOLDER given (only when\n"
         "                       unchanged since), and list them\n"
         "      --dry-run        write nothing: list what would be converted, what is up\n"
         "                       to date and what would be removed\n";
}

bool ParseCommandLine(int argc, char** argv, TCliOptions& o, std::string& error) {
  o = TCliOptions();
  o.Jobs = std::max(1u, std::thread::hardware_concurrency());
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      o.Files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" gives the value in the same argument.
    std::string inlineValue;
    bool hasInline = false;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasInline = true;
      }
    } else if (arg.size() > 2 && std::string("fojx").find(arg[1]) != std::string::npos) {
      // "-j4": a short option with its value attached.
      inlineValue = arg.substr(2);
      arg = arg.substr(0, 2);
      hasInline = true;
    }
    auto value = [&](std::string& out) {
      if (hasInline) {
        out = inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        error = "option " + arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto flag = [&] {
      if (!hasInline) return true;
      error = "option " + arg + " takes no value";
      return false;
    };
    std::string v;
    // One item of a list (any case); allowed names the items for the error.
    auto choice = [&](const auto& items, int& out, const char* allowed) {
      if (!value(v)) return false;
      out = ItemIndex(items, v);
      if (out >= 0) return true;
      error = arg + " takes " + allowed + ", not '" + v + "'";
      return false;
    };
    if (arg == "-h" || arg == "--help") {
      if (!flag()) return false;
      o.Help = true;
    } else if (arg == "--version") {
      if (!flag()) return false;
      o.Version = true;
    } else if (arg == "-q" || arg == "--quiet") {
      if (!flag()) return false;
      o.Quiet = true;
    } else if (arg == "--probe") {
      if (!flag()) return false;
      o.Probe = true;
    } else if (arg == "--overwrite") {
      if (!flag()) return false;
      o.Overwrite = true;
    } else if (arg == "--keep-partial") {
      if (!flag()) return false;
      o.KeepPartial = true;
    } else if (arg == "-r" || arg == "--recursive") {
      if (!flag()) return false;
      o.Recursive = true;
    } else if (arg == "--keep-tree") {
      if (!flag()) return false;
      o.KeepTree = true;
    } else if (arg == "--no-split") {
      if (!flag()) return false;
      o.Split = false;
    } else if (arg == "-f" || arg == "--format") {
      if (!value(v)) return false;
      // One format, or several written from one decoding ("mp3,opus").
      TBatchChoices checked;
      std::string why;
      if (!SetFormatList(checked, v, why)) {
        error = why;
        return false;
      }
      o.Format = v;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(v)) return false;
      if (v.empty()) {
        error = "the output folder is empty";
        return false;
      }
      o.OutputDir = v;
    } else if (arg == "-j" || arg == "--jobs") {
      if (!value(v)) return false;
      if (!ReadInt(v, o.Jobs) || o.Jobs < 0) {
        error = "--jobs needs a whole number of 0 or more, not '" + v + "'";
        return false;
      }
    } else if (arg == "--channels") {
      if (!choice(AudioChannelItems, o.Channels, "auto, mono or stereo")) return false;
    } else if (arg == "--rate") {
      if (!choice(SampleRateItems, o.SampleRate, "auto, 8000, 11025, 22050 or 44100")) return false;
    } else if (arg == "--bitrate") {
      if (!value(v)) return false;
      if (!ReadInt(v, o.BitRateKbps) || o.BitRateKbps <= 0 || o.BitRateKbps > 2000000) {
        error = "--bitrate needs kbit/s as a positive whole number, not '" + v + "'";
        return false;
      }
    } else if (arg == "--quality") {
      if (!value(v)) return false;
      o.Quality = v;
    } else if (arg == "--volume") {
      if (!value(v)) return false;
      if (!ReadInt(v, o.Volume) || o.Volume < 0) {
        error = "--volume needs a whole number of 0 or more, not '" + v + "'";
        return false;
      }
    } else if (arg == "--start" || arg == "--end") {
      if (!value(v)) return false;
      double seconds = 0;
      if (!ReadSeconds(v, seconds)) {
        error = arg + " needs seconds (0 or more), not '" + v + "'";
        return false;
      }
      (arg == "--start" ? o.Start : o.End) = seconds;
    } else if (arg == "-x") {
      if (!value(v)) return false;
      const size_t eq = v.find('=');
      if (eq == 0 || eq == std::string::npos || v.find_first_of("\r\n") != std::string::npos) {
        error = "-x needs NAME=VALUE, not '" + v + "'";
        return false;
      }
      o.Extra.push_back(v);
    } else if (arg == "--log-level") {
      int level = 0;
      if (!choice(LogLevelItems, level, "quiet, error, info, debug or all")) return false;
      o.LogLevel = static_cast<TLogLevel>(level);
    } else if (arg == "--loudness") {
      if (!value(v)) return false;
      const char* first = v.data();
      const auto result = std::from_chars(first, first + v.size(), o.Loudness);
      if (v.empty() || result.ec != std::errc() || result.ptr != first + v.size() ||
          !(o.Loudness < 0 && o.Loudness >= -70)) {
        error = "--loudness needs a level in LUFS between -70 and 0 (e.g. -16), not '" + v + "'";
        return false;
      }
    } else if (arg == "--replaygain") {
      if (!flag()) return false;
      o.ReplayGain = true;
    } else if (arg == "--album-gain") {
      if (!flag()) return false;
      o.AlbumGain = o.ReplayGain = true;
    } else if (arg == "--keep-time") {
      if (!flag()) return false;
      o.KeepTime = true;
    } else if (arg == "--folder-cover") {
      if (!flag()) return false;
      o.FolderCover = true;
    } else if (arg == "--no-cue") {
      if (!flag()) return false;
      o.NoCue = true;
    } else if (arg == "--gaps-at-start") {
      if (!flag()) return false;
      o.GapsAtStart = true;
    } else if (arg == "--name") {
      if (!value(v)) return false;
      TNamePattern pattern;
      std::string why;
      if (!pattern.Parse(v, why)) {
        error = "--name: " + why;
        return false;
      }
      o.NamePattern = v;
    } else if (arg == "--sync") {
      if (!flag()) return false;
      o.Sync = true;
    } else if (arg == "--delete-orphans") {
      if (!flag()) return false;
      o.DeleteOrphans = true;
    } else if (arg == "--dry-run") {
      if (!flag()) return false;
      o.DryRun = true;
    } else if (arg == "--tag-encoding") {
      if (!value(v)) return false;
      if (!ParseTagEncoding(v, o.TagEncoding)) {
        error = "--tag-encoding needs auto, gbk, big5, shift-jis, euc-kr or latin1, not '" + v +
                "'";
        return false;
      }
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (o.Help || o.Version) return true;
  if (o.Files.empty()) {
    error = "no input file given";
    return false;
  }
  if (o.KeepTree && !o.Recursive) {
    error = "--keep-tree keeps the tree of folders given with -r: give -r too";
    return false;
  }
  if (!o.Quality.empty()) {
    if (o.BitRateKbps > 0) {
      error = "give either --bitrate or --quality (a bit rate is --quality " +
              std::to_string(o.BitRateKbps) + "k)";
      return false;
    }
    TQuality quality;
    std::string why;
    if (!QualityOfFormat(o.Quality, o.Format, quality, why)) {
      error = "--quality: " + why;
      return false;
    }
  }
  if (o.DeleteOrphans && !o.Sync) {
    error = "--delete-orphans removes outputs that --sync made: give --sync too";
    return false;
  }
  if (o.Sync && o.Overwrite) {
    error = "--sync replaces only the outputs it made; --overwrite cannot go with it";
    return false;
  }
  if (o.Start >= 0 && o.End >= 0 && o.End <= o.Start) {
    error = "--end must lie after --start";
    return false;
  }
  return true;
}
