// Helpers shared by the tests: temporary folders and pictures made on the spot.
#pragma once

#include <SDL.h>

#include <string>

namespace testutil {

// A fresh temporary folder, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Runs the test body inside a folder and goes back to the previous one afterwards.
class ChangeDir {
 public:
  explicit ChangeDir(const std::string& dir);
  ~ChangeDir();

 private:
  std::string previous_;
};

// A solid-coloured 24-bit BMP of the given size; the folder must exist.
void WriteBmp(const std::string& path, int w, int h, Uint8 r, Uint8 g, Uint8 b);

// Writes every file of the show into dir/images, picture i in colour PictureColour(i), the
// background in BackgroundColour; sizes from `size(i)`.
struct Rgb {
  Uint8 r, g, b;
  bool operator==(const Rgb&) const = default;
};
Rgb PictureColour(int index);
inline constexpr Rgb kBackgroundColour{0, 0, 200};
void WriteShow(const std::string& dir, int w, int h);

std::string ReadFile(const std::string& path);

}  // namespace testutil
