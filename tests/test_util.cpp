#include "tests/test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "slideshow/scene.h"

namespace testutil {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "showreel-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ChangeDir::ChangeDir(const std::string& dir) : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ChangeDir::~ChangeDir() { std::filesystem::current_path(previous_); }

void WriteBmp(const std::string& path, int w, int h, Uint8 r, Uint8 g, Uint8 b) {
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 24, SDL_PIXELFORMAT_RGB24);
  ASSERT_NE(s, nullptr) << SDL_GetError();
  SDL_FillRect(s, nullptr, SDL_MapRGB(s->format, r, g, b));
  ASSERT_EQ(SDL_SaveBMP(s, path.c_str()), 0) << SDL_GetError();
  SDL_FreeSurface(s);
}

Rgb PictureColour(int index) {
  // Far apart on every channel, so a screenshot's scaling or dithering cannot confuse them.
  return Rgb{static_cast<Uint8>(40 + 15 * index), static_cast<Uint8>(250 - 15 * index),
             static_cast<Uint8>(index % 2 ? 60 : 140)};
}

void WriteShow(const std::string& dir, int w, int h) {
  std::filesystem::create_directories(dir + "/images");
  WriteBmp(dir + "/" + slideshow::kBackgroundFile, 1920, 1080, kBackgroundColour.r,
           kBackgroundColour.g, kBackgroundColour.b);
  for (int i = 0; i < 14; ++i) {
    const Rgb c = PictureColour(i);
    WriteBmp(dir + "/" + slideshow::kPictureFiles[static_cast<size_t>(i)], w, h, c.r, c.g, c.b);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace testutil
