// The subcommands of korvid-update and what each is given.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "progress_view.h"

struct ListOptions {
  bool json = false;
};

struct VersionOptions {
  std::optional<std::string> device;
  std::optional<std::string> port;
  bool verbose = false;
  bool json = false;  // events on standard output (json_events.h)
};

struct FlashOptions {
  std::filesystem::path file;
  std::optional<std::string> device;
  std::optional<std::string> port;
  bool all = false;
  bool station = false;  // every controller as it is plugged in, until Ctrl-C
  unsigned count = 0;    // with station: end after this many runs (0: no limit)
  bool yes = false;
  bool wait = false;
  unsigned waitSeconds = 0;  // with wait: 0 waits without a limit
  bool verbose = false;
  bool json = false;                         // events on standard output (json_events.h)
  std::optional<std::filesystem::path> log;  // one line per controller handled, appended
  ProgressStyle style = ProgressStyle::Plain;
};

int RunList(const ListOptions& options);
int RunVersion(const VersionOptions& options);
int RunFlash(const FlashOptions& options);
// --all: one child process per controller, all at once.
int RunFlashAll(const FlashOptions& options);
// --station: each controller as it is plugged in, one child process each.
int RunFlashStation(const FlashOptions& options);

// How to put a controller into BOOT mode, for the people waiting on one.
extern const char kBootModeInstructions[];
