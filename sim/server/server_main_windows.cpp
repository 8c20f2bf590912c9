// korvid-sim-controller.exe: one simulated Korvid controller served as a HID
// device to update.exe in the same Wine prefix (or on Windows), until the
// control command quit. With --send it is the control channel's client.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "control_pipe.h"
#include "controller_options.h"
#include "controller_service.h"
#include "device_change_notifier.h"
#include "frame_metronome.h"
#include "named_pipe_hid_protocol.h"
#include "named_pipe_link.h"
#include "server_options.h"
#include "text_encoding.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitCommandRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoServer = 3;
constexpr DWORD kSendTimeoutMs = 10000;
constexpr DWORD kStartNoticesMs = 10000;

void Print(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::wstring ControlPathOf(const ServerCommandLine& commandLine) {
  if (commandLine.control.empty()) return pipehid::ControlPath(Utf8ToWide(commandLine.name));
  const std::wstring control = Utf8ToWide(commandLine.control);
  return control.rfind(L"\\\\", 0) == 0 ? control : std::wstring(pipehid::kPipePrefix) + control;
}

int SendOne(const std::wstring& controlPath, const std::string& command) {
  const std::optional<std::string> reply = SendControlCommand(controlPath, command, kSendTimeoutMs);
  if (!reply) {
    Print(stderr, "korvid-sim-controller: no server answers on " + WideToUtf8(controlPath) + "\n");
    return kExitNoServer;
  }
  Print(stdout, *reply + "\n");
  return reply->rfind("error", 0) == 0 ? kExitCommandRefused : kExitOk;
}

int Serve(const ServerCommandLine& commandLine) {
  const std::wstring name = Utf8ToWide(commandLine.name);
  const std::wstring controlPath = ControlPathOf(commandLine);
  DeviceChangeNotifier notifier;
  NamedPipeLink link(name, commandLine.deviceNotices ? &notifier : nullptr);
  ControllerService service(commandLine.service, link);
  MicrosecondClock clock;

  ControlChannel control;
  if (!control.Open(controlPath)) {
    Print(stderr, "korvid-sim-controller: cannot open the control channel " + WideToUtf8(controlPath) +
                      " (is another server of this name running?)\n");
    return kExitUsage;
  }
  WithdrawDevice(name);  // left behind by a server that was killed
  service.Start(clock.Now());
  if (commandLine.service.attachAtStart && !link.Up()) return kExitUsage;
  // The arrival is told before anyone hears that the server is ready: a
  // program started after that must not get it late, as if the controller
  // had come while it ran.
  notifier.WaitDelivered(kStartNoticesMs);
  Print(stdout, "ready device=" + (link.Up() ? WideToUtf8(link.DevicePath()) : std::string("none")) +
                    " control=" + WideToUtf8(controlPath) + "\n");

  const auto onOutput = [&](const Report& report) { service.OnOutputReport(report, clock.Now()); };
  const auto onCommand = [&](const std::string& line) { return service.Control(line, clock.Now()); };
  // The loop sleeps until a handle is signalled (a report is stamped as it
  // arrives) or the service's next moment has come.
  FrameMetronome metronome(clock);
  std::vector<HANDLE> handles;
  handles.reserve(64);
  while (!service.QuitRequested()) {
    const uint64_t dueUs = service.Poll(clock.Now());
    if (dueUs != ControllerService::kNever && dueUs <= clock.Now()) continue;
    metronome.WakeAt(dueUs == ControllerService::kNever ? FrameMetronome::kNever : dueUs);
    handles.assign(1, metronome.Event());
    link.AppendWaitHandles(handles);
    control.AppendWaitHandles(handles);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
    link.Service(onOutput);
    control.Service(onCommand);
  }

  // The reply to quit is on its way; the device goes with the server.
  const ULONGLONG lingerUntil = GetTickCount64() + 1000;
  while (control.RepliesInFlight() && GetTickCount64() < lingerUntil) {
    Sleep(5);
    control.Service([](const std::string&) { return std::string("error the server is ending"); });
  }
  link.Vanish();
  const uint64_t dropped = link.DroppedInputReports();
  if (dropped > 0 || link.IgnoredWrites() > 0)
    Print(stderr, "korvid-sim-controller: " + std::to_string(dropped) + " input reports dropped on unread handles, " +
                      std::to_string(link.IgnoredWrites()) + " writes that were no output report ignored\n");
  return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Replies are read by scripts: lines end in a line feed only.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
  ServerCommandLine commandLine;
  const std::string error = ParseServerCommandLine(args, commandLine);
  const std::string usage = std::string(kServerUsage) + kControllerOptionsUsage;
  if (commandLine.help) {
    Print(stdout, usage);
    return kExitOk;
  }
  if (!error.empty()) {
    Print(stderr, "korvid-sim-controller: " + error + "\n" + usage);
    return kExitUsage;
  }
  if (!commandLine.send.empty()) return SendOne(ControlPathOf(commandLine), commandLine.send);
  return Serve(commandLine);
}
