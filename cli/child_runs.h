// Updates run in child processes, one controller each (the engine keeps one
// update per process), as --all and --station start them: the child's
// lines read back ("progress ...", "say ...", "event {...}"), what it said
// and how it ended, kept for the board, the events and the summary.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"
#include "commands.h"
#include "device_source.h"
#include "progress_view.h"

struct ChildRun {
  hiddevice::DeviceProperties properties;
  std::string label;    // how the board names the controller
  bool onBoard = true;  // its live line is shown
  std::shared_ptr<ChildProcess> process;  // while it runs
  std::string pending;
  Progress progress;
  bool progressShown = false;
  std::uint32_t plainPercentShown = UINT32_MAX;
  std::uint32_t eventPercentShown = UINT32_MAX;
  std::string lastSaid;
  std::optional<std::string> version;  // as the controller reported it before the update
  // From the child's result event; empty when it ended without one.
  std::string result;
  std::string reasonCode;
  std::string reason;
  std::optional<bool> returned;
  int exitStatus = -1;  // -1 while it runs
  std::uint64_t startedMs = 0;
  std::uint64_t endedMs = 0;
};

// What a parent hears from its children, on its loop.
class ChildListener {
 public:
  virtual ~ChildListener() = default;
  virtual void Said(ChildRun& child, const std::string& text) = 0;
  virtual void Progressed(ChildRun& child) = 0;
  // One of the child's JSON events, a whole line, after the fields it
  // carries were taken into `child`.
  virtual void Event(ChildRun& child, const std::string& line) = 0;
  virtual void Ended(ChildRun& child) = 0;
};

// Starts `korvid-update flash FILE --device NODE --yes` (`--port PORT` with
// `byPort`) for the child's controller, its output read back through a
// pipe. `ownProcessGroup`: a terminal's Ctrl-C reaches the parent alone,
// which decides what the children hear.
bool SpawnChild(ChildRun& child, const FlashOptions& options, bool ownProcessGroup, bool byPort = false);

// Reads what the child wrote and, once it is done, collects its status.
void ReadChild(ChildRun& child, ChildListener& listener, hiddevice::EventLoop& loop);

// Asks each child still running to stop, as a Ctrl-C would.
void InterruptChildren(std::list<ChildRun>& children);

// "updated", "failed" or "interrupted", from the result event, or from the
// exit status where the child gave none.
std::string ChildResult(const ChildRun& child);
// The reason code and the reason in words of a run that did not update; ""
// for one that did.
std::string ChildReasonCode(const ChildRun& child);
std::string ChildReason(const ChildRun& child);

// "updated", "interrupted", "not updated: WHY" as the summary gives it.
std::string ChildSummaryText(const ChildRun& child);

// The counts and a line per run, to `out`; the summary event too with `events`.
struct RunCounts {
  unsigned updated = 0;
  unsigned failed = 0;
  unsigned interrupted = 0;
};
RunCounts CountRuns(const std::list<ChildRun>& runs);
void PrintSummary(std::FILE* out, const std::list<ChildRun>& runs);

// The person's yes or no, read from standard input before anything starts.
bool AskOnce(std::FILE* out, const std::string& question);
