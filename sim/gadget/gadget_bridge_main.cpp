// korvid-gadget-bridge: simulated controllers served as real USB HID devices
// through the kernel's gadget framework, for a guest whose host side
// (dummy_hcd, usbhid, hidraw) is the real kernel's. Each controller is one
// configfs gadget with an f_hid function, bound to a UDC of its own; the
// control channel takes the controller server's commands. A test tool, run
// as root inside the test guest.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "configfs_gadget.h"
#include "controller_options.h"
#include "gadget_link.h"
#include "protocol.h"
#include "poll_deadline.h"
#include "unix_control_channel.h"

namespace {

constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: korvid-gadget-bridge --control SOCKET [options]\n"
    "       korvid-gadget-bridge --send SOCKET COMMAND...\n"
    "Serves simulated Korvid controllers in BOOT mode as USB HID gadgets (configfs, f_hid),\n"
    "one per UDC (load dummy_hcd with num=N for N), until quit, SIGINT or SIGTERM.\n"
    "  --controllers N            controllers (1 to 8, default 1), on the UDCs in name order\n"
    "  --fault-on K               the controller faults apply to controller K only\n"
    "  --two-interfaces           each controller's device has a second HID interface, a\n"
    "                             keyboard with 8-byte reports, as interface 0 before the controller's\n"
    "  --attach-after-start       nothing is plugged in until the control command attach\n"
    "  --stop-reading-at-chunk N  takes data command N, then reads no more output reports\n"
    "  --return-delay-ms N        after the completion command, back as the application after N ms\n"
    "  --control SOCKET           the control channel: status|attach|unplug|reattach|stats|violations\n"
    "                             [K], image [K] FILE, short [K] (one 8-byte input report), quit\n"
    "  --send SOCKET COMMAND...   client: send one control command, print the reply\n"
    "Controller options:\n";

// One vendor collection (usage page 0xFF00), 64-byte input and output
// reports, no report IDs: what the controller's firmware declares.
const std::vector<uint8_t> kControllerDescriptor = {
    0x06, 0x00, 0xFF,                                                              // usage page (vendor 0xFF00)
    0x09, 0x01,                                                                    // usage 1
    0xA1, 0x01,                                                                    // collection (application)
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,  // input: 64 bytes 0-255
    0x09, 0x03, 0x91, 0x02,  // output: the same sizes, the global items carry over
    0xC0,                    // end collection
};

// A boot keyboard's 8-byte input report: the other interface of a device
// whose ids are the controller's.
const std::vector<uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

constexpr std::size_t kShortReportSize = 8;

struct BridgeOptions {
  ServiceOptions service;
  unsigned controllers = 1;
  unsigned faultOn = 0;
  bool twoInterfaces = false;
  std::string control;
  std::string sendPath;
  std::string sendCommand;
  bool help = false;
};

std::string ParseCommandLine(const std::vector<std::string>& args, BridgeOptions& options) {
  ControllerOptionParser controllerOptions(options.service.controller);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string value = i + 1 < args.size() ? args[i + 1] : std::string();
    unsigned long number = 0;
    std::string error;
    if (controllerOptions.Take(args, i, error)) {
      if (!error.empty()) return error;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--send") {
      if (!ReadSendArguments(args, i, options.sendPath, options.sendCommand))
        return "--send takes a socket and a command";
      break;
    } else if (arg == "--controllers") {
      if (!ParseWholeNumber(value.c_str(), 8, number) || number == 0) return "--controllers takes 1 to 8";
      options.controllers = static_cast<unsigned>(number);
      ++i;
    } else if (arg == "--fault-on") {
      if (!ParseWholeNumber(value.c_str(), 8, number) || number == 0) return "--fault-on takes a controller from 1";
      options.faultOn = static_cast<unsigned>(number);
      ++i;
    } else if (arg == "--two-interfaces") {
      options.twoInterfaces = true;
    } else if (arg == "--attach-after-start") {
      options.service.attachAtStart = false;
    } else if (arg == "--stop-reading-at-chunk") {
      if (!ParseWholeNumber(value.c_str(), 0xFFFFFFFF, number) || number == 0)
        return "--stop-reading-at-chunk takes a chunk number from 1";
      options.service.stopReadingAtChunk = static_cast<uint32_t>(number);
      ++i;
    } else if (arg == "--return-delay-ms") {
      if (!ParseWholeNumber(value.c_str(), 3600000, number)) return "--return-delay-ms takes 0 to 3600000";
      options.service.returnDelayUs = static_cast<uint64_t>(number) * 1000;
      ++i;
    } else if (arg == "--control" && !value.empty()) {
      options.control = value;
      ++i;
    } else {
      return "unknown or incomplete option: " + arg;
    }
  }
  controllerOptions.Finish();
  if (options.faultOn > options.controllers) return "--fault-on names a controller beyond --controllers";
  if (!options.help && options.sendPath.empty() && options.control.empty()) return "--control is required";
  return std::string();
}

