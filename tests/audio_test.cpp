// The audio output component against the real PortAudio and ALSA.
#include "soundtrack/audio.h"

#include <gtest/gtest.h>
#include <portaudio.h>

#include <cstdlib>

#include "tests/harness/show.h"
#include "tests/harness/sound.h"

namespace {

namespace audio = soundtrack::audio;

// ALSA reads its configuration once per process, from HOME: set it before anything opens.
const harness::TempDir alsaHome;
const bool alsaReady =
    (harness::WriteAsoundrc(alsaHome.path()), setenv("HOME", alsaHome.path().c_str(), 1) == 0);

class RealAudio : public testing::Test {
 protected:
  void TearDown() override {
    while (!audio::Terminate()) {
    }
    unsetenv("TEST_ALSA_SLAVE");
    unsetenv("TEST_ALSA_CAPTURE");
  }
  harness::TempDir dir_;
};

TEST_F(RealAudio, CapturesExactlyTheSamplesWrittenMonoAndStereo) {
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels);
    const std::string capture = dir_.path() + "/capture" + std::to_string(channels) + ".raw";
    setenv("TEST_ALSA_CAPTURE", capture.c_str(), 1);
    ASSERT_FALSE(audio::Initialize());
    auto buffer = audio::SampleBuffer::Make(8192);
    auto [stream, err] = audio::OpenDefaultStream(0, channels, 44100, 8192, buffer);
    ASSERT_FALSE(err) << err.Text();
    ASSERT_FALSE(stream->Start());
    std::string expected;
    for (int write = 0; write < 3; ++write) {
      auto samples = buffer->Samples();
      for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(i * 7 + static_cast<size_t>(write) * 1000 - 30000);
      }
      expected.append(reinterpret_cast<const char*>(samples.data()), samples.size_bytes());
      ASSERT_FALSE(stream->Write());
    }
    ASSERT_FALSE(stream->Stop());
    EXPECT_FALSE(stream->Close());
    EXPECT_FALSE(stream->Close());
    EXPECT_FALSE(audio::Terminate());
    const std::string got = harness::ReadFile(capture);
    EXPECT_EQ(got.size(), 3u * 8192 * 2);
    EXPECT_TRUE(got == expected);
  }
}

TEST_F(RealAudio, NoUsableDeviceMeansNoDefaultOutputDevice) {
  setenv("TEST_ALSA_SLAVE", "nosuch", 1);
  ASSERT_FALSE(audio::Initialize());
  auto [stream, err] = audio::OpenDefaultStream(0, 2, 44100, 8192, audio::SampleBuffer::Make(8));
  ASSERT_TRUE(err);
  EXPECT_EQ(err.Text(), "no default output device");
  ASSERT_NE(err.As<audio::Error>(), nullptr);
  EXPECT_EQ(err.As<audio::Error>()->Code(), -2);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(RealAudio, OpeningBeforeInitializeIsPortAudiosNotInitialized) {
  auto [stream, err] = audio::OpenDefaultStream(0, 2, 44100, 8192, audio::SampleBuffer::Make(8));
  ASSERT_TRUE(err);
  ASSERT_NE(err.As<audio::Error>(), nullptr);
  EXPECT_EQ(err.As<audio::Error>()->Code(), -10000);
  EXPECT_EQ(err.Text(), Pa_GetErrorText(paNotInitialized));
  // A failed Initialize leaves it so.
  EXPECT_TRUE(audio::Terminate());
}

TEST_F(RealAudio, NeitherInputNorOutputIsPortAudiosError) {
  ASSERT_FALSE(audio::Initialize());
  auto [stream, err] = audio::OpenDefaultStream(0, 0, 44100, 8192, audio::SampleBuffer::Make(8));
  ASSERT_TRUE(err);
  const audio::Error* pa = err.As<audio::Error>();
  ASSERT_NE(pa, nullptr);
  EXPECT_LT(pa->Code(), -9000);
  EXPECT_EQ(err.Text(), Pa_GetErrorText(pa->Code()));
}

TEST_F(RealAudio, ARateTheDeviceRefusesIsPortAudiosError) {
  ASSERT_FALSE(audio::Initialize());
  auto [stream, err] = audio::OpenDefaultStream(0, 2, -5, 8192, audio::SampleBuffer::Make(8));
  ASSERT_TRUE(err);
  EXPECT_NE(err.As<audio::Error>(), nullptr);
}

}  // namespace
