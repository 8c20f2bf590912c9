// One command's use of the engine: the link to the controllers, the view of
// the progress, the terminal front-end, and the engine bound to it for as
// long as the command runs.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "controller_link.h"
#include "firmware_header.h"
#include "progress_view.h"
#include "terminal_front_end.h"

class EngineSession {
 public:
  // Progress and the engine's messages go to `out`. With a controller
  // named, no other is opened.
  EngineSession(ProgressStyle style, bool verbose, std::FILE* out = stdout, const ControllerName& named = {});
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  ControllerLink& Link() { return link_; }
  TerminalFrontEnd& FrontEnd() { return frontEnd_; }
  ProgressView& View() { return *view_; }

  // Serves `controller` and asks it for its version, waiting up to two
  // seconds for the answer: the version as the engine shows it, or nothing.
  // `interrupted` is set when a stop signal came meanwhile.
  std::optional<std::string> QueryVersion(hiddevice::DeviceId controller, bool& interrupted);

  // The engine lets go of its file; every device is closed.
  void Stop();

 private:
  ControllerLink link_;
  std::unique_ptr<ProgressView> view_;
  TerminalFrontEnd frontEnd_;
};

// A controller for a command, as the user asked for it: --device PATH or
// --port PORT, or the only one there is; with `wait`, the first to be plugged in. Tells the
// user what is wrong when there is none to take; `exitStatus` says how the
// command ends then.
struct ControllerChoice {
  std::optional<ControllerLink::Controller> controller;
  int exitStatus = 0;
};
// What the waiting tells the person goes to `out`.
ControllerChoice ChooseController(ControllerLink& link, const ControllerName& named, bool wait, unsigned waitSeconds,
                                  std::FILE* out = stdout);

// Why the controllers that could not be opened were not, and what to do.
void TellNoAccess(const ControllerLink& link);

// "/dev/hidraw0  2dc8:5750  Korvid Controller (BOOT)"
std::string DescribeController(const hiddevice::DeviceProperties& properties);
// A firmware file's version as the command line shows it: "v1.10", "v1.10 beta:2".
std::string FileVersionText(const FIRMWARE_HEADER_T& header);
