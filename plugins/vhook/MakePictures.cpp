// Draws the pictures that the hook lines of the options dialog name, into
// the folder given: imlib2.jpg (the picture that imlib2.so moves about),
// watermark.gif (grey shades on a clear background, for watermark.so) and
// PaintHook.bmp (a figure on white, the mask colour of PaintHook.so).
// Usage: vhook_pictures FOLDER
#include <Imlib2.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

void Color(int r, int g, int b, int a = 255) { imlib_context_set_color(r, g, b, a); }

bool Save(Imlib_Image image, const std::string& path) {
  imlib_context_set_image(image);
  Imlib_Load_Error error = IMLIB_LOAD_ERROR_NONE;
  imlib_save_image_with_error_return(path.c_str(), &error);
  if (error != IMLIB_LOAD_ERROR_NONE) std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return error == IMLIB_LOAD_ERROR_NONE;
}

// A 96x64 badge: a blue to violet gradient, a sun and two hills.
bool MakeImlib2Picture(const std::string& path) {
  Imlib_Image image = imlib_create_image(96, 64);
  imlib_context_set_image(image);
  Imlib_Color_Range range = imlib_create_color_range();
  imlib_context_set_color_range(range);
  Color(40, 80, 200);
  imlib_add_color_to_color_range(0);
  Color(150, 60, 190);
  imlib_add_color_to_color_range(64);
  imlib_image_fill_color_range_rectangle(0, 0, 96, 64, 0.0);
  imlib_free_color_range();
  Color(255, 210, 40);
  imlib_image_fill_ellipse(70, 18, 11, 11);
  Color(40, 160, 70);
  imlib_image_fill_ellipse(24, 70, 40, 26);
  Color(20, 120, 50);
  imlib_image_fill_ellipse(80, 74, 36, 24);
  Color(255, 255, 255);
  imlib_image_draw_rectangle(0, 0, 96, 64);
  const bool saved = Save(image, path);
  imlib_free_image();
  return saved;
}

// A 64x64 face on white.
bool MakePaintHookPicture(const std::string& path) {
  Imlib_Image image = imlib_create_image(64, 64);
  imlib_context_set_image(image);
  Color(255, 255, 255);
  imlib_image_fill_rectangle(0, 0, 64, 64);
  Color(250, 150, 30);
  imlib_image_fill_ellipse(32, 32, 28, 28);
  Color(30, 30, 30);
  imlib_image_fill_ellipse(22, 25, 4, 5);
  imlib_image_fill_ellipse(42, 25, 4, 5);
  imlib_image_fill_rectangle(20, 42, 24, 4);
  imlib_image_fill_rectangle(17, 38, 4, 5);
  imlib_image_fill_rectangle(43, 38, 4, 5);
  const bool saved = Save(image, path);
  imlib_free_image();
  return saved;
}

