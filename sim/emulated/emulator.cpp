#include "emulator.h"

#include <glib-unix.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "controller_options.h"
#include "protocol.h"

const char kControlEnvironment[] = "KORVID_EMULATOR_CONTROL";

namespace {

DeviceSpec ExtraSpec(ExtraDevice extra) {
  DeviceSpec spec;
  spec.vendorId = 0x2DC8;
  spec.manufacturer = kControllerManufacturer;
  spec.interfaces.push_back(&ControllerReportDescriptor());
  switch (extra) {
    case ExtraDevice::OtherVendor:
      spec.vendorId = 0x046D;
      spec.productId = 0xC000;
      spec.manufacturer.clear();
      spec.product = "USB Receiver";
      spec.interfaces = {&KeyboardReportDescriptor()};
      break;
    case ExtraDevice::Bluetooth:
      spec.bus = HidBus::Bluetooth;
      spec.productId = kBootProductId;
      spec.product = ControllerProductString(kBootProductId);
      break;
    case ExtraDevice::Application:
      spec.productId = 0x5751;
      spec.product = ControllerProductString(0x5751);
      spec.serial = "KVA0000000001";
      break;
  }
  return spec;
}

std::string ControllerSerial(unsigned k) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "KV%010u", k);
  return serial;
}

// Written whole or not at all: a test waiting for the file never reads half.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".partial";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text << '\n';
    if (!out) {
      error = "cannot write " + temporary;
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::string Hex(const Report& report) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t byte : report) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseReport(const std::string& hex, Report& report) {
  if (hex.empty() || hex.size() % 2 != 0 || hex.size() > 2 * report.size()) return false;
  report.fill(0);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    report[i / 2] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool ParseControllerNumber(const std::string& text, unsigned& k) {
  unsigned long value = 0;
  if (!ParseWholeNumber(text.c_str(), 1000, value) || value == 0) return false;
  k = static_cast<unsigned>(value);
  return true;
}

}  // namespace

// One emulated controller: its service, and the link that gives it nodes.
struct Emulator::Controller {
  Controller(Testbed& testbed, std::vector<std::unique_ptr<EmulatedDevice>>& retired,
             LinkSettings settings, const ServiceOptions& options, uint32_t shortReportAtChunk)
      : link(testbed, retired, std::move(settings), [this](const Report& report) { Take(report); }),
        service(options, link),
        shortReportAtChunk(shortReportAtChunk) {}

  void Take(const Report& report) {
    if (written.size() < kKeptWritten) written.push_back(report);
    const uint32_t before = DataCommands();
    service.OnOutputReport(report, MonotonicUs());
    if (shortReportAtChunk != 0 && before < shortReportAtChunk && DataCommands() >= shortReportAtChunk)
      link.SendShort();
  }
  uint32_t DataCommands() const { return service.Controller() ? service.Controller()->DataCommandsReceived() : 0; }

  // What the program wrote, for a test to read back (`written`).
  static constexpr std::size_t kKeptWritten = 512;
  std::vector<Report> written;
  EmulatedLink link;
  ControllerService service;
  uint32_t shortReportAtChunk;
};

Emulator::Emulator(EmulatorOptions options)
    : options_(std::move(options)),
      loop_(g_main_loop_new(nullptr, FALSE)),
      desk_([this](const HandedCall& call) { Answer(call); }),
      timer_([this] { ServeControllers(); }),
      control_([this](const std::string& line) { return Control(line); }),
      program_([this](int status) {
        exitStatus_ = status;
        Quit();
      }) {}

Emulator::~Emulator() {
  Shutdown();
  g_main_loop_unref(loop_);
}

