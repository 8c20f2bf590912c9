// One whole update against the simulated controller, played the way a
// front-end plays it: attach, version request, update request, file choice,
// confirmation, transfer, outcome. Time is virtual: while the controller is
// silent the clock jumps ahead in ticks, so a watchdog run ends at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "frontend.h"
#include "simulated_controller.h"
#include "simulated_frontend.h"

struct SessionOptions {
  Platform platform = Platform::Windows;
  uint64_t tickMs = 100;           // the front-end's clock tick
  uint64_t versionWaitMs = 10000;  // how long the front-end waits for the version report
  uint64_t giveUpMs = 120000;      // a run still going after this much silence is a hang
  // A run that takes in more reports than this is a hang too (an engine that
  // keeps answering acknowledgements past the payload). 0: twice the chunks
  // the firmware file's payload needs, plus room for every fault.
  uint64_t maxReports = 0;
  TraceSink* traceSink = nullptr;
};

enum class SessionEnd {
  Updated,            // the controller took the whole image and the completion command
  RunEnded,           // the engine ended the run any other way (failure, refusal, cancel)
  NoVersion,          // the controller never reported its version
  RequestNotWritten,  // the update request could not be written
  Hung,               // the run did not end (silence or endless exchange): a defect
};

struct SessionResult {
  SessionEnd end = SessionEnd::RunEnded;
  std::string outcome;        // one line for the user
  uint64_t virtualMs = 0;     // virtual time the session took
  bool successShown = false;  // the engine told the user the update succeeded
  bool failureShown = false;  // the engine showed a failure message
};

SessionResult RunUpdateSession(SimulatedController& controller, SimulatedFrontEnd& frontEnd, Transcript& transcript,
                               const std::filesystem::path* firmwareFile, const SessionOptions& options);
