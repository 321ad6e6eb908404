// Generates a demo set: the pictures and the soundtrack that the show reads.
#pragma once

#include <string>

#include "support/support.h"

namespace demo {

// Writes `dir`/images/: the fourteen pictures of the show, of varied sizes, each with its own
// colour, pattern and big number, and a 1920 x 1080 background.
support::Error WritePictures(const std::string& dir);

// Writes `dir`/music/dunk.mp3: a short synthesised melody that loops seamlessly, encoded by
// the `lame` command.
support::Error WriteMusic(const std::string& dir);

}  // namespace demo