bool Emulator::Start(std::string& error) {
  if (!timer_.Ready()) {
    error = std::string("cannot make the event descriptors: ") + std::strerror(errno);
    return false;
  }
  // Frame boundaries of the paced link are due to the microsecond.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  signal(SIGPIPE, SIG_IGN);
  signalWatches_[0] = g_unix_signal_add(SIGINT, &Emulator::OnSigint, this);
  signalWatches_[1] = g_unix_signal_add(SIGTERM, &Emulator::OnSigterm, this);

  testbed_ = Testbed::Create(error);
  if (!testbed_) return false;
  // Programs of other users (an open refused by mode alone) must reach the
  // nodes, and their udev monitors put their sockets in this folder.
  chmod(testbed_->Root().c_str(), 01777);

  for (unsigned k = 1; k <= options_.controllers; ++k) {
    ServiceOptions service = options_.service;
    service.controller = ControllerConfigFor(options_, k);
    if (options_.faultOn != 0 && options_.faultOn != k) service.stopReadingAfterChunk = service.holdAfterChunk = 0;
    const bool locked =
        std::find(options_.noPermission.begin(), options_.noPermission.end(), k) != options_.noPermission.end();
    const uint32_t shortAt = options_.faultOn == 0 || options_.faultOn == k ? options_.shortReportAtChunk : 0;
    const unsigned returnPort = options_.faultOn == 0 || options_.faultOn == k ? options_.returnPort : 0;
    Controller& controller = AddController(k, returnPort, service, shortAt, locked ? 0 : 0666);
    if (options_.service.attachAtStart && !controller.service.Attached()) {
      error = "controller " + std::to_string(k) + ": " + controller.link.LastError();
      return false;
    }
  }
  unsigned port = options_.controllers;
  for (ExtraDevice extra : options_.extras)
    if (!PlugExtra(extra, ++port, error)) return false;
  nextPort_ = std::max(port + 1, options_.returnPort + 1);
  ServeControllers();

  if (!options_.control.empty()) {
    if (!control_.Open(options_.control, error)) return false;
    // A program run as another user (to be refused a node) still controls.
    chmod(options_.control.c_str(), 0666);
    controlSource_ =
        std::make_unique<PollSetSource>([this](std::vector<pollfd>& fds) { control_.AddPollFds(fds); },
                                        [this](const std::vector<pollfd>& fds) { control_.HandleEvents(fds); });
  }
  if (!options_.rootFile.empty() && !WriteFileAtomically(options_.rootFile, testbed_->Root(), error)) return false;
  if (!options_.program.empty()) {
    std::vector<std::string> environment;
    if (!options_.control.empty()) environment.push_back(std::string(kControlEnvironment) + "=" + options_.control);
    if (!program_.Start(options_.program, environment, options_.forwardSignals, error)) return false;
    if (!options_.programPidFile.empty() &&
        !WriteFileAtomically(options_.programPidFile, std::to_string(program_.Pid()), error)) {
      program_.Signal(SIGKILL);
      return false;
    }
  }
  return true;
}

Emulator::Controller& Emulator::AddController(unsigned port, unsigned returnPort, ServiceOptions service,
                                              uint32_t shortReportAtChunk, mode_t mode) {
  LinkSettings link;
  link.port = port;
  link.returnPort = returnPort;
  link.nodeMode = mode;
  link.secondInterface = options_.secondInterface;
  link.bootProduct = options_.bootProductName;
  link.serial = ControllerSerial(static_cast<unsigned>(controllers_.size() + 1));
  controllers_.push_back(
      std::make_unique<Controller>(*testbed_, retired_, link, service, shortReportAtChunk));
  Controller& controller = *controllers_.back();
  controller.service.Start(MonotonicUs());
  return controller;
}

