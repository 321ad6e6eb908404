#include <unistd.h>

#include "app/app.h"

int main() {
  app::Run();
  // The music thread may be inside a blocking write: end at once, without exit handlers.
  _exit(0);
}
