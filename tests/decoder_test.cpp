#include "soundtrack/decoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/harness/show.h"
#include "tests/harness/sound.h"

namespace {

using soundtrack::Eof;

class DecoderTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { soundtrack::InitDecoderLibrary(); }

  std::unique_ptr<soundtrack::Decoder> Make() {
    auto [decoder, err] = soundtrack::NewDecoder("");
    EXPECT_FALSE(err) << err.Text();
    return std::move(decoder);
  }

  // Reads to the end in `chunk`-byte reads; returns everything and the last read's count.
  static std::vector<uint8_t> ReadToEnd(soundtrack::Decoder& d, size_t chunk, size_t* lastCount) {
    std::vector<uint8_t> all;
    std::vector<std::byte> buf(chunk);
    for (int reads = 0; reads < 100000; ++reads) {
      auto [n, err] = d.Read(buf);
      EXPECT_LE(n, chunk);
      const auto* p = reinterpret_cast<const uint8_t*>(buf.data());
      all.insert(all.end(), p, p + n);
      if (err) {
        EXPECT_TRUE(err.Is(Eof())) << err.Text();
        if (lastCount) *lastCount = n;
        return all;
      }
    }
    ADD_FAILURE() << "no end of stream";
    return all;
  }

  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }
  harness::TempDir dir_;
};

TEST_F(DecoderTest, DecodesEachRateAndChannelCountToTheEnd) {
  struct Case {
    int rate, channels;
    int64_t frames;
  };
  for (const Case c : {Case{44100, 2, 57330}, Case{44100, 1, 44100}, Case{48000, 2, 30001},
                       Case{48000, 1, 12345}, Case{22050, 2, 22050}, Case{22050, 1, 9999}}) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch");
    const std::string mp3 = Path("tone.mp3");
    ASSERT_TRUE(harness::MakeMp3(mp3, c.rate, c.channels, c.frames));
    auto d = Make();
    ASSERT_FALSE(d->Open(mp3));
    const soundtrack::StreamFormat f = soundtrack::KeepOwnFormat(*d);
    EXPECT_EQ(f.rate, c.rate);
    EXPECT_EQ(f.channels, c.channels);
    size_t last = 0;
    const std::vector<uint8_t> pcm = ReadToEnd(*d, 16384, &last);
    // lame records its delay and padding, and libmpg123 trims them: the tone's exact length.
    // At 22.05 kHz mono it yields whole MPEG frames, padding included (seen with lame 3.100).
    if (c.rate != 22050 || c.channels != 1) {
      EXPECT_EQ(pcm.size(), static_cast<size_t>(c.frames * c.channels * 2));
    } else {
      EXPECT_EQ(pcm.size() % (576 * 2), 0u);
    }
    EXPECT_EQ(last, pcm.size() % 16384);
    EXPECT_EQ(pcm, harness::DecodeAll(mp3));
    EXPECT_FALSE(d->Close());
  }
}

TEST_F(DecoderTest, EndOfStreamCanComeWithNoBytes) {
  const std::string mp3 = Path("exact.mp3");
  ASSERT_TRUE(harness::MakeMp3(mp3, 44100, 2, 4096 * 3));  // 49152 bytes: three whole reads
  auto d = Make();
  ASSERT_FALSE(d->Open(mp3));
  soundtrack::KeepOwnFormat(*d);
  size_t last = 99;
  EXPECT_EQ(ReadToEnd(*d, 16384, &last).size(), 49152u);
  EXPECT_EQ(last, 0u);
}

TEST_F(DecoderTest, ReopensFromTheBeginningUnderTheSameOutputFormat) {
  const std::string mp3 = Path("loop.mp3");
  ASSERT_TRUE(harness::MakeMp3(mp3, 48000, 1, 20000));
  auto d = Make();
  ASSERT_FALSE(d->Open(mp3));
  soundtrack::KeepOwnFormat(*d);
  const std::vector<uint8_t> first = ReadToEnd(*d, 16384, nullptr);
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_FALSE(d->Close());
    ASSERT_FALSE(d->Open(mp3));
    EXPECT_EQ(ReadToEnd(*d, 16384, nullptr), first);
  }
  EXPECT_EQ(first.size(), 40000u);
}

