#include "server_options.h"

#include "controller_options.h"

const char kServerUsage[] =
    "usage: korvid-sim-controller [options]\n"
    "Serves one simulated Korvid controller as a HID device to a front-end in\n"
    "another process, until the control command quit.\n"
    "  --name NAME                names the device and the control channel (default korvid-sim)\n"
    "  --device-dir DIR           where device sockets appear (Unix only)\n"
    "  --control ADDRESS          the control channel (default: derived from the name)\n"
    "  --attach-after-start       the controller is plugged in only by the control command attach\n"
    "  --paced                    full-speed USB pace: one report taken and answered per 1 ms frame\n"
    "  --application-mode         the controller runs its application (product 0x5751), not BOOT mode\n"
    "  --return-delay-ms N        after the completion command, back as the application after N ms\n"
    "                             (default 500)\n"
    "  --stop-reading-at-chunk N  from data command N on the controller answers nothing and reads no\n"
    "                             more output reports: the front-end's writes wait (until replugged)\n"
    "  --no-device-notices        Windows: front-ends get no WM_DEVICECHANGE; a test sends its own\n"
    "  --send COMMAND             client: send one control command to a running server, print the reply\n"
    "Controller options:\n";

std::string ParseServerCommandLine(const std::vector<std::string>& args, ServerCommandLine& commandLine) {
  ControllerOptionParser controllerOptions(commandLine.service.controller);
  bool applicationMode = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    std::string error;
    if (controllerOptions.Take(args, i, error)) {
      if (!error.empty()) return error;
    } else if (arg == "--help" || arg == "-h") {
      commandLine.help = true;
    } else if (arg == "--name" && hasValue && !args[i + 1].empty()) {
      commandLine.name = args[++i];
    } else if (arg == "--device-dir" && hasValue) {
      commandLine.deviceDir = args[++i];
    } else if (arg == "--control" && hasValue) {
      commandLine.control = args[++i];
    } else if (arg == "--send" && hasValue) {
      commandLine.send = args[++i];
    } else if (arg == "--attach-after-start") {
      commandLine.service.attachAtStart = false;
    } else if (arg == "--paced") {
      commandLine.service.paced = true;
    } else if (arg == "--application-mode") {
      applicationMode = true;
    } else if (arg == "--stop-reading-at-chunk") {
      unsigned long chunk = 0;
      if (!hasValue || !ParseWholeNumber(args[i + 1].c_str(), 0xFFFFFFFF, chunk) || chunk == 0)
        return "--stop-reading-at-chunk takes a chunk number from 1";
      commandLine.service.stopReadingAtChunk = static_cast<uint32_t>(chunk);
      ++i;
    } else if (arg == "--no-device-notices") {
      commandLine.deviceNotices = false;
    } else if (arg == "--return-delay-ms") {
      unsigned long ms = 0;
      if (!hasValue || !ParseWholeNumber(args[i + 1].c_str(), 3600000, ms))
        return "--return-delay-ms takes 0 to 3600000";
      commandLine.service.returnDelayUs = static_cast<uint64_t>(ms) * 1000;
      ++i;
    } else {
      return "unknown or incomplete option: " + arg;
    }
  }
  controllerOptions.Finish();
  if (applicationMode) commandLine.service.controller.productId = commandLine.service.controller.applicationProductId;
  return std::string();
}
