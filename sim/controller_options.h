// The command-line options that configure the simulated controller, shared
// by the headless runner and the controller server.
#pragma once

#include <string>
#include <vector>

#include "simulated_controller.h"

// Usage lines for the options below, ready for a program's --help.
extern const char kControllerOptionsUsage[];

class ControllerOptionParser {
 public:
  explicit ControllerOptionParser(ControllerConfig& config) : config_(config) {}

  // When args[i] is a controller option, takes it and its value (advancing i
  // past the value) and returns true; `error` is set when the value is bad.
  // Returns false for any other argument.
  bool Take(const std::vector<std::string>& args, std::size_t& i, std::string& error);

  // Applies what only the whole command line decides (--fail-code).
  void Finish();

 private:
  ControllerConfig& config_;
  int failCode_ = 21;
  bool failPlanned_ = false;
};

// A whole number from `text` (decimal or 0x hex), at most `max`.
bool ParseWholeNumber(const char* text, unsigned long max, unsigned long& value);