// "plug OPTIONS": one more controller, configured by its own controller
// options (the emulator's are not inherited), plugged in on a port of its own.
std::string Emulator::PlugNew(const std::string& argument) {
  std::vector<std::string> args = Words(argument);
  args.insert(args.begin(), "plug");
  ServiceOptions service = options_.service;
  service.controller = ControllerConfig{};
  service.stopReadingAtChunk = 0;
  service.stopReadingAfterChunk = 0;
  service.holdAfterChunk = 0;
  service.attachAtStart = true;
  ControllerOptionParser parser(service.controller);
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string error;
    if (parser.Take(args, i, error)) {
      if (!error.empty()) return "error " + error;
    } else if (args[i] == "--vendor" && i + 1 < args.size()) {
      unsigned long vendor = 0;
      if (!ParseWholeNumber(args[++i].c_str(), 0xFFFF, vendor)) return "error --vendor takes 0 to 0xFFFF";
      service.controller.vendorId = static_cast<uint16_t>(vendor);
    } else if (args[i] == "--application-mode") {
      service.controller.productId = service.controller.applicationProductId;
    } else if (args[i] == "--hold-after-chunk" && i + 1 < args.size()) {
      if (!ParseChunkNumber(args[++i], service.holdAfterChunk))
        return "error --hold-after-chunk takes a chunk number from 1";
    } else {
      return "error plug takes controller options, --vendor V, --application-mode and --hold-after-chunk N, not " +
             args[i];
    }
  }
  parser.Finish();
  if (controllers_.size() >= 64) return "error no more than 64 controllers";
  Controller& controller = AddController(nextPort_++, 0, service, 0, 0666);
  if (!controller.service.Attached()) return "error the device could not appear: " + controller.link.LastError();
  ServeControllers();
  return "ok controller " + std::to_string(controllers_.size());
}

bool Emulator::PlugExtra(ExtraDevice extra, unsigned port, std::string& error) {
  extras_.push_back(std::make_unique<EmulatedDevice>(*testbed_, ExtraSpec(extra), port, 0666,
                                                     std::vector<HidrawNodeListener*>{}));
  return extras_.back()->Plug(error);
}

int Emulator::Run() {
  g_main_loop_run(loop_);
  Shutdown();
  return exitStatus_;
}

void Emulator::Quit() { g_main_loop_quit(loop_); }

void Emulator::Answer(const HandedCall& call) {
  call.node->Handle(call);
  ServeControllers();
}

void Emulator::ServeControllers() {
  const uint64_t now = MonotonicUs();
  uint64_t due = ControllerService::kNever;
  for (auto& controller : controllers_) due = std::min(due, controller->service.Poll(now));
  if (due == ControllerService::kNever)
    timer_.Cancel();
  else
    timer_.WakeAt(due);
}

gboolean Emulator::OnSigint(gpointer self) {
  static_cast<Emulator*>(self)->OnStopSignal(SIGINT);
  return G_SOURCE_CONTINUE;
}

gboolean Emulator::OnSigterm(gpointer self) {
  static_cast<Emulator*>(self)->OnStopSignal(SIGTERM);
  return G_SOURCE_CONTINUE;
}

void Emulator::OnStopSignal(int signal) {
  if (!program_.Running()) return Quit();
  if (options_.forwardSignals) return program_.Signal(signal);
  // The program shares our process group: a terminal's signal reached it
  // too, and it is given the time to end. A second signal does not wait.
  if (stopSignalled_) program_.Signal(SIGKILL);
  stopSignalled_ = true;
}

