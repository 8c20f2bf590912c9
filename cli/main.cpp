// korvid-update: updates the firmware of Korvid controllers in BOOT mode
// from the command line, one controller or all of them at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "access_advice.h"
#include "commands.h"
#include "exit_status.h"

namespace {

const char kUsage[] =
    "Usage: korvid-update COMMAND [OPTIONS]\n"
    "Updates the firmware of Korvid controllers in BOOT mode over USB.\n"
    "\n"
    "Commands:\n"
    "  list [--json]                 the controllers connected, in BOOT or application mode\n"
    "  version [--device PATH | --port PORT]\n"
    "                                the firmware version a controller in BOOT mode reports\n"
    "  flash FILE [--device PATH | --port PORT | --all | --station] [--yes] [--wait[=SECONDS]]\n"
    "                                write the firmware file FILE (*.dat) into a controller\n"
    "\n"
    "Run 'korvid-update COMMAND --help' for a command's options.\n"
    "Exit status: 0 done, 1 the update did not succeed, 2 bad usage, bad file,\n"
    "no controller or no permission, 130 interrupted.\n";

const char kListUsage[] =
    "Usage: korvid-update list [--json]\n"
    "Lists the controllers connected: in BOOT mode with the firmware version each\n"
    "reports (or why it cannot be asked), and in application mode; each with the\n"
    "USB port it is plugged into (bus and hub ports, \"1-2.3\") and its serial number\n"
    "where it has them.\n"
    "  --json   one JSON array, an object per controller\n";

const char kVersionUsage[] =
    "Usage: korvid-update version [--device PATH | --port PORT] [--json] [--verbose]\n"
    "Asks a controller in BOOT mode for its firmware version and prints it.\n"
    "  --device PATH   the controller's device node (see 'korvid-update list');\n"
    "                  needed when several are connected\n"
    "  --port PORT     the controller on this USB port instead, as listed (\"1-2.3\")\n"
    "  --json          JSON lines: a \"controller\" event, then a \"version\" event\n"
    "  --verbose       the engine's traces on standard error\n";

const char kFlashUsage[] =
    "Usage: korvid-update flash FILE [--device PATH | --port PORT | --all | --station [--count N]] [--yes]\n"
    "                           [--wait[=SECONDS]] [--json] [--log FILE] [--verbose]\n"
    "Writes the firmware file FILE into a controller in BOOT mode. The file is\n"
    "checked first; nothing is sent when it is not a whole firmware file.\n"
    "  --device PATH     the controller's device node; needed when several are connected\n"
    "  --port PORT       the controller on this USB port instead (\"1-2.3\", as listed);\n"
    "                    with --wait, the one plugged in there; its return is looked for\n"
    "                    there too\n"
    "  --all             every controller in BOOT mode, all at once\n"
    "  --station         a bench: each controller is updated as it is plugged in in BOOT mode,\n"
    "                    several at once, each named by its USB port; one that fails or is\n"
    "                    unplugged is taken again when it comes back in BOOT mode. Ctrl-C ends\n"
    "                    once the updates under way are finished (twice: they are stopped)\n"
    "  --count N         with --station: end after N controllers\n"
    "  --yes             no question before the update\n"
    "  --wait[=SECONDS]  wait for a controller to be plugged in (without a limit, or SECONDS)\n"
    "  --json            one JSON object a line on standard output, flushed as it happens: \"controller\",\n"
    "                    \"version\", \"confirmation\", \"progress\" (once per percent), \"result\"\n"
    "                    (updated, failed with a reason and a reason_code, or interrupted),\n"
    "                    \"returned\"; with --all and --station each names its controller (node,\n"
    "                    port, serial) and a \"summary\" ends the stream; what a person reads,\n"
    "                    and the question, go to standard error\n"
    "  --log FILE        append one JSON line per controller handled to FILE: the time (UTC),\n"
    "                    host, node, port, serial, versions before and after, the firmware\n"
    "                    file's name, size and SHA-256, the result and its reason, the\n"
    "                    duration; several runs may log to one file at once\n"
    "  --progress=STYLE  terminal (one line redrawn), plain (a line per percent) or parent\n"
    "                    (lines --all and --station read back from their children)\n"
    "  --verbose         the engine's traces on standard error\n"
    "If the update is stopped (Ctrl-C, a failure), the controller stays in BOOT mode:\n"
    "run the same command again to finish it.\n";

int UsageError(const char* usage, const std::string& problem) {
  std::fprintf(stderr, "korvid-update: %s\n%s", problem.c_str(), usage);
  return kExitUsage;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// A USB port as Windows tells a device's location: its location path
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)") or, lacking one, its
// location information ("Port_#0003.Hub_#0002").
bool IsWindowsLocation(const std::string& text) {
  if (text.empty() || text.size() > 256 || text.find_first_of("(#") == std::string::npos) return false;
  for (const char c : text) {
    const bool alphanumeric = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alphanumeric && std::strchr("()#_.&", c) == nullptr) return false;
  }
  return true;
}

// A USB port as sysfs names a device: the bus, a dash, the hub ports down to
// it separated by dots ("1-2.3"); or as Windows does.
bool IsPortPath(const std::string& text) {
  if (IsWindowsLocation(text)) return true;
  std::size_t at = 0;
  const auto number = [&] {
    const std::size_t from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at > from && at - from <= 3;
  };
  if (!number() || at >= text.size() || text[at++] != '-' || !number()) return false;
  while (at < text.size()) {
    if (text[at++] != '.' || !number()) return false;
  }
  return true;
}