volatile sig_atomic_t g_stopSignal = 0;
void OnStopSignal(int signal) { g_stopSignal = signal; }

uint64_t NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

struct Controller {
  ConfigfsGadget gadget;
  std::unique_ptr<GadgetLink> link;
  std::unique_ptr<ControllerService> service;
};

class Bridge {
 public:
  explicit Bridge(const BridgeOptions& options) : options_(options) {}

  bool Start(std::string& error) {
    const std::vector<std::string> udcs = ListUdcs();
    if (udcs.size() < options_.controllers) {
      error = std::to_string(options_.controllers) + " controllers need as many UDCs; there are " +
              std::to_string(udcs.size()) + " (modprobe dummy_hcd num=N)";
      return false;
    }
    for (unsigned k = 1; k <= options_.controllers; ++k) {
      auto controller = std::make_unique<Controller>();
      ServiceOptions service = options_.service;
      if (options_.faultOn != 0 && options_.faultOn != k) {
        service.controller.fault = FaultPlan{};
        service.stopReadingAtChunk = 0;
      }
      GadgetSpec spec;
      spec.name = "korvid" + std::to_string(k);
      spec.vendorId = service.controller.vendorId;
      spec.productId = service.controller.productId;
      spec.manufacturer = "Korvid";
      spec.product = GadgetProductString(spec.productId);
      char serial[16];
      std::snprintf(serial, sizeof serial, "KV%06u", k);
      spec.serial = serial;
      if (options_.twoInterfaces) spec.functions.push_back(HidFunctionSpec{kKeyboardDescriptor, 8, 1, 1});
      spec.functions.push_back(HidFunctionSpec{kControllerDescriptor, 64, 0, 0});
      if (!controller->gadget.Create(spec, error)) return false;
      Controller* raw = controller.get();
      controller->link =
          std::make_unique<GadgetLink>(controller->gadget, udcs[k - 1], spec.functions.size() - 1,
                                       [raw](const Report& report) { raw->service->OnOutputReport(report, NowUs()); });
      controller->service = std::make_unique<ControllerService>(service, *controller->link);
      controller->service->Start(NowUs());
      if (service.attachAtStart && !controller->service->Attached()) {
        error = "controller " + std::to_string(k) + " cannot appear: " + controller->link->LastError();
        return false;
      }
      controllers_.push_back(std::move(controller));
    }
    return true;
  }

  uint64_t Poll(uint64_t nowUs) {
    uint64_t due = ControllerService::kNever;
    for (auto& controller : controllers_) due = std::min(due, controller->service->Poll(nowUs));
    return due;
  }

  void AddPollFds(std::vector<pollfd>& fds) const {
    for (const auto& controller : controllers_) controller->link->AddPollFds(fds);
  }
  // One pollfd per controller, in order, as AddPollFds gave them.
  void HandleEvents(const pollfd* fds) {
    for (std::size_t i = 0; i < controllers_.size(); ++i) controllers_[i]->link->HandleEvents(&fds[i], 1);
  }

  bool QuitRequested() const { return quit_; }

