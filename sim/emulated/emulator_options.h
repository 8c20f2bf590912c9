// korvid-emulated-controller's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controller_service.h"

extern const char kEmulatorUsage[];

// A hidraw device that is not one of ours, for a device layer to pass over.
enum class ExtraDevice {
  OtherVendor,  // USB, vendor 0x046D
  Bluetooth,    // our BOOT-mode ids on the Bluetooth bus
  Application,  // USB 0x2DC8:0x5751, a controller running its application
};

struct EmulatorOptions {
  ServiceOptions service;  // every controller's, the fault only where faultOn says
  unsigned controllers = 1;
  unsigned faultOn = 0;           // 1-based; 0: every controller
  std::vector<uint16_t> vendors;  // per controller, cycling; empty: the default vendor
  std::vector<ExtraDevice> extras;
  std::vector<unsigned> noPermission;  // 1-based controllers whose nodes nobody may open
  std::vector<unsigned> factoryOn;     // 1-based controllers running factory firmware
  bool secondInterface = false;        // a keyboard-like HID interface beside each controller's
  std::string bootProductName;         // the USB product string in BOOT mode; "": the controller's own
  unsigned returnPort = 0;             // USB port the faulted controller returns on; 0: its own
  uint32_t shortReportAtChunk = 0;     // with data command N a short input report; 0: never
  std::string control;                 // control channel socket; empty: none
  std::string rootFile;                // where the testbed's root folder is written
  std::string programPidFile;
  bool forwardSignals = false;
  std::vector<std::string> program;  // after "--"

  // Client mode: one command to a running emulator's control channel.
  std::string sendPath;
  std::string sendCommand;

  bool help = false;
};

// A data command's number, from 1.
bool ParseChunkNumber(const std::string& text, uint32_t& chunk);

// Returns an error text, or empty when the command line is sound.
std::string ParseEmulatorCommandLine(const std::vector<std::string>& args, EmulatorOptions& options);

// Controller K's own configuration (K from 1): its vendor, its firmware,
// and the fault only when it is the controller faults apply to.
ControllerConfig ControllerConfigFor(const EmulatorOptions& options, unsigned k);
