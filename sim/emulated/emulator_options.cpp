#include "emulator_options.h"

#include <algorithm>

#include "controller_options.h"
#include "unix_control_channel.h"

const char kEmulatorUsage[] =
    "usage: umockdev-wrapper korvid-emulated-controller [options] [-- PROGRAM ARGS...]\n"
    "       korvid-emulated-controller --send SOCKET COMMAND...\n"
    "Serves simulated Korvid controllers in BOOT mode as Linux hidraw devices in a\n"
    "umockdev testbed, to PROGRAM (run with UMOCKDEV_DIR and the umockdev preload\n"
    "library; the emulator exits with its status) or, without PROGRAM, to programs run\n"
    "under the testbed until the control command quit, SIGINT or SIGTERM.\n"
    "  --controllers N            controllers plugged in (0 to 16, default 1): /dev/hidraw0...;\n"
    "                             more come with the control command plug\n"
    "  --vendors V1,V2,...        vendor id of each controller, cycling (default 0x2DC8)\n"
    "  --fault-on K               the controller faults below apply to controller K only\n"
    "                             (default: to every controller)\n"
    "  --extra KIND               one more hidraw device that is not ours (repeatable):\n"
    "                             other-vendor (USB 046D:C000), bluetooth (bus 0005, our BOOT ids),\n"
    "                             application (USB 2DC8:5751)\n"
    "  --no-permission K          nobody but root may open controller K's nodes (mode 0)\n"
    "  --factory-on K             controller K runs factory firmware, whatever --device-version\n"
    "                             says (repeatable)\n"
    "  --product-name TEXT        the USB product string of the controllers in BOOT mode (any bytes\n"
    "                             but a line break or NUL: a device names itself as it likes)\n"
    "  --two-interfaces           each controller's USB device has a second HID interface (:1.1,\n"
    "                             the next hidraw node) with a keyboard's 8-byte reports and the\n"
    "                             same ids; it takes writes and answers nothing\n"
    "  --return-port N            after the completion command the controller comes back on USB\n"
    "                             port N (1-N), not its own (with several controllers: --fault-on's)\n"
    "  --short-report-at-chunk N  with data command N the controller also sends an input report\n"
    "                             shorter than its descriptor's, which the kernel drops\n"
    "  --attach-after-start       no controller is plugged in until the control command attach\n"
    "  --paced                    full-speed USB pace: one report taken and answered per 1 ms frame\n"
    "  --stop-reading-at-chunk N  takes data command N, then no further report: each write\n"
    "                             fails after 5 s with ETIMEDOUT\n"
    "  --stop-reading-after-chunk N  acknowledges data command N, then takes no further report:\n"
    "                             the program's next write fails after 5 s with ETIMEDOUT\n"
    "  --hold-after-chunk N       acknowledges data command N, then holds still as after the\n"
    "                             control command hold, until release\n"
    "  --application-mode         the controllers run their application (product 0x5751)\n"
    "  --return-delay-ms N        after the completion command, back as the application after N ms\n"
    "                             (default 500)\n"
    "  --control SOCKET           the control channel: a Unix socket taking one command a line\n"
    "  --root-file FILE           once everything is in place, the testbed's root folder is\n"
    "                             written to FILE (for UMOCKDEV_DIR)\n"
    "  --program-pid-file FILE    PROGRAM's process id is written to FILE\n"
    "  --forward-signals          PROGRAM gets a process group of its own, and SIGINT and SIGTERM\n"
    "                             sent to the emulator are passed on to that group\n"
    "  --send SOCKET COMMAND...   client: send one control command, print the reply\n"
    "Controller options:\n";

namespace {

bool ParseController(const std::string& text, unsigned& k) {
  unsigned long value = 0;
  if (!ParseWholeNumber(text.c_str(), 1000, value) || value == 0) return false;
  k = static_cast<unsigned>(value);
  return true;
}

// Where the options that name a data command keep it; nullptr for any other.
uint32_t* ChunkOption(const std::string& arg, EmulatorOptions& options) {
  if (arg == "--short-report-at-chunk") return &options.shortReportAtChunk;
  if (arg == "--stop-reading-at-chunk") return &options.service.stopReadingAtChunk;
  if (arg == "--stop-reading-after-chunk") return &options.service.stopReadingAfterChunk;
  if (arg == "--hold-after-chunk") return &options.service.holdAfterChunk;
  return nullptr;
}

bool ParseVendors(const std::string& text, std::vector<uint16_t>& vendors) {
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    unsigned long vendor = 0;
    if (!ParseWholeNumber(text.substr(at, comma - at).c_str(), 0xFFFF, vendor)) return false;
    vendors.push_back(static_cast<uint16_t>(vendor));
    at = comma + 1;
  }
  return !vendors.empty();
}

bool ParseExtra(const std::string& text, ExtraDevice& extra) {
  if (text == "other-vendor")
    extra = ExtraDevice::OtherVendor;
  else if (text == "bluetooth")
    extra = ExtraDevice::Bluetooth;
  else if (text == "application")
    extra = ExtraDevice::Application;
  else
    return false;
  return true;
}

}  // namespace

