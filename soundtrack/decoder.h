// MP3 decoding to 16-bit PCM over libmpg123.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "support/support.h"

struct mpg123_handle_struct;

namespace soundtrack {

// libmpg123's signed 16-bit output encoding.
inline constexpr int ENC_SIGNED_16 = 0xD0;

// Initialises libmpg123 once for the process and makes the end-of-stream value; a failure is
// fatal. The program runs it before `main`.
void InitDecoderLibrary();

// The one end-of-stream value. Recognise it with `err.Is(Eof())`, never by its text.
const support::Error& Eof();

struct StreamFormat {
  int64_t rate = 0;
  int channels = 0;
  int encoding = 0;
};

class Decoder {
 public:
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // Opens a file by path; on failure the Decoder can be opened again.
  support::Error Open(std::string_view file);
  // The stream's format as libmpg123 reports it; zero where it reports nothing.
  StreamFormat GetFormat();
  // Accept no output format until Format adds one. Settings belong to the handle and outlast
  // Close and Open.
  void FormatNone();
  void Format(int64_t rate, int channels, int encodings);
  // Decodes into `buf`: the bytes written together with no error, Eof() at the end of the
  // stream, or another error. An empty buffer is refused without touching libmpg123.
  support::Result<size_t> Read(std::span<std::byte> buf);
  support::Error Close();

 private:
  friend support::Result<std::unique_ptr<Decoder>> NewDecoder(std::string_view decoder);
  explicit Decoder(mpg123_handle_struct* handle) : handle(handle) {}
  std::string strerror() const;

  mpg123_handle_struct* const handle;
};

// Right after the first open: fixes the output to 16-bit samples at the stream's own rate and
// channel count, for every later open too. Returns the stream's format.
StreamFormat KeepOwnFormat(Decoder& decoder);

// A Decoder of the named libmpg123 variant; the empty name lets libmpg123 choose.
support::Result<std::unique_ptr<Decoder>> NewDecoder(std::string_view decoder);

}  // namespace soundtrack
