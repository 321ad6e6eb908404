// Shows written by the tests: the files the program reads, named and ordered here, apart from
// the program, so that a change to its own list shows.
#pragma once

#include <array>
#include <string>

#include "tests/harness/screen.h"

struct SDL_Surface;
struct SDL_Renderer;

namespace harness {

// The pictures in show order, then the background.
inline constexpr std::array<const char*, 14> kShowPictures{
    "images/2005_001.jpg.bmp", "images/2005_003.jpg.bmp", "images/2006_002.jpg.bmp",
    "images/2006_004.jpg.bmp", "images/2006_006.jpg.bmp", "images/2006_008.jpg.bmp",
    "images/2009_001.jpg.bmp", "images/2005_002.jpg.bmp", "images/2006_001.jpg.bmp",
    "images/2006_003.jpg.bmp", "images/2006_005.jpg.bmp", "images/2006_007.jpg.bmp",
    "images/2006_009.jpg.bmp", "images/bird.bmp"};
inline constexpr const char* kShowBackground = "images/bgrnd.bmp";

// A solid-coloured 24-bit BMP of the given size; the folder must exist. Aborts on failure.
void WriteBmp(const std::string& path, int w, int h, Rgb colour);

// Colours far apart on every channel, so a screenshot's scaling or dithering cannot confuse
// them.
Rgb PictureColour(int index);
inline constexpr Rgb kBackgroundColour{0, 0, 200};

// Every picture of the show into dir/images, picture i `w` x `h` in PictureColour(i), and a
// 1920 x 1080 background in kBackgroundColour.
void WriteShow(const std::string& dir, int w, int h);

// The index of the picture whose colour `c` is, or -1.
int PictureAt(Rgb c);

// A surface drawn to by SDL's software renderer, standing in for the window.
class SoftwareTarget {
 public:
  SoftwareTarget(int w = 1920, int h = 1080);
  ~SoftwareTarget();
  SoftwareTarget(const SoftwareTarget&) = delete;
  SoftwareTarget& operator=(const SoftwareTarget&) = delete;
  SDL_Surface* surface() const { return surface_; }
  SDL_Renderer* renderer() const { return renderer_; }
  Rgb Pixel(int x, int y) const;

 private:
  SDL_Surface* surface_;
  SDL_Renderer* renderer_;
};

}  // namespace harness
