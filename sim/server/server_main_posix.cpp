// korvid-sim-controller: the simulated controller served as a HID device on
// a Unix socket, for the macOS application built here against GNUstep, with
// a control channel for tests and scripts. A test tool, not a deliverable.
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "controller_options.h"
#include "server_options.h"
#include "poll_deadline.h"
#include "unix_control_channel.h"
#include "unix_hid_protocol.h"
#include "unix_socket_link.h"

namespace {

constexpr int kExitUsage = 2;

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }

uint64_t NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// SIGTERM and SIGINT are held back except while the loop waits, so a stop
// is noticed at once and never lost between a test and the wait.
bool BlockStopSignals(sigset_t& waitMask) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) return false;
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  return sigprocmask(SIG_BLOCK, &stops, &waitMask) == 0;
}

int Serve(const ServerCommandLine& commandLine, const std::string& deviceDir, const std::string& controlPath) {
  sigset_t waitMask;
  if (!BlockStopSignals(waitMask)) {
    std::perror("korvid-sim-controller: signals");
    return kExitUsage;
  }
  // Frame boundaries of the paced link are due to the microsecond.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

  ControllerService* servicePointer = nullptr;
  UnixSocketLink link(deviceDir, commandLine.name,
                      [&servicePointer](const Report& report) { servicePointer->OnOutputReport(report, NowUs()); });
  ControllerService service(commandLine.service, link);
  servicePointer = &service;
  UnixControlChannel control([&service](const std::string& line) { return service.Control(line, NowUs()); });

  service.Start(NowUs());
  if (commandLine.service.attachAtStart && !service.Attached()) {
    std::fprintf(stderr, "korvid-sim-controller: the device cannot appear: %s\n", link.LastError().c_str());
    return kExitUsage;
  }
  // The control channel opens last: once it is there, so is the device.
  std::string error;
  if (!control.Open(controlPath, error)) {
    std::fprintf(stderr, "korvid-sim-controller: %s\n", error.c_str());
    return kExitUsage;
  }

  std::vector<pollfd> fds;
  while (!service.QuitRequested() && g_stopSignal == 0) {
    const uint64_t now = NowUs();
    const uint64_t due = service.Poll(now);
    fds.clear();
    link.AddPollFds(fds);
    const std::size_t linkFds = fds.size();
    control.AddPollFds(fds);

    timespec wait{};
    timespec* timeout = PollTimeout(due, now, wait);
    const int ready = ppoll(fds.data(), fds.size(), timeout, &waitMask);
    if (ready <= 0) continue;  // time is due, or a signal came

    const std::vector<pollfd> linkEvents(fds.begin(), fds.begin() + static_cast<long>(linkFds));
    const std::vector<pollfd> controlEvents(fds.begin() + static_cast<long>(linkFds), fds.end());
    link.HandleEvents(linkEvents);
    control.HandleEvents(controlEvents);
  }
  control.Close();
  link.Vanish();
  return 0;
}


}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  ServerCommandLine commandLine;
  const std::string error = ParseServerCommandLine(args, commandLine);
  if (!error.empty() || commandLine.help) {
    std::FILE* out = error.empty() ? stdout : stderr;
    if (!error.empty()) std::fprintf(out, "korvid-sim-controller: %s\n", error.c_str());
    std::fprintf(out, "%s%s", kServerUsage, kControllerOptionsUsage);
    std::fprintf(out,
                 "Here the device is the socket DIR/NAME.hid (DIR: --device-dir, else $%s, else\n"
                 "/tmp/korvid-hid-UID) and the control channel DIR/NAME.control unless --control names it.\n"
                 "Exit status: 0 after quit or SIGTERM/SIGINT (socket files removed); with --send, 0 when\n"
                 "the reply came and is no error, 1 for an error reply, 2 when no reply came or bad usage.\n",
                 unixhid::kDirEnvironment);
    return error.empty() ? 0 : kExitUsage;
  }
  const std::string deviceDir = commandLine.deviceDir.empty() ? unixhid::DeviceDir() : commandLine.deviceDir;
  const std::string controlPath =
      commandLine.control.empty() ? deviceDir + "/" + commandLine.name + ".control" : commandLine.control;
  if (!commandLine.send.empty()) return SendControlCommandAndPrint("korvid-sim-controller", controlPath, commandLine.send);
  return Serve(commandLine, deviceDir, controlPath);
}
