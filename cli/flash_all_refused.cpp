// korvid-update flash FILE --all where the system has no fork(): not yet.
// One controller at a time works (--device PATH).
#include <cstdio>

#include "commands.h"
#include "exit_status.h"

int RunFlashAll(const FlashOptions&) {
  std::fprintf(stderr,
               "korvid-update: --all is not available on this system yet; update one controller at a time "
               "with --device PATH (see 'korvid-update list').\n");
  return kExitUsage;
}
