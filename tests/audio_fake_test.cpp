// The audio output component's own rules, with PortAudio replaced by a fake.
#include <gtest/gtest.h>

#include "soundtrack/audio.h"
#include "tests/fake_portaudio.h"

namespace {

namespace audio = soundtrack::audio;
using std::chrono::nanoseconds;

class FakeAudio : public testing::Test {
 protected:
  void SetUp() override { fakepa::Reset(); }
  void TearDown() override {
    fakepa::Get().terminate = paNoError;
    while (!audio::Terminate()) {
      if (fakepa::Count("Pa_Terminate") > 100) break;
    }
  }
  std::unique_ptr<audio::Stream> Open(int channels, size_t samples = 8192) {
    EXPECT_FALSE(audio::Initialize());
    auto [stream, err] =
        audio::OpenDefaultStream(0, channels, 44100, 8192, audio::SampleBuffer::Make(samples));
    EXPECT_FALSE(err) << err.Text();
    return std::move(stream);
  }
};

TEST_F(FakeAudio, CodesBecomeErrorValuesByOneRule) {
  EXPECT_FALSE(audio::FromCode(0));
  const support::Error underflow = audio::FromCode(paOutputUnderflowed);
  ASSERT_NE(underflow.As<audio::Error>(), nullptr);
  EXPECT_EQ(underflow.As<audio::Error>()->Code(), -9980);
  EXPECT_EQ(underflow.Text(), "fake text for -9980");
  EXPECT_EQ(audio::FromCode(-1).Text(), "no default input device");
  EXPECT_EQ(audio::FromCode(-2).Text(), "no default output device");
  const support::Error host = audio::FromCode(paUnanticipatedHostError);
  const auto* h = host.As<audio::UnanticipatedHostError>();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->HostApiType, paALSA);
  EXPECT_EQ(h->Code, -77);
  EXPECT_EQ(host.Text(), "the host's own words");
}

TEST_F(FakeAudio, HighLatencyParametersForEachDirection) {
  ASSERT_FALSE(audio::Initialize());
  auto [speaker, err] = audio::DefaultOutputDevice();
  ASSERT_FALSE(err);
  EXPECT_EQ(speaker->Name, "speaker");
  EXPECT_EQ(speaker->DefaultHighOutputLatency, nanoseconds(371428571));
  EXPECT_EQ(speaker->DefaultLowOutputLatency, nanoseconds(12345678));
  ASSERT_NE(speaker->HostApi, nullptr);
  EXPECT_EQ(speaker->HostApi->Name, "ALSA");
  auto mic = std::make_shared<audio::DeviceInfo>();
  mic->DefaultHighInputLatency = nanoseconds(200000000);
  mic->DefaultSampleRate = 48000;

  const audio::StreamParameters none = audio::HighLatencyParameters(nullptr, nullptr);
  EXPECT_EQ(none.Input.Device, nullptr);
  EXPECT_EQ(none.Output.Device, nullptr);
  EXPECT_EQ(none.SampleRate, 0);

  const audio::StreamParameters out = audio::HighLatencyParameters(nullptr, speaker);
  EXPECT_EQ(out.Output.Device, speaker);
  EXPECT_EQ(out.Output.Channels, 2);
  EXPECT_EQ(out.Output.Latency, nanoseconds(371428571));
  EXPECT_EQ(out.SampleRate, 44100);
  EXPECT_EQ(out.FramesPerBuffer, 0);
  EXPECT_EQ(out.Flags, 0u);

  const audio::StreamParameters in = audio::HighLatencyParameters(mic, nullptr);
  EXPECT_EQ(in.Input.Channels, 0);  // fewer than one channel available
  EXPECT_EQ(in.Input.Latency, nanoseconds(200000000));
  EXPECT_EQ(in.SampleRate, 48000);

  // The lower default rate wins, whichever direction has it.
  EXPECT_EQ(audio::HighLatencyParameters(mic, speaker).SampleRate, 44100);
  auto slow = std::make_shared<audio::DeviceInfo>(*speaker);
  slow->DefaultSampleRate = 22050;
  slow->MaxOutputChannels = 1;
  const audio::StreamParameters both = audio::HighLatencyParameters(mic, slow);
  EXPECT_EQ(both.SampleRate, 22050);
  EXPECT_EQ(both.Output.Channels, 1);
}

