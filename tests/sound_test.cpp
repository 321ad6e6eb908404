#include "soundtrack/sound.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using soundtrack::ConvertSamples;
using soundtrack::Eof;
using soundtrack::FillLooping;

TEST(ConvertSamples, LittleEndianWhateverTheHost) {
  const std::vector<std::byte> bytes{std::byte{0x34}, std::byte{0x12}, std::byte{0xFF},
                                     std::byte{0xFF}, std::byte{0x00}, std::byte{0x80},
                                     std::byte{0xFF}, std::byte{0x7F}};
  std::vector<int16_t> out(4);
  ASSERT_FALSE(ConvertSamples(bytes, out));
  EXPECT_EQ(out, (std::vector<int16_t>{0x1234, -1, -32768, 32767}));
  std::vector<int16_t> more(5);
  EXPECT_TRUE(ConvertSamples(bytes, more));
}

// A decoder over a scripted file: every open starts the same bytes again, delivered in reads
// of at most `chunk` bytes, as libmpg123 does.
struct ScriptedDecoder {
  explicit ScriptedDecoder(std::vector<uint8_t> f) : file(f), onDisk(std::move(f)) {}
  std::vector<uint8_t> file;    // what the open file decodes to
  std::vector<uint8_t> onDisk;  // what the next open finds
  size_t chunk = 1000;
  size_t pos = 0;
  bool open = true;
  bool failReopen = false;
  int opens = 0, closes = 0;
  support::Error readError;  // once set, returned after the next read's bytes

  support::Result<size_t> Read(std::span<std::byte> buf) {
    if (!open) return {0, support::MakeError("mpg123 error: no file")};
    const size_t n = std::min({buf.size(), chunk, file.size() - pos});
    std::memcpy(buf.data(), file.data() + pos, n);
    pos += n;
    if (readError) return {n, readError};
    if (pos == file.size() && n < std::min(buf.size(), chunk)) return {n, Eof()};
    if (n == 0) return {0, Eof()};
    return {n, {}};
  }
  support::Error Close() {
    ++closes;
    open = false;
    return {};
  }
  support::Error Open(std::string_view) {
    ++opens;
    if (failReopen) return support::MakeError("error opening x: gone");
    open = true;
    pos = 0;
    file = onDisk;
    return {};
  }
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 31 + 7);
  return v;
}

std::vector<uint8_t> Fill(ScriptedDecoder& d, size_t size, size_t* filled,
                          support::Error* err = nullptr) {
  std::vector<std::byte> buf(size);
  auto [n, e] = FillLooping(d, "music/dunk.mp3", buf);
  *filled = n;
  if (err) *err = e;
  std::vector<uint8_t> out(size);
  std::memcpy(out.data(), buf.data(), size);
  return out;
}

TEST(FillLooping, KeepsTheLastBytesAndGoesOnFromTheBeginning) {
  ScriptedDecoder d(Pattern(2500));
  std::vector<uint8_t> played;
  for (int pass = 0; pass < 5; ++pass) {
    size_t filled = 0;
    const auto chunk = Fill(d, 1600, &filled);
    EXPECT_EQ(filled, 1600u);
    played.insert(played.end(), chunk.begin(), chunk.end());
  }
  // 8000 bytes: the file end to end, three times and then some, no gap, nothing lost.
  for (size_t i = 0; i < played.size(); ++i) ASSERT_EQ(played[i], d.file[i % 2500]) << i;
  EXPECT_EQ(d.opens, 3);
  EXPECT_EQ(d.closes, 3);
}

TEST(FillLooping, AFileShorterThanOneBufferRepeatsWithinIt) {
  ScriptedDecoder d(Pattern(700));
  size_t filled = 0;
  const auto chunk = Fill(d, 16384, &filled);
  EXPECT_EQ(filled, 16384u);
  for (size_t i = 0; i < chunk.size(); ++i) ASSERT_EQ(chunk[i], d.file[i % 700]) << i;
}

TEST(FillLooping, AFileWithoutAudioLeavesTheRestAndDoesNotSpin) {
  ScriptedDecoder d(Pattern(300));
  size_t filled = 0;
  (void)Fill(d, 1000, &filled);
  EXPECT_EQ(filled, 1000u);
  d.onDisk.clear();  // replaced by a file that decodes to nothing
  std::vector<std::byte> buf(1000, std::byte{0xAA});
  auto [n, err] = FillLooping(d, "music/dunk.mp3", buf);
  EXPECT_FALSE(err);
  EXPECT_EQ(n, 200u);  // what was left of the old file
  EXPECT_EQ(buf[200], std::byte{0xAA});
  EXPECT_LE(d.opens, 6);
  // Once fixed, the next fill plays it again.
  d.onDisk = Pattern(300);
  auto [again, err2] = FillLooping(d, "music/dunk.mp3", buf);
  EXPECT_EQ(again, 1000u);
}

TEST(FillLooping, ReturnsOtherErrorsWithTheBytesBeforeThem) {
  ScriptedDecoder d(Pattern(5000));
  d.readError = support::MakeError("mpg123 error: broken");
  size_t filled = 0;
  support::Error err;
  (void)Fill(d, 4000, &filled, &err);
  EXPECT_EQ(filled, 1000u);
  EXPECT_EQ(err.Text(), "mpg123 error: broken");
}

TEST(FillLooping, AFailedReopenShowsAtTheNextRead) {
  ScriptedDecoder d(Pattern(1500));
  d.failReopen = true;
  size_t filled = 0;
  support::Error err;
  (void)Fill(d, 4000, &filled, &err);
  EXPECT_EQ(filled, 1500u);
  EXPECT_EQ(err.Text(), "mpg123 error: no file");
}

}  // namespace