  std::string Control(const std::string& line) {
    const ControlCommand command = ParseControlCommand(line);
    if (command.word == "quit") {
      quit_ = true;
      return "ok";
    }
    const bool takesFile = command.word == "image";
    const bool known = takesFile || command.word == "short" || command.word == "status" || command.word == "attach" ||
                       command.word == "unplug" || command.word == "reattach" || command.word == "violations" ||
                       command.word == "stats";
    if (!known) return "error unknown command: " + command.word;

    // "image K FILE" or "image FILE"; "status K" or "status", and so on.
    unsigned long k = 1;
    std::string rest = command.argument;
    const ControlCommand parts = ParseControlCommand(command.argument);
    if (takesFile) {
      if (!parts.argument.empty() && ParseWholeNumber(parts.word.c_str(), 1000, k)) rest = parts.argument;
    } else if (!rest.empty()) {
      if (!ParseWholeNumber(rest.c_str(), 1000, k) || k == 0)
        return "error " + command.word + " takes a controller number from 1";
      rest.clear();
    }
    if (k == 0 || k > controllers_.size())
      return "error no controller " + std::to_string(k) + " (there are " + std::to_string(controllers_.size()) + ")";
    Controller& controller = *controllers_[k - 1];

    if (command.word == "short") {
      if (!controller.service->Attached()) return "error not attached";
      // Shorter than the descriptor's report: what the host's HID core makes of it.
      std::vector<uint8_t> bytes(kShortReportSize, 0);
      bytes[0] = kShortReportSize;
      controller.link->SendRaw(std::move(bytes));
      return "ok sent " + std::to_string(kShortReportSize) + " bytes";
    }
    std::string reply = controller.service->Control(command.word + (rest.empty() ? "" : " " + rest), NowUs());
    if (command.word == "status") {
      reply += " node=" + controller.link->Node() + " udc=" + controller.link->Udc() +
               " queued=" + std::to_string(controller.link->Queued()) +
               " odd_reads=" + std::to_string(controller.link->OddReads().size());
    }
    return reply;
  }

  void Stop() {
    for (auto& controller : controllers_) {
      controller->link->Vanish();
      controller->gadget.Remove();
    }
  }

 private:
  const BridgeOptions& options_;
  std::vector<std::unique_ptr<Controller>> controllers_;
  bool quit_ = false;
};

int Serve(const BridgeOptions& options) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops, waitMask;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &waitMask);

  Bridge bridge(options);
  UnixControlChannel control([&bridge](const std::string& line) { return bridge.Control(line); });
  std::string error;
  // The control channel opens last: once it is there, so are the gadgets.
  if (!bridge.Start(error) || !control.Open(options.control, error)) {
    std::fprintf(stderr, "korvid-gadget-bridge: %s\n", error.c_str());
    bridge.Stop();
    return kExitUsage;
  }

  std::vector<pollfd> fds;
  while (!bridge.QuitRequested() && g_stopSignal == 0) {
    const uint64_t now = NowUs();
    const uint64_t due = bridge.Poll(now);
    fds.clear();
    bridge.AddPollFds(fds);
    const std::size_t linkFds = fds.size();
    control.AddPollFds(fds);
    timespec wait{};
    timespec* timeout = PollTimeout(due, now, wait);
    if (ppoll(fds.data(), fds.size(), timeout, &waitMask) <= 0) continue;
    bridge.HandleEvents(fds.data());
    control.HandleEvents(std::vector<pollfd>(fds.begin() + static_cast<long>(linkFds), fds.end()));
  }
  control.Close();
  bridge.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  BridgeOptions options;
  const std::string error = ParseCommandLine(args, options);
  if (!error.empty() || options.help) {
    std::FILE* out = error.empty() ? stdout : stderr;
    if (!error.empty()) std::fprintf(out, "korvid-gadget-bridge: %s\n", error.c_str());
    std::fprintf(out, "%s%s", kUsage, kControllerOptionsUsage);
    return error.empty() ? 0 : kExitUsage;
  }
  if (!options.sendPath.empty())
    return SendControlCommandAndPrint("korvid-gadget-bridge", options.sendPath, options.sendCommand);
  return Serve(options);
}
