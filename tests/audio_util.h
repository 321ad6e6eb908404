// Sound files made by the tests themselves: synthesised tones, encoded with lame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

// A WAV file of `frames` frames of 16-bit tone (a different pitch on each channel).
void WriteWav(const std::string& path, int rate, int channels, int64_t frames);

// `path` made by lame from such a tone, at the same rate and channel count. Without `tag` lame
// writes no header frame, so nothing tells the decoder where the audio ends or how much
// padding to trim. Returns false when lame failed.
bool MakeMp3(const std::string& path, int rate, int channels, int64_t frames, bool tag = true);

// libmpg123's own decoding of a whole file to signed 16-bit samples at the file's own format,
// by the shortest route: what the program's sound must equal.
std::vector<uint8_t> DecodeAll(const std::string& path, long* rate = nullptr,
                               int* channels = nullptr);

}  // namespace testutil