bool ParseChunkNumber(const std::string& text, uint32_t& chunk) {
  unsigned long value = 0;
  if (!ParseWholeNumber(text.c_str(), 0xFFFFFFFF, value) || value == 0) return false;
  chunk = static_cast<uint32_t>(value);
  return true;
}

std::string ParseEmulatorCommandLine(const std::vector<std::string>& args, EmulatorOptions& options) {
  ControllerOptionParser controllerOptions(options.service.controller);
  bool applicationMode = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    const std::string value = hasValue ? args[i + 1] : std::string();
    std::string error;
    if (controllerOptions.Take(args, i, error)) {
      if (!error.empty()) return error;
    } else if (uint32_t* chunk = ChunkOption(arg, options)) {
      if (!ParseChunkNumber(value, *chunk)) return arg + " takes a chunk number from 1";
      ++i;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--") {
      options.program.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      if (options.program.empty()) return "-- must be followed by a program";
      break;
    } else if (arg == "--send") {
      if (!ReadSendArguments(args, i, options.sendPath, options.sendCommand))
        return "--send takes a socket and a command";
      break;
    } else if (arg == "--controllers") {
      unsigned long count = 0;
      if (!ParseWholeNumber(value.c_str(), 16, count)) return "--controllers takes 0 to 16";
      options.controllers = static_cast<unsigned>(count);
      ++i;
    } else if (arg == "--vendors") {
      options.vendors.clear();
      if (!ParseVendors(value, options.vendors)) return "--vendors takes vendor ids 0 to 0xFFFF, comma-separated";
      ++i;
    } else if (arg == "--fault-on") {
      if (!ParseController(value, options.faultOn)) return "--fault-on takes a controller number from 1";
      ++i;
    } else if (arg == "--extra") {
      ExtraDevice extra;
      if (!ParseExtra(value, extra)) return "--extra takes other-vendor, bluetooth or application";
      options.extras.push_back(extra);
      ++i;
    } else if (arg == "--no-permission") {
      unsigned k = 0;
      if (!ParseController(value, k)) return "--no-permission takes a controller number from 1";
      options.noPermission.push_back(k);
      ++i;
    } else if (arg == "--factory-on") {
      unsigned k = 0;
      if (!ParseController(value, k)) return "--factory-on takes a controller number from 1";
      options.factoryOn.push_back(k);
      ++i;
    } else if (arg == "--product-name" && hasValue) {
      if (value.empty() || value.find_first_of(std::string("\n\r\0", 3)) != std::string::npos)
        return "--product-name takes text without a line break";
      options.bootProductName = value;
      ++i;
    } else if (arg == "--two-interfaces") {
      options.secondInterface = true;
    } else if (arg == "--return-port") {
      unsigned long port = 0;
      if (!ParseWholeNumber(value.c_str(), 127, port) || port == 0) return "--return-port takes a port from 1 to 127";
      options.returnPort = static_cast<unsigned>(port);
      ++i;
    } else if (arg == "--attach-after-start") {
      options.service.attachAtStart = false;
    } else if (arg == "--paced") {
      options.service.paced = true;
    } else if (arg == "--application-mode") {
      applicationMode = true;
    } else if (arg == "--return-delay-ms") {
      unsigned long ms = 0;
      if (!ParseWholeNumber(value.c_str(), 3600000, ms)) return "--return-delay-ms takes 0 to 3600000";
      options.service.returnDelayUs = static_cast<uint64_t>(ms) * 1000;
      ++i;
    } else if ((arg == "--control" || arg == "--root-file" || arg == "--program-pid-file") && hasValue &&
               !value.empty()) {
      (arg == "--control" ? options.control : arg == "--root-file" ? options.rootFile : options.programPidFile) = value;
      ++i;
    } else if (arg == "--forward-signals") {
      options.forwardSignals = true;
    } else {
      return "unknown or incomplete option: " + arg;
    }
  }
  controllerOptions.Finish();
  if (applicationMode) options.service.controller.productId = options.service.controller.applicationProductId;

  if (options.faultOn > options.controllers) return "--fault-on names a controller beyond --controllers";
  for (unsigned k : options.noPermission)
    if (k > options.controllers) return "--no-permission names a controller beyond --controllers";
  for (unsigned k : options.factoryOn)
    if (k > options.controllers) return "--factory-on names a controller beyond --controllers";
  // Controllers take ports 1 to N, the extra devices the ports after them.
  if (options.returnPort != 0 && options.returnPort <= options.controllers + options.extras.size())
    return "--return-port names a port a device is plugged into";
  if (options.returnPort != 0 && options.controllers > 1 && options.faultOn == 0)
    return "--return-port with several controllers needs --fault-on K";
  if (options.program.empty() && (options.forwardSignals || !options.programPidFile.empty()))
    return "--forward-signals and --program-pid-file need a PROGRAM after --";
  return std::string();
}

ControllerConfig ControllerConfigFor(const EmulatorOptions& options, unsigned k) {
  ControllerConfig config = options.service.controller;
  if (!options.vendors.empty()) config.vendorId = options.vendors[(k - 1) % options.vendors.size()];
  if (options.faultOn != 0 && options.faultOn != k) config.fault = FaultPlan{};
  if (std::find(options.factoryOn.begin(), options.factoryOn.end(), k) != options.factoryOn.end())
    config.factoryFirmware = true;
  return config;
}