// LZW-compressed GIF89a of 8-bit palette indexes with one clear index.
class TGifWriter {
 public:
  static bool Write(const std::string& path, int width, int height,
                    const std::vector<uint8_t>& indexes, const std::vector<uint32_t>& palette,
                    int clearIndex) {
    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    Word(out, width);
    Word(out, height);
    out.insert(out.end(), {0xf7, 0, 0});  // global table of 256 entries
    for (int i = 0; i < 256; ++i) {
      const uint32_t c = i < static_cast<int>(palette.size()) ? palette[i] : 0;
      out.insert(out.end(), {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                             static_cast<uint8_t>(c)});
    }
    out.insert(out.end(), {0x21, 0xf9, 4, 1, 0, 0, static_cast<uint8_t>(clearIndex), 0});
    out.push_back(0x2c);
    Word(out, 0);
    Word(out, 0);
    Word(out, width);
    Word(out, height);
    out.push_back(0);
    out.push_back(8);  // minimum code size
    const std::vector<uint8_t> data = Compress(indexes);
    for (size_t at = 0; at < data.size(); at += 255) {
      const size_t n = std::min<size_t>(255, data.size() - at);
      out.push_back(static_cast<uint8_t>(n));
      out.insert(out.end(), data.begin() + static_cast<long>(at),
                 data.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
    out.push_back(0x3b);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    return static_cast<bool>(file);
  }

 private:
  static void Word(std::vector<uint8_t>& out, int value) {
    out.push_back(static_cast<uint8_t>(value & 255));
    out.push_back(static_cast<uint8_t>((value >> 8) & 255));
  }
  static std::vector<uint8_t> Compress(const std::vector<uint8_t>& indexes) {
    constexpr int clear = 256, end = 257;
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0, size = 9, last = end;
    std::unordered_map<uint32_t, int> table;
    auto emit = [&](int code) {
      bits |= static_cast<uint32_t>(code) << count;
      count += size;
      while (count >= 8) {
        bytes.push_back(static_cast<uint8_t>(bits & 255));
        bits >>= 8;
        count -= 8;
      }
    };
    emit(clear);
    if (indexes.empty()) {
      emit(end);
      return bytes;
    }
    int prefix = indexes[0];
    for (size_t i = 1; i < indexes.size(); ++i) {
      const uint32_t key = static_cast<uint32_t>(prefix) << 8 | indexes[i];
      auto found = table.find(key);
      if (found != table.end()) {
        prefix = found->second;
        continue;
      }
      emit(prefix);
      table[key] = ++last;
      if (last >= (1 << size)) ++size;
      if (last == 4095) {
        emit(clear);
        table.clear();
        size = 9;
        last = end;
      }
      prefix = indexes[i];
    }
    emit(prefix);
    emit(end);
    if (count > 0) bytes.push_back(static_cast<uint8_t>(bits & 255));
    return bytes;
  }
};

// A 120x40 stamp of grey shades on a clear background: a light frame and
// disc with darker shadows, so that both watermark modes show.
bool MakeWatermark(const std::string& path) {
  const int width = 120, height = 40;
  Imlib_Image image = imlib_create_image(width, height);
  imlib_context_set_image(image);
  imlib_image_set_has_alpha(1);
  imlib_image_clear();
  imlib_context_set_blend(0);
  Color(90, 90, 90);
  imlib_image_fill_rectangle(3, 3, width - 3, height - 3);
  Color(220, 220, 220);
  imlib_image_fill_rectangle(0, 0, width - 3, height - 3);
  Color(128, 128, 128);
  imlib_image_fill_rectangle(4, 4, width - 11, height - 11);
  Color(230, 230, 230);
  imlib_image_fill_ellipse(22, 18, 12, 12);
  Color(40, 40, 40);
  imlib_image_fill_ellipse(24, 20, 6, 6);
  for (int i = 0; i < 4; ++i) {
    Color(i % 2 ? 50 : 210, i % 2 ? 50 : 210, i % 2 ? 50 : 210);
    imlib_image_fill_rectangle(44 + i * 16, 10, 10, 16);
  }
  const uint32_t* pixels = imlib_image_get_data_for_reading_only();
  // Index 0 is clear; 1 ... 255 are grey levels.
  std::vector<uint32_t> palette(256);
  for (int i = 1; i < 256; ++i) palette[i] = static_cast<uint32_t>(i) * 0x010101u;
  std::vector<uint8_t> indexes(static_cast<size_t>(width) * height);
  for (size_t i = 0; i < indexes.size(); ++i) {
    const uint32_t p = pixels[i];
    const int grey = static_cast<int>(((p >> 16) & 255) * 299 + ((p >> 8) & 255) * 587 +
                                      (p & 255) * 114) / 1000;
    indexes[i] = (p >> 24) < 128 ? 0 : static_cast<uint8_t>(grey < 1 ? 1 : grey);
  }
  imlib_free_image();
  return TGifWriter::Write(path, width, height, indexes, palette, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "/";
  const bool ok = MakeImlib2Picture(dir + "imlib2.jpg") && MakeWatermark(dir + "watermark.gif") &&
                  MakePaintHookPicture(dir + "PaintHook.bmp");
  return ok ? 0 : 1;
}
