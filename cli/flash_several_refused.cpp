// korvid-update flash FILE --all and --station where the system has no
// fork(): not yet. One controller at a time works (--device PATH).
#include <cstdio>

#include "commands.h"
#include "exit_status.h"

namespace {

int Refused(const char* option) {
  std::fprintf(stderr,
               "korvid-update: %s is not available on this system yet; update one controller at a time "
               "with --device PATH (see 'korvid-update list').\n",
               option);
  return kExitUsage;
}

}  // namespace

int RunFlashAll(const FlashOptions&) { return Refused("--all"); }
int RunFlashStation(const FlashOptions&) { return Refused("--station"); }