TEST_F(FakeAudio, LatencyIsWholeNanosecondsBothWays) {
  EXPECT_EQ(audio::ToNanoseconds(0.3714285714), nanoseconds(371428571));
  EXPECT_EQ(audio::ToNanoseconds(2.5), nanoseconds(2500000000));
  EXPECT_EQ(audio::ToNanoseconds(1e30), nanoseconds::max());
  EXPECT_DOUBLE_EQ(audio::ToSeconds(nanoseconds(2500000001)), 2 + 500000001 / 1e9);
  ASSERT_NE(Open(2), nullptr);
  EXPECT_DOUBLE_EQ(fakepa::Get().openOutput.suggestedLatency, 0.371428571);
  EXPECT_EQ(fakepa::Get().openOutput.sampleFormat, paInt16);
  EXPECT_EQ(fakepa::Get().openOutput.device, 1);
  EXPECT_EQ(fakepa::Get().openOutput.channelCount, 2);
  EXPECT_EQ(fakepa::Get().openOutput.hostApiSpecificStreamInfo, nullptr);
  EXPECT_FALSE(fakepa::Get().openHadInput);
  EXPECT_EQ(fakepa::Get().openRate, 44100);
  EXPECT_EQ(fakepa::Get().openFrames, 8192u);
}

TEST_F(FakeAudio, WritesWholeFramesOfTheBoundBuffer) {
  EXPECT_EQ(audio::FramesPerWrite(8192, 1).value, 8192u);
  EXPECT_EQ(audio::FramesPerWrite(8192, 2).value, 4096u);
  EXPECT_EQ(audio::FramesPerWrite(8191, 2).err.Text(),
            "length of interleaved buffer not divisible by number of channels");
  EXPECT_TRUE(audio::FramesPerWrite(8192, 0).err);

  for (int channels : {1, 2}) {
    auto stream = Open(channels);
    ASSERT_FALSE(stream->Write());
    EXPECT_EQ(fakepa::Get().writeFrames, 8192u / static_cast<unsigned>(channels));
    ASSERT_FALSE(audio::Terminate());
  }
  auto odd = Open(2, 8191);
  const int before = fakepa::Count("Pa_WriteStream");
  EXPECT_EQ(odd->Write().Text(),
            "length of interleaved buffer not divisible by number of channels");
  EXPECT_EQ(fakepa::Count("Pa_WriteStream"), before);

  // An underflow is reported like any other code.
  auto stream = Open(2);
  fakepa::Get().write = paOutputUnderflowed;
  EXPECT_EQ(stream->Write().As<audio::Error>()->Code(), paOutputUnderflowed);
}

TEST_F(FakeAudio, NeitherDirectionPassesNoParametersAndLooksUpNoDevice) {
  ASSERT_FALSE(audio::Initialize());
  fakepa::Get().open = paInvalidDevice;
  auto [stream, err] = audio::OpenDefaultStream(0, 0, 44100, 8192, audio::SampleBuffer::Make(8));
  EXPECT_EQ(err.As<audio::Error>()->Code(), paInvalidDevice);
  EXPECT_FALSE(fakepa::Get().openHadInput);
  EXPECT_FALSE(fakepa::Get().openHadOutput);
  EXPECT_EQ(fakepa::Count("Pa_GetDefaultOutputDevice"), 0);
  EXPECT_EQ(fakepa::Count("Pa_GetDeviceCount"), 0);
}

