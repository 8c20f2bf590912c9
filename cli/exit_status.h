// What korvid-update's exit status tells a script.
#pragma once

enum ExitStatus : int {
  kExitUpdated = 0,     // every controller asked for was updated (or the command did its job)
  kExitNotUpdated = 1,  // an update was tried and did not succeed, or was declined
  kExitUsage = 2,       // bad usage, bad firmware file, no controller, no permission
  kExitInterrupted = 130,
};
