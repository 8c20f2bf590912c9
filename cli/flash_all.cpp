// korvid-update flash FILE --all: every controller in BOOT mode at once, one
// child process each (the engine keeps one update per process), with a
// progress line per controller and a summary at the end.
#include <signal.h>

#include <cinttypes>
#include <list>
#include <string>

#include "child_runs.h"
#include "commands.h"
#include "device_text.h"
#include "engine_session.h"
#include "exit_status.h"
#include "firmware_header.h"
#include "run_board.h"
#include "sha256.h"
#include "system_event_loop.h"

int RunFlashAll(const FlashOptions& options) {
  std::list<ChildRun> children;
  // With --json, standard output carries events alone: a person reads on standard error.
  std::FILE* people = options.json ? stderr : stdout;
  {
    EngineSession session(ProgressStyle::Plain, options.verbose, people);
    ControllerLink& link = session.Link();
    if (link.Start() == ControllerLink::Wait::Interrupted) return kExitInterrupted;
    if (link.Controllers().empty() && link.UnavailableControllers().empty() && options.wait) {
      const ControllerChoice choice = ChooseController(link, ControllerName{}, true, options.waitSeconds, people);
      if (!choice.controller) return choice.exitStatus;
    }
    // Every controller, or none: not some of them behind the user's back.
    if (!link.UnavailableControllers().empty()) {
      TellNoAccess(link);
      return kExitUsage;
    }
    if (link.Controllers().empty()) return ChooseController(link, ControllerName{}, false, 0, people).exitStatus;
    const FirmwareFileInfo info = InspectFirmwareFile(options.file);
    std::fprintf(people, "Firmware file %s, version %s, %" PRIu64 " bytes, SHA-256 %s, for %zu controller%s:\n",
                TerminalSafe(options.file.string()).c_str(), FileVersionText(info.header).c_str(), info.fileSize,
                FileSha256(options.file).value_or("unreadable").c_str(), link.Controllers().size(),
                link.Controllers().size() == 1 ? "" : "s");
    for (const ControllerLink::Controller& controller : link.Controllers()) {
      bool interrupted = false;
      const std::optional<std::string> version = session.QueryVersion(controller.id, interrupted);
      if (interrupted) return kExitInterrupted;
      std::fprintf(people, "  %s, firmware %s\n", DescribeController(controller.properties).c_str(),
                  version ? version->c_str() : "version unknown");
      ChildRun child;
      child.properties = controller.properties;
      child.label = controller.properties.path;
      children.push_back(child);
    }
    std::fflush(people);
  }  // the children open the controllers themselves

  if (!options.yes && !AskOnce(people, "Update all of them?")) {
    std::fprintf(people, "Not updated: nothing was sent.\n");
    return kExitNotUpdated;
  }

  hiddevice::SystemEventLoop loop;
  hiddevice::SystemEventLoop::StopOnSignal(SIGINT);
  hiddevice::SystemEventLoop::StopOnSignal(SIGTERM);
  RunBoard board(people, children, !options.json && options.style == ProgressStyle::Terminal);
  ChildrenReporter reporter(board, options.json, nullptr);
  for (ChildRun& child : children) {
    if (!SpawnChild(child, options, false)) {
      child.lastSaid = "could not start its update";
      child.exitStatus = kExitNotUpdated;
      reporter.Ended(child);
      continue;
    }
    loop.Watch(ChildOutputWatched(*child.process), [&child, &reporter, &loop] {
      ReadChild(child, reporter, loop);
      loop.Stop();
    });
  }
  board.Redraw();
  bool interrupted = false;
  const auto running = [&] {
    for (const ChildRun& child : children) {
      if (child.process) return true;
    }
    return false;
  };
  while (running()) {
    // The children may hear the same Ctrl-C (one process group, where the
    // system has them) and stop themselves; the stop is passed on all the
    // same, for a signal sent to this process alone.
    if (loop.Run() != 0 && !interrupted) {
      interrupted = true;
      InterruptChildren(children);
    }
  }
  board.Done();

  PrintSummary(people, children);
  reporter.Summary(children);
  const RunCounts counts = CountRuns(children);
  if (interrupted) return kExitInterrupted;
  return counts.updated == children.size() ? kExitUpdated : kExitNotUpdated;
}
