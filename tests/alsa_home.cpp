#include "tests/alsa_home.h"

#include <fstream>

namespace testutil {

std::string AsoundrcText() {
  return R"(pcm.!default {
  type file
  slave.pcm { @func getenv vars [ TEST_ALSA_SLAVE ] default "null" }
  file { @func getenv vars [ TEST_ALSA_CAPTURE ] default "/dev/null" }
  format "raw"
}
)";
}

void WriteAsoundrc(const std::string& dir) { std::ofstream(dir + "/.asoundrc") << AsoundrcText(); }

}  // namespace testutil