TEST_F(FakeAudio, AStreamWithoutOutputCannotBeWritten) {
  ASSERT_FALSE(audio::Initialize());
  audio::StreamParameters p;
  p.SampleRate = 44100;
  auto [stream, err] = audio::OpenStream(p, audio::SampleBuffer::Make(8));
  ASSERT_FALSE(err);
  EXPECT_EQ(stream->Write().As<audio::Error>()->Code(), paCanNotWriteToAnInputOnlyStream);
  EXPECT_EQ(fakepa::Count("Pa_WriteStream"), 0);
}

TEST_F(FakeAudio, ClosesOnceStopsNeverAborts) {
  auto stream = Open(2);
  EXPECT_FALSE(stream->Start());
  EXPECT_FALSE(stream->Stop());
  fakepa::Get().close = paInternalError;
  EXPECT_TRUE(stream->Close());
  EXPECT_FALSE(stream->Close());
  stream.reset();
  EXPECT_EQ(fakepa::Count("Pa_CloseStream"), 1);
  EXPECT_EQ(fakepa::Count("Pa_StopStream"), 1);
}

TEST_F(FakeAudio, HostErrorsCarryTheHostsText) {
  ASSERT_FALSE(audio::Initialize());
  fakepa::Get().open = paUnanticipatedHostError;
  auto [stream, err] = audio::OpenDefaultStream(0, 2, 44100, 8192, audio::SampleBuffer::Make(8));
  EXPECT_EQ(err.Text(), "the host's own words");
  EXPECT_EQ(stream, nullptr);
}

TEST_F(FakeAudio, DeviceTableFailuresAreReported) {
  ASSERT_FALSE(audio::Initialize());
  fakepa::Get().deviceCount = paInternalError;
  EXPECT_EQ(audio::DefaultOutputDevice().err.As<audio::Error>()->Code(), paInternalError);
  fakepa::Get().deviceCount = 2;
  fakepa::Get().hostApiCount = paNotInitialized;
  EXPECT_EQ(audio::DefaultOutputDevice().err.As<audio::Error>()->Code(), paNotInitialized);
  fakepa::Get().hostApiCount = 1;
  fakepa::Get().defaultOutput = paNoDevice;
  EXPECT_EQ(audio::DefaultOutputDevice().err.Text(), "no default output device");
  fakepa::Get().defaultOutput = paInternalError;
  EXPECT_EQ(audio::DefaultOutputDevice().err.As<audio::Error>()->Code(), paInternalError);
}

TEST_F(FakeAudio, TheDeviceTableIsReadOncePerInitialisation) {
  ASSERT_FALSE(audio::Initialize());
  ASSERT_FALSE(audio::Initialize());
  ASSERT_FALSE(audio::DefaultOutputDevice().err);
  ASSERT_FALSE(audio::DefaultOutputDevice().err);
  EXPECT_EQ(fakepa::Count("Pa_GetDeviceCount"), 1);
  ASSERT_FALSE(audio::Terminate());  // still initialised once
  ASSERT_FALSE(audio::DefaultOutputDevice().err);
  EXPECT_EQ(fakepa::Count("Pa_GetDeviceCount"), 1);
  ASSERT_FALSE(audio::Terminate());
  ASSERT_FALSE(audio::Initialize());
  ASSERT_FALSE(audio::DefaultOutputDevice().err);
  EXPECT_EQ(fakepa::Count("Pa_GetDeviceCount"), 2);
}

TEST_F(FakeAudio, FailedInitializeAndTerminateLeaveTheCount) {
  fakepa::Get().initialize = paInternalError;
  EXPECT_TRUE(audio::Initialize());
  auto [stream, err] = audio::OpenDefaultStream(0, 2, 44100, 8192, audio::SampleBuffer::Make(8));
  EXPECT_EQ(err.As<audio::Error>()->Code(), paNotInitialized);
  fakepa::Get().initialize = paNoError;
  ASSERT_FALSE(audio::Initialize());
  fakepa::Get().terminate = paInternalError;
  EXPECT_TRUE(audio::Terminate());
  EXPECT_FALSE(audio::OpenDefaultStream(0, 2, 44100, 8192, audio::SampleBuffer::Make(8)).err);
}

}  // namespace
