// Damaged and unusual input files, made on the spot.
#pragma once

#include <string>
#include <vector>

namespace harness {

struct BadFile {
  std::string name;
  std::string bytes;
  bool directory = false;  // a directory where the file should be
  int w = 0, h = 0;        // for a valid picture: its size, shown as such
};

// Pictures: broken ones (empty, truncated, garbage, absurd size, a directory) and valid but
// unusual ones (top-down, 1-, 4- and 8-bit palettes, 16 and 32 bits, RLE).
std::vector<BadFile> BadPictures();

// Writes `f` at `path`.
void WriteBadFile(const std::string& path, const BadFile& f);

// A show in `dir` whose pictures are the broken and unusual ones in turn, over a huge
// background.
void WriteDamagedShow(const std::string& dir);

}  // namespace harness