std::string Emulator::Control(const std::string& line) {
  const ControlCommand command = ParseControlCommand(line);
  if (command.word == "quit") {
    if (program_.Running())
      program_.Signal(SIGTERM);
    else
      Quit();
    return "ok";
  }
  if (command.word == "clocks")
    return "ok monotonic_us=" + std::to_string(MonotonicUs()) + " monotonic_raw_us=" + std::to_string(MonotonicRawUs());
  if (command.word == "plug") return PlugNew(command.argument);
  const bool known = command.word == "status" || command.word == "attach" || command.word == "unplug" ||
                     command.word == "reattach" || command.word == "hold" || command.word == "release" ||
                     command.word == "violations" || command.word == "stats" || command.word == "image" ||
                     command.word == "input" || command.word == "short" || command.word == "send" ||
                     command.word == "written" || command.word == "stop-reading";
  if (!known) return "error unknown command: " + command.word;

  unsigned k = 1;
  std::string serviceLine = command.word;
  if (command.word == "send") {
    // "send K HEX", or "send HEX" for the first controller.
    const ControlCommand parts = ParseControlCommand(command.argument);
    const std::string hex = parts.argument.empty() ? parts.word : parts.argument;
    Report report;
    if ((!parts.argument.empty() && !ParseControllerNumber(parts.word, k)) || !ParseReport(hex, report))
      return "error send takes [K] HEX, one report of at most 64 bytes in hexadecimal";
    if (k > controllers_.size()) return "error no controller " + std::to_string(k);
    if (!controllers_[k - 1]->link.SendReport(report)) return "error not attached";
    return "ok sent";
  }
  if (command.word == "input") {
    // "input K N", or "input N" for the first controller.
    const ControlCommand parts = ParseControlCommand(command.argument);
    const std::string count = parts.argument.empty() ? parts.word : parts.argument;
    unsigned long n = 0;
    if ((!parts.argument.empty() && !ParseControllerNumber(parts.word, k)) ||
        !ParseWholeNumber(count.c_str(), 1000, n) || n == 0)
      return "error input takes [K] N, N from 1 to 1000";
    if (k > controllers_.size()) return "error no controller " + std::to_string(k);
    if (!controllers_[k - 1]->link.SendNumbered(static_cast<unsigned>(n))) return "error not attached";
    return "ok sent " + std::to_string(n);
  }
  if (command.word == "short") {
    if (!command.argument.empty() && !ParseControllerNumber(command.argument, k))
      return "error short takes a controller number from 1";
    if (k > controllers_.size()) return "error no controller " + std::to_string(k);
    if (!controllers_[k - 1]->link.SendShort()) return "error not attached";
    return "ok sent " + std::to_string(EmulatedLink::kShortReportSize) + " bytes";
  }
  if (command.word == "image") {
    // "image K FILE", or "image FILE" for the first controller.
    const ControlCommand parts = ParseControlCommand(command.argument);
    if (!parts.argument.empty() && ParseControllerNumber(parts.word, k))
      serviceLine += " " + parts.argument;
    else
      serviceLine += command.argument.empty() ? "" : " " + command.argument;
  } else if (!command.argument.empty() && !ParseControllerNumber(command.argument, k)) {
    return "error " + command.word + " takes a controller number from 1";
  }
  if (k > controllers_.size())
    return "error no controller " + std::to_string(k) + " (there are " + std::to_string(controllers_.size()) + ")";

  Controller& controller = *controllers_[k - 1];
  if (command.word == "written") {
    std::string reply = "ok " + std::to_string(controller.written.size());
    for (const Report& report : controller.written) reply += " " + Hex(report);
    return reply;
  }
  if (command.word == "stop-reading") {
    controller.link.StopReading();
    return "ok";
  }
  std::string reply = controller.service.Control(serviceLine, MonotonicUs());
  ServeControllers();
  if (command.word == "status") {
    const std::string devnode = controller.link.Devnode();
    const HidrawNode* node = controller.link.Node();
    reply += " node=" + (devnode.empty() ? std::string("-") : devnode);
    const bool present = node != nullptr && node->Present();
    reply += " open=" + std::to_string(present ? node->Openers() : 0);
    reply += " queued=" + std::to_string(present ? node->Queued() : 0);
    reply += " wire_violations=" + std::to_string(controller.link.WireViolationCount());
    reply += " short_dropped=" + std::to_string(node != nullptr ? node->ShortReportsDropped() : 0);
  } else if (command.word == "violations") {
    for (const std::string& violation : controller.link.WireViolations())
      reply += (reply.empty() ? "" : "; ") + violation;
    const uint64_t untold = controller.link.WireViolationCount() - controller.link.WireViolations().size();
    if (untold > 0) reply += "; and " + std::to_string(untold) + " more wire violations";
  }
  return reply;
}

void Emulator::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  controlSource_.reset();
  control_.Close();
  for (guint& watch : signalWatches_) {
    if (watch != 0) g_source_remove(watch);
    watch = 0;
  }
  if (program_.Running()) program_.Signal(SIGKILL);
  // Every device goes as if pulled out, so that a program still running
  // under the testbed hears of it; calls still waiting then fail.
  for (auto& controller : controllers_) controller->link.Vanish();
  for (auto& extra : extras_) {
    extra->Unplug();
    retired_.push_back(std::move(extra));
  }
  extras_.clear();
  for (auto& device : retired_) device->Forget();
  testbed_.reset();  // removes the testbed folder
  controllers_.clear();
  retired_.clear();
  desk_.Close();
}
