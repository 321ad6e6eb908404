// A private ALSA configuration for the tests: HOME points at a folder whose .asoundrc makes the
// default device a `file` plugin, so that the exact samples written can be read back.
#pragma once

#include <string>

namespace testutil {

// The .asoundrc text. The default device writes what it plays to the file named by
// TEST_ALSA_CAPTURE (else /dev/null) and passes it on to the device named by TEST_ALSA_SLAVE
// (else `null`, which takes everything at once). A slave that does not exist leaves the
// machine without a usable default device.
std::string AsoundrcText();

// Writes `dir`/.asoundrc.
void WriteAsoundrc(const std::string& dir);

}  // namespace testutil
