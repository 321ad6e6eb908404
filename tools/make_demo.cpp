// make-demo DIR: writes a demo set for the show into DIR.
#include <cstdio>

#include "tools/demo.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-demo DIR\n");
    return 64;
  }
  support::Error err = demo::WritePictures(argv[1]);
  if (!err) err = demo::WriteMusic(argv[1]);
  if (err) {
    std::fprintf(stderr, "make-demo: %s\n", err.Text().c_str());
    return 1;
  }
  return 0;
}
