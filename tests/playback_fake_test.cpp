// The looping playback over the real decoder and a fake PortAudio: what happens on each
// failure, and in which order the clean-ups run.
#include <gtest/gtest.h>

#include "soundtrack/sound.h"
#include "tests/fake_portaudio.h"
#include "tests/harness/show.h"
#include "tests/harness/sound.h"

extern "C" int __real_mpg123_close(struct mpg123_handle_struct* mh);
// Linked with --wrap: the decoder's close shows in the trace with PortAudio's calls.
extern "C" int __wrap_mpg123_close(struct mpg123_handle_struct* mh) {
  if (fakepa::Get().trace) (void)!write(STDERR_FILENO, "mpg123_close\n", 13);
  return __real_mpg123_close(mh);
}

namespace {

class Playback : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    soundtrack::InitDecoderLibrary();
    dir_ = std::make_unique<harness::TempDir>();
    mp3_ = dir_->path() + "/tone.mp3";
    // Long enough that the writes of one test never reach its end.
    ASSERT_TRUE(harness::MakeMp3(mp3_, 44100, 2, 44100));
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    fakepa::Reset();
    fakepa::Get().trace = true;
  }
  static inline std::unique_ptr<harness::TempDir> dir_;
  static inline std::string mp3_;
};

TEST_F(Playback, UnderflowsAreNotFatalOtherWriteErrorsAre) {
  fakepa::Get().writes = {paNoError, paOutputUnderflowed, paOutputUnderflowed, paNoError,
                          paInternalError};
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              // The start's line was held back with the libraries' talk, and dropped once it
              // had succeeded.
              "(Pa_WriteStream\n){5}Pa_StopStream\nPa_CloseStream\nPa_Terminate\n"
              "mpg123_close\npanic: fake text for -9986\n");
}

TEST_F(Playback, CleanupsRunMostRecentFirst) {
  fakepa::Get().write = paInternalError;
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              "Pa_WriteStream\nPa_StopStream\nPa_CloseStream\nPa_Terminate\nmpg123_close\n"
              "panic: fake text for -9986\n");
  fakepa::Get().write = paNoError;
  fakepa::Get().start = paInvalidDevice;
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              // Up to the panic, what PortAudio says comes after it.
              "panic: fake text for -9996\n\nwritten meanwhile by the libraries:\n"
              "([^\n]*\n)*Pa_StartStream\nPa_CloseStream\nPa_Terminate\nmpg123_close\n");
  fakepa::Get().start = paNoError;
  fakepa::Get().open = paInvalidSampleRate;
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              "panic: fake text for -9997\n\nwritten meanwhile by the libraries:\n"
              "([^\n]*\n)*Pa_OpenStream 44100 Hz 2 ch\nPa_Terminate\nmpg123_close\n");
}

TEST_F(Playback, AFailedInitializeShowsAsNotInitialized) {
  fakepa::Get().initialize = paInternalError;
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              "panic: fake text for -10000\n\nwritten meanwhile by the libraries:\n"
              "Pa_Initialize\nPa_Terminate\nmpg123_close\n");
}

TEST_F(Playback, AMissingFileIsFatalBeforePortAudio) {
  // Nothing but libmpg123's own complaint may come before the panic: no PortAudio call.
  EXPECT_EXIT(soundtrack::PlayMP3(dir_->path() + "/none.mp3"), testing::ExitedWithCode(2),
              "^(\\[[^\n]*\n)*panic: error opening " + dir_->path() + "/none.mp3: ");
}

TEST_F(Playback, NoDeviceIsFatal) {
  fakepa::Get().defaultOutput = paNoDevice;
  EXPECT_EXIT(soundtrack::PlayMP3(mp3_), testing::ExitedWithCode(2),
              "panic: no default output device\n\nwritten meanwhile by the libraries:\n"
              "([^\n]*\n)*Pa_Terminate\nmpg123_close\n");
}

}  // namespace