TEST_F(DecoderTest, OpeningAMissingFileFailsAndTheDecoderStaysUsable) {
  auto d = Make();
  const std::string missing = Path("nowhere.mp3");
  const support::Error err = d->Open(missing);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.Text().rfind("error opening " + missing + ": ", 0), 0u) << err.Text();
  EXPECT_GT(err.Text().size(), ("error opening " + missing + ": ").size());
  const std::string mp3 = Path("there.mp3");
  ASSERT_TRUE(harness::MakeMp3(mp3, 44100, 1, 1000));
  EXPECT_FALSE(d->Open(mp3));
  EXPECT_EQ(soundtrack::KeepOwnFormat(*d).rate, 44100);
}

TEST_F(DecoderTest, OnlyTheEndOfStreamValueIsTheEnd) {
  const support::Error lookalike = support::MakeError("EOF");
  EXPECT_EQ(lookalike.Text(), Eof().Text());
  EXPECT_FALSE(lookalike.Is(Eof()));
  EXPECT_TRUE(Eof().Is(Eof()));
}

TEST_F(DecoderTest, NotAnMp3GivesNoFormat) {
  const std::string junk = Path("junk.mp3");
  std::ofstream(junk) << std::string(5000, 'x');
  auto d = Make();
  ASSERT_FALSE(d->Open(junk));
  const soundtrack::StreamFormat f = d->GetFormat();
  EXPECT_EQ(f.rate, 0);
  EXPECT_EQ(f.channels, 0);
  EXPECT_EQ(f.encoding, 0);
}

TEST_F(DecoderTest, AnEmptyBufferIsRefused) {
  const std::string mp3 = Path("short.mp3");
  ASSERT_TRUE(harness::MakeMp3(mp3, 44100, 2, 2000));
  auto d = Make();
  ASSERT_FALSE(d->Open(mp3));
  soundtrack::KeepOwnFormat(*d);
  auto [n, err] = d->Read({});
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err.Is(Eof()));
  EXPECT_EQ(err.Text(), "mpg123 error: read into an empty buffer");
  // Nothing was consumed.
  EXPECT_EQ(ReadToEnd(*d, 1000, nullptr).size(), 8000u);
}

TEST_F(DecoderTest, ReadErrorsCarryTheHandlesText) {
  auto d = Make();
  std::vector<std::byte> buf(16384);
  auto [n, err] = d->Read(buf);  // nothing open
  EXPECT_EQ(n, 0u);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err.Is(Eof()));
  EXPECT_EQ(err.Text().rfind("mpg123 error: ", 0), 0u) << err.Text();
  EXPECT_GT(err.Text().size(), std::string("mpg123 error: ").size());
}

// libmpg123 does not announce a change of rate or channels midway once the output format is
// fixed: it converts to that format. The playback's fixed stream relies on this.
TEST_F(DecoderTest, AFormatChangeMidwayIsConvertedToTheFixedFormat) {
  const std::string a = Path("a.mp3"), b = Path("b.mp3"), both = Path("both.mp3");
  ASSERT_TRUE(harness::MakeMp3(a, 44100, 1, 44100, false));
  ASSERT_TRUE(harness::MakeMp3(b, 48000, 2, 48000, false));
  std::ofstream(both, std::ios::binary) << harness::ReadFile(a) << harness::ReadFile(b);
  auto d = Make();
  ASSERT_FALSE(d->Open(both));
  EXPECT_EQ(soundtrack::KeepOwnFormat(*d).channels, 1);
  const size_t total = ReadToEnd(*d, 16384, nullptr).size();
  // Two seconds of 44.1 kHz mono, give or take the untrimmed padding of both parts.
  EXPECT_NEAR(static_cast<double>(total), 2 * 88200.0, 4 * 1152 * 2);
}

}  // namespace
