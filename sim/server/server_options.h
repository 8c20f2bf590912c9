// The controller server's command line, shared by its platform programs.
#pragma once

#include <string>
#include <vector>

#include "controller_service.h"

extern const char kServerUsage[];

struct ServerCommandLine {
  ServiceOptions service;
  std::string name = "korvid-sim";  // names the device and the control channel of this server
  std::string deviceDir;            // where device sockets appear (Unix links only)
  std::string control;              // control channel address; empty: derived from the name
  std::string send;                 // client mode: send this one command to a running server
  bool deviceNotices = true;        // Windows: WM_DEVICECHANGE to the desktop's windows
  bool help = false;
};

// Returns an error text, or empty when the command line is sound.
std::string ParseServerCommandLine(const std::vector<std::string>& args, ServerCommandLine& commandLine);
