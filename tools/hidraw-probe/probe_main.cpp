// korvid-hidraw-probe: asks a hidraw node what the kernel's hidraw does
// (sizes, queues, errors, unplug order) with a simulated controller on the
// device side, and prints the answers as "key: value" lines; or compares
// two such transcripts, the kernel's and the emulator's, naming each
// difference.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "hidraw_probe.h"
#include "unix_control_channel.h"

namespace {

const char kUsage[] =
    "usage: korvid-hidraw-probe basic|stall --node /dev/hidrawN --control SOCKET [--peer gadget|emulator]\n"
    "       korvid-hidraw-probe --compare KERNEL_TRANSCRIPT EMULATOR_TRANSCRIPT [--known KEY]...\n"
    "basic: ioctls, write and read sizes, a queue of 70 answers unread, a short input report,\n"
    "       the order of things at unplug (the device side is unplugged).\n"
    "stall: a write the device never takes; the device side must stop reading at data command 1.\n"
    "SOCKET is the device side's control channel (korvid-gadget-bridge or korvid-emulated-controller).\n"
    "--compare exits 1 when the transcripts differ, one line per difference; a difference in a\n"
    "--known KEY (one the emulator cannot help) is told as known and does not count.\n";

class ControlPeer final : public ProbePeer {
 public:
  explicit ControlPeer(std::string path) : path_(std::move(path)) {}
  std::string Send(const std::string& command) override {
    std::string reply, error;
    return SendControlCommand(path_, command, 5000, reply, error) ? reply : std::string();
  }

 private:
  std::string path_;
};

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 3 && args[0] == "--compare") {
    std::vector<std::string> known;
    for (std::size_t i = 3; i < args.size(); i += 2) {
      if (args[i] != "--known" || i + 1 >= args.size()) {
        std::fprintf(stderr, "korvid-hidraw-probe: unknown or incomplete argument: %s\n%s", args[i].c_str(), kUsage);
        return 2;
      }
      known.push_back(args[i + 1] + ": ");
    }
    std::vector<std::string> kernel, emulated;
    if (!ReadLines(args[1], kernel) || !ReadLines(args[2], emulated)) {
      std::fprintf(stderr, "korvid-hidraw-probe: cannot read %s or %s\n", args[1].c_str(), args[2].c_str());
      return 2;
    }
    if (kernel.empty() || emulated.empty()) {
      std::fprintf(stderr, "korvid-hidraw-probe: an empty transcript compares with nothing\n");
      return 2;
    }
    std::size_t counted = 0;
    for (const std::string& difference : CompareTranscripts(kernel, emulated)) {
      const bool isKnown = std::any_of(known.begin(), known.end(),
                                       [&](const std::string& key) { return difference.rfind(key, 0) == 0; });
      std::printf("%s: %s\n", isKnown ? "known" : "differs", difference.c_str());
      if (!isKnown) ++counted;
    }
    if (counted == 0) std::printf("the transcripts agree (%zu lines) but for known differences\n", kernel.size());
    return counted == 0 ? 0 : 1;
  }

  std::string mode, node, control, peer = "emulator";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if ((args[i] == "basic" || args[i] == "stall") && mode.empty())
      mode = args[i];
    else if (args[i] == "--node" && hasValue)
      node = args[++i];
    else if (args[i] == "--control" && hasValue)
      control = args[++i];
    else if (args[i] == "--peer" && hasValue && (args[i + 1] == "gadget" || args[i + 1] == "emulator"))
      peer = args[++i];
    else if (args[i] == "--help" || args[i] == "-h") {
      std::printf("%s", kUsage);
      return 0;
    } else {
      std::fprintf(stderr, "korvid-hidraw-probe: unknown or incomplete argument: %s\n%s", args[i].c_str(), kUsage);
      return 2;
    }
  }
  if (mode.empty() || node.empty() || control.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  ControlPeer device(control);
  const ProbeOutput out = [](const std::string& key, const std::string& value) {
    std::printf("%s: %s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
  };
  const int status =
      mode == "basic" ? RunBasicProbe(node, device, peer == "gadget", out) : RunStallProbe(node, device, out);
  std::fflush(stdout);
  // A write left waiting on its thread must not hold the exit.
  std::_Exit(status);
}
