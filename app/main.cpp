#include <unistd.h>

#include "app/app.h"
#include "soundtrack/audio.h"
#include "soundtrack/decoder.h"

namespace {
// libmpg123 is ready before main takes its first step.
const bool decoderLibraryReady = (soundtrack::InitDecoderLibrary(), true);
}  // namespace

int main() {
  app::Run();
  // The music thread may be inside a blocking write: end at once, without exit handlers, but
  // not in the middle of a call that could leave another process's state locked.
  soundtrack::audio::SettleForExit();
  _exit(0);
}
