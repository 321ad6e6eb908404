#include "tests/harness/bad_input.h"

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "tests/harness/show.h"
#include "tests/harness/sound.h"

namespace harness {
namespace {

// A BMP with a BITMAPINFOHEADER. `pixels` are the rows as stored; `palette` holds BGRA entries.
std::string Bmp(int32_t w, int32_t h, int bpp, uint32_t compression, const std::string& palette,
                const std::string& pixels, uint32_t masks = 0) {
  std::string s = "BM";
  const uint32_t headers = 14 + 40 + (masks ? 12 : 0) + static_cast<uint32_t>(palette.size());
  AppendLE(s, headers + static_cast<uint32_t>(pixels.size()), 4);
  AppendLE(s, 0, 4);
  AppendLE(s, headers, 4);
  AppendLE(s, 40, 4);
  AppendLE(s, static_cast<uint32_t>(w), 4);
  AppendLE(s, static_cast<uint32_t>(h), 4);
  AppendLE(s, 1, 2);
  AppendLE(s, static_cast<uint32_t>(bpp), 2);
  AppendLE(s, compression, 4);
  AppendLE(s, static_cast<uint32_t>(pixels.size()), 4);
  AppendLE(s, 2835, 4);
  AppendLE(s, 2835, 4);
  AppendLE(s, static_cast<uint32_t>(palette.size() / 4), 4);
  AppendLE(s, 0, 4);
  if (masks) {
    AppendLE(s, 0x00FF0000, 4);
    AppendLE(s, 0x0000FF00, 4);
    AppendLE(s, 0x000000FF, 4);
  }
  return s + palette + pixels;
}

// Rows of `w` pixels of `bpp` bits, every pixel the value `v`, padded to whole 32-bit words.
std::string Rows(int w, int h, int bpp, uint32_t v) {
  const int rowBytes = (w * bpp + 31) / 32 * 4;
  std::string row(static_cast<size_t>(rowBytes), '\0');
  if (bpp >= 8) {
    for (int x = 0; x < w; ++x) {
      for (int b = 0; b < bpp / 8; ++b)
        row[static_cast<size_t>(x * bpp / 8 + b)] = char(v >> (8 * b));
    }
  } else {
    const int perByte = 8 / bpp;
    uint8_t byte = 0;
    for (int i = 0; i < perByte; ++i) byte = static_cast<uint8_t>(byte << bpp | v);
    for (int x = 0; x < (w + perByte - 1) / perByte; ++x) row[static_cast<size_t>(x)] = char(byte);
  }
  std::string all;
  for (int y = 0; y < h; ++y) all += row;
  return all;
}

std::string Palette(int entries) {
  std::string p;
  for (int i = 0; i < entries; ++i) AppendLE(p, i == 1 ? 0x0000C000u : 0x00000000u, 4);  // 1: green
  return p;
}

}  // namespace

std::vector<BadFile> BadPictures() {
  const std::string good24 = Bmp(64, 48, 24, 0, "", Rows(64, 48, 24, 0x00C000));
  std::string rle8;  // two rows of 20 pixels of index 1, then end of bitmap
  for (int y = 0; y < 2; ++y) rle8 += std::string{20, 1, 0, 0};
  rle8 += std::string{0, 1};
  std::string rle4;
  for (int y = 0; y < 2; ++y) rle4 += std::string{20, 0x11, 0, 0};
  rle4 += std::string{0, 1};
  return {
      {"empty", ""},
      {"truncated header", good24.substr(0, 20)},
      {"truncated pixels", good24.substr(0, good24.size() / 2)},
      {"garbage", std::string(3000, '\x5A') + "BM" + std::string(3000, '\xC3')},
      {"huge", Bmp(100000, 100000, 24, 0, "", Rows(16, 4, 24, 0x00C000))},
      {"negative width", Bmp(-64, 48, 24, 0, "", Rows(64, 48, 24, 0x00C000))},
      {"directory", "", true},
      {"top-down", Bmp(64, -48, 24, 0, "", Rows(64, 48, 24, 0x00C000)), false, 64, 48},
      {"1-bit", Bmp(33, 9, 1, 0, Palette(2), Rows(33, 9, 1, 1)), false, 33, 9},
      {"4-bit", Bmp(31, 7, 4, 0, Palette(16), Rows(31, 7, 4, 1)), false, 31, 7},
      {"8-bit", Bmp(30, 5, 8, 0, Palette(256), Rows(30, 5, 8, 1)), false, 30, 5},
      {"16-bit", Bmp(21, 6, 16, 0, "", Rows(21, 6, 16, 0x0300)), false, 21, 6},
      {"32-bit", Bmp(20, 6, 32, 3, "", Rows(20, 6, 32, 0x00C000), 1), false, 20, 6},
      {"RLE8", Bmp(20, 2, 8, 1, Palette(256), rle8), false, 20, 2},
      {"RLE4", Bmp(20, 2, 4, 2, Palette(16), rle4), false, 20, 2},
      {"valid", good24, false, 64, 48},
  };
}

void WriteBadFile(const std::string& path, const BadFile& f) {
  std::filesystem::remove_all(path);
  if (f.directory) {
    std::filesystem::create_directories(path);
    return;
  }
  std::ofstream(path, std::ios::binary) << f.bytes;
}

void WriteDamagedShow(const std::string& dir) {
  WriteShow(dir, 10, 10);
  const auto bad = BadPictures();
  for (size_t i = 0; i < kShowPictures.size(); ++i) {
    WriteBadFile(dir + "/" + kShowPictures[i], bad[i % bad.size()]);
  }
  WriteBadFile(dir + "/" + kShowBackground, bad[4]);  // huge
}

}  // namespace harness
