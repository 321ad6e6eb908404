#include "soundtrack/decoder.h"

#include <mpg123.h>

#include <cstdio>

namespace soundtrack {
namespace {

support::Error Mpg123Error(const std::string& text) {
  return support::MakeError("mpg123 error: " + text);
}

}  // namespace

const support::Error& Eof() {
  // Never destroyed: whatever ends the process, the music thread may still compare with it.
  static const auto* eof = new support::Error(support::MakeError("EOF"));
  return *eof;
}

void InitDecoderLibrary() {
  (void)Eof();
  if (mpg123_init() != MPG123_OK) support::Fatal("failed to initialize mpg123");
}

support::Result<std::unique_ptr<Decoder>> NewDecoder(std::string_view decoder) {
  int err = 0;
  const std::string name(decoder);
  mpg123_handle* handle = mpg123_new(name.c_str(), &err);
  if (handle == nullptr) {
    // libmpg123's texts are its own: copied, never released.
    return {nullptr, support::MakeError(std::string("error initializing mpg123 decoder: ") +
                                        mpg123_plain_strerror(err))};
  }
  return {std::unique_ptr<Decoder>(new Decoder(handle)), {}};
}

Decoder::~Decoder() { mpg123_delete(handle); }

std::string Decoder::strerror() const { return mpg123_strerror(handle); }

support::Error Decoder::Open(std::string_view file) {
  const std::string path(file);
  if (mpg123_open(handle, path.c_str()) == MPG123_OK) return {};
  return support::MakeError("error opening " + path + ": " + strerror());
}

StreamFormat Decoder::GetFormat() {
  long rate = 0;
  int channels = 0, encoding = 0;
  mpg123_getformat(handle, &rate, &channels, &encoding);
  return {rate, channels, encoding};
}

void Decoder::FormatNone() { mpg123_format_none(handle); }

void Decoder::Format(int64_t rate, int channels, int encodings) {
  mpg123_format(handle, static_cast<long>(rate), channels, encodings);
}

support::Result<size_t> Decoder::Read(std::span<std::byte> buf) {
  // libmpg123 would answer an empty buffer with success and nothing decoded, and a caller
  // waiting for data would spin on it.
  if (buf.empty()) return {0, Mpg123Error("read into an empty buffer")};
  size_t done = 0;
  const int result = mpg123_read(handle, buf.data(), buf.size(), &done);
  if (result == MPG123_DONE) return {done, Eof()};
  if (result == MPG123_OK) return {done, {}};
  return {done, Mpg123Error(strerror())};
}

support::Error Decoder::Close() {
  if (mpg123_close(handle) == MPG123_OK) return {};
  return Mpg123Error(strerror());
}

StreamFormat KeepOwnFormat(Decoder& decoder) {
  const StreamFormat format = decoder.GetFormat();
  decoder.FormatNone();
  decoder.Format(format.rate, format.channels, ENC_SIGNED_16);
  return format;
}

}  // namespace soundtrack