// "--name=value" or "--name value"; advances i past what it took.
bool TakeValue(const std::vector<std::string>& args, std::size_t& i, const char* name, std::string& value) {
  const std::string prefix = std::string(name) + "=";
  if (args[i].compare(0, prefix.size(), prefix) == 0) {
    value = args[i].substr(prefix.size());
    return true;
  }
  if (args[i] != name || i + 1 >= args.size()) return false;
  value = args[++i];
  return true;
}

int List(const std::vector<std::string>& args) {
  ListOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (IsHelp(args[i])) return std::printf("%s", kListUsage), kExitUpdated;
    if (args[i] == "--json")
      options.json = true;
    else
      return UsageError(kListUsage, "unknown option " + args[i]);
  }
  return RunList(options);
}

int Version(const std::vector<std::string>& args) {
  VersionOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (IsHelp(args[i])) return std::printf("%s", kVersionUsage), kExitUpdated;
    if (args[i] == "--verbose")
      options.verbose = true;
    else if (args[i] == "--json")
      options.json = true;
    else if (TakeValue(args, i, "--device", value))
      options.device = value;
    else if (TakeValue(args, i, "--port", value))
      options.port = value;
    else
      return UsageError(kVersionUsage, "unknown option " + args[i]);
  }
  if (options.device && options.port) return UsageError(kVersionUsage, "--device and --port exclude each other");
  if (options.port && !IsPortPath(*options.port))
    return UsageError(kVersionUsage, "--port takes a USB port as listed, such as 1-2.3");
  return RunVersion(options);
}

int Flash(const std::vector<std::string>& args) {
  FlashOptions options;
  options.style = StyleFor(stdout);
  bool haveFile = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    if (IsHelp(arg)) return std::printf("%s", kFlashUsage), kExitUpdated;
    if (arg == "--all") {
      options.all = true;
    } else if (arg == "--yes" || arg == "-y") {
      options.yes = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--station") {
      options.station = true;
    } else if (TakeValue(args, i, "--count", value)) {
      char* end = nullptr;
      const unsigned long count = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || count == 0 || count > 100000)
        return UsageError(kFlashUsage, "--count takes a number of controllers from 1 to 100000");
      options.count = static_cast<unsigned>(count);
    } else if (arg == "--wait") {
      options.wait = true;
    } else if (arg.compare(0, 7, "--wait=") == 0) {
      char* end = nullptr;
      const unsigned long seconds = std::strtoul(arg.c_str() + 7, &end, 10);
      if (end == arg.c_str() + 7 || *end != '\0' || seconds == 0 || seconds > 86400)
        return UsageError(kFlashUsage, "--wait takes a number of seconds from 1 to 86400");
      options.wait = true;
      options.waitSeconds = static_cast<unsigned>(seconds);
    } else if (TakeValue(args, i, "--device", value)) {
      options.device = value;
    } else if (TakeValue(args, i, "--port", value)) {
      options.port = value;
    } else if (TakeValue(args, i, "--log", value)) {
      if (value.empty()) return UsageError(kFlashUsage, "--log takes a file");
      options.log = value;
    } else if (TakeValue(args, i, "--progress", value)) {  // how a parent process reads a child
      if (value == "parent")
        options.style = ProgressStyle::ForParent;
      else if (value == "plain")
        options.style = ProgressStyle::Plain;
      else if (value == "terminal")
        options.style = ProgressStyle::Terminal;
      else
        return UsageError(kFlashUsage, "--progress is parent, plain or terminal");
    } else if (arg.compare(0, 1, "-") == 0 && arg != "-") {
      return UsageError(kFlashUsage, "unknown option " + arg);
    } else if (!haveFile) {
      options.file = arg;
      haveFile = true;
    } else {
      return UsageError(kFlashUsage, "one firmware file at a time");
    }
  }
  if (!haveFile) return UsageError(kFlashUsage, "which firmware file?");
  if (options.all && options.device) return UsageError(kFlashUsage, "--device and --all exclude each other");
  if (options.all && options.port) return UsageError(kFlashUsage, "--port and --all exclude each other");
  if (options.station && (options.device || options.port || options.all || options.wait))
    return UsageError(kFlashUsage, "--station takes every controller as it comes: not with --device, --port, --all or --wait");
  if (options.count > 0 && !options.station) return UsageError(kFlashUsage, "--count is for --station");
  if (options.device && options.port) return UsageError(kFlashUsage, "--device and --port exclude each other");
  if (options.port && !IsPortPath(*options.port))
    return UsageError(kFlashUsage, "--port takes a USB port as listed, such as 1-2.3");
  return RunFlash(options);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError(kUsage, "which command?");
  const std::string command = args.front();
  args.erase(args.begin());
  if (IsHelp(command)) {
    std::printf("%s%s", kUsage, hiddevice::AccessSummary().c_str());
    return kExitUpdated;
  }
  if (command == "list") return List(args);
  if (command == "version") return Version(args);
  if (command == "flash") return Flash(args);
  return UsageError(kUsage, "unknown command " + command);
}
