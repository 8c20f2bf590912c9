// korvid-user-driver.exe: plays the user of update.exe, in the same Wine
// prefix. It starts the program, waits for its dialog, presses the update
// button, chooses the firmware file, answers the confirmation and every
// message box, watches the progress bar, closes the program, and writes
// what the user saw, one line each, in UTF-8:
//
//   state LABEL: title=... button=enabled|disabled progress=N done=shown|hidden at-us=T
//   controller-at-start: STATUS       the controller's status line as the dialog came up
//   help: TEXT                        the instructions, as shown
//   button: TEXT                      the update button's caption
//   done-text: TEXT                   the "done" text control's text (hidden at first)
//   file-dialog: title=... type=...   the open-file dialog and its file type
//   message: CAPTION<TAB>TEXT         every message box, in order
//   answer: OK|Cancel
//   timing: message N press+MS progress-change+MS at-us=T
//   screenshot NAME                   waits for DIR\NAME.png (--screenshot-dir)
//   ended: HOW                        how an update ended
//   held-thread-handles: N            after each update: handles the program still
//                                     holds on threads that have ended
//   system-notice: arrival|removal PATH at-us=T  each HID interface notice of the system
//   system-notices: arrivals=N removals=N
//                                     the system's HID interface notices the driver got
//   program: exited code=0x... after-close-ms=MS
//   driver: stuck: WHAT               a bounded wait ran out
//
// T is the performance counter in microseconds, the clock the controller
// server's figures are on too. Texts escape carriage return, line feed and
// tab as \r, \n and \t.
#include <windows.h>
// needs windows.h first
#include <dbt.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "controller_channel.h"
#include "debug_output_collector.h"
#include "device_change_notifier.h"
#include "hid_interfaces.h"
#include "process_handles.h"
#include "program_windows.h"
#include "text_encoding.h"

namespace {

constexpr int kExitPlayed = 0;
constexpr int kExitStuck = 1;
constexpr int kExitUsage = 2;
constexpr DWORD kPollMs = 15;
// Reading the progress bar is a message its dialog's thread must answer,
// which the update worker may be waiting on too: asked less often.
constexpr ULONGLONG kProgressPollMs = 50;
constexpr DWORD kStartMs = 20000;         // a cold prefix and the version query
constexpr DWORD kPopupGoneMs = 10000;     // the open-file dialog takes ~2 s to close under Wine
constexpr DWORD kProgramEndMs = 10000;    // after the dialog was closed
constexpr DWORD kSettleMs = 1500;         // after the run ended: late boxes, the controller's restart
constexpr DWORD kTitleChangeMs = 6000;    // arrival: notice, then a version query of up to 2 s
constexpr DWORD kNoticeHandledMs = 8000;  // the same, told by the driver itself

const char kUsage[] =
    "usage: korvid-user-driver --program PATH [options]\n"
    "  --program PATH            update.exe to start and play\n"
    "  --firmware PATH           the file to choose in the open-file dialog\n"
    "  --control K               the emulated controller's number, asked for on standard output\n"
    "                            (\"control: COMMAND K\") and answered on standard input\n"
    "  --controllers-present N   start the program once N or more controllers' HID interfaces are listed\n"
    "  --attach-after-start      attach the controller once the dialog is up\n"
    "  --cancel-file             cancel the open-file dialog\n"
    "  --cancel-confirm          answer Cancel to the confirmation\n"
    "  --close-during-transfer   close the dialog once the progress bar has moved\n"
    "  --device-change-during-transfer\n"
    "                            once the bar has moved: an unrelated HID device arrives\n"
    "                            (WM_DEVICECHANGE), then the update button is pressed again\n"
    "  --updates N               play N updates one after the other (default 1)\n"
    "  --reattach-at-first-result\n"
    "                            while the first update's last message box is open the controller\n"
    "                            is plugged out and in again, and the system's arrival notice awaited\n"
    "  --device-notices          no update: controllers plugged in and out one at a time, each\n"
    "                            change seen through the system's notices, and DBT_DEVNODES_CHANGED\n"
    "                            sent on its own between them, with a second controller\n"
    "  --second-control K        the second emulated controller (for --device-notices)\n"
    "  --no-update               only look at the dialog, then close it\n"
    "  --screenshot-dir DIR      ask for screenshots and wait for DIR\\NAME.png\n"
    "  --patience-ms N           longest wait without a visible change (default 15000)\n"
    "  --debug-output FILE       what the prefix's processes write with OutputDebugString\n";

std::string Escaped(const std::wstring& text) {
  std::string result;
  for (char c : WideToUtf8(text)) {
    if (c == '\r')
      result += "\\r";
    else if (c == '\n')
      result += "\\n";
    else if (c == '\t')
      result += "\\t";
    else
      result += c;
  }
  return result;
}

void Say(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

struct Options {
  std::wstring program;
  std::wstring firmware;
  std::string control;
  std::string secondControl;
  unsigned presentAtStart = 0;
  std::wstring screenshotDir;
  std::wstring debugOutput;
  bool attachAfterStart = false;
  bool cancelFile = false;
  bool cancelConfirm = false;
  bool closeDuringTransfer = false;
  bool deviceChangeDuringTransfer = false;
  bool noUpdate = false;
  bool deviceNotices = false;
  bool reattachAtFirstResult = false;
  int updates = 1;
  DWORD patienceMs = 15000;
};

bool Parse(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == L"--program" && hasValue) {
      options.program = argv[++i];
    } else if (arg == L"--firmware" && hasValue) {
      options.firmware = argv[++i];
    } else if (arg == L"--control" && hasValue) {
      options.control = WideToUtf8(argv[++i]);
    } else if (arg == L"--second-control" && hasValue) {
      options.secondControl = WideToUtf8(argv[++i]);
    } else if (arg == L"--controllers-present" && hasValue) {
      options.presentAtStart = static_cast<unsigned>(std::wcstoul(argv[++i], nullptr, 10));
      if (options.presentAtStart > 16) return false;
    } else if (arg == L"--updates" && hasValue) {
      options.updates = static_cast<int>(std::wcstoul(argv[++i], nullptr, 10));
      if (options.updates < 1 || options.updates > 9) return false;
    } else if (arg == L"--reattach-at-first-result") {
      options.reattachAtFirstResult = true;
    } else if (arg == L"--device-notices") {
      options.deviceNotices = true;
    } else if (arg == L"--screenshot-dir" && hasValue) {
      options.screenshotDir = argv[++i];
    } else if (arg == L"--debug-output" && hasValue) {
      options.debugOutput = argv[++i];
    } else if (arg == L"--patience-ms" && hasValue) {
      options.patienceMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
      if (options.patienceMs == 0) return false;
    } else if (arg == L"--attach-after-start") {
      options.attachAfterStart = true;
    } else if (arg == L"--cancel-file") {
      options.cancelFile = true;
    } else if (arg == L"--cancel-confirm") {
      options.cancelConfirm = true;
    } else if (arg == L"--close-during-transfer") {
      options.closeDuringTransfer = true;
    } else if (arg == L"--device-change-during-transfer") {
      options.deviceChangeDuringTransfer = true;
    } else if (arg == L"--no-update") {
      options.noUpdate = true;
    } else {
      return false;
    }
  }
  const bool needsControl = options.attachAfterStart || options.reattachAtFirstResult || options.deviceNotices;
  return !options.program.empty() && (!needsControl || !options.control.empty()) &&
         (!options.deviceNotices || !options.secondControl.empty());
}

// The driver gives up on the first bounded wait that runs out.
struct Stuck {
  std::string what;
};

// The performance counter in microseconds: one clock for every process.
uint64_t CounterMicroseconds() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  const auto ticks = static_cast<uint64_t>(now.QuadPart);
  const auto perSecond = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

void Control(const std::string& controller, const std::string& command) {
  const std::optional<std::string> reply = AskController(command + " " + controller);
  if (!reply || reply->rfind("ok", 0) != 0) throw Stuck{"the emulated controller refused: " + command};
}

// DBT_DEVNODES_CHANGED to the desktop's windows, which the system itself
// does not send for HID interfaces; back once every window has handled it.
void NotifyNodesChanged() {
  DeviceChangeNotifier system;
  system.Raise(DBT_DEVNODES_CHANGED, std::wstring());
  if (!system.WaitDelivered(kNoticeHandledMs)) throw Stuck{"a device notice was not taken in time"};
}

class UserDriver {
 public:
  explicit UserDriver(Options options) : options_(std::move(options)) {}
  ~UserDriver() {
    if (process_.hProcess != nullptr) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 0xDEAD);
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  bool Start() {
    if (options_.presentAtStart != 0) {
      const std::size_t listed = WaitForControllerInterfaces(options_.presentAtStart, kStartMs, true).size();
      if (listed < options_.presentAtStart) {
        Say("driver: the system lists " + std::to_string(listed) + " controllers, not " +
            std::to_string(options_.presentAtStart));
        return false;
      }
    }
    std::wstring folder = options_.program;
    const std::size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
    std::wstring commandLine = L"\"" + options_.program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(options_.program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process_)) {
      Say("driver: cannot start " + WideToUtf8(options_.program) + " (error " + std::to_string(GetLastError()) + ")");
      return false;
    }
    return true;
  }

  void Play() {
    main_ = WaitForMainDialog();
    // What the program's start-up did to the controller, before the user does anything.
    if (!options_.control.empty())
      Say("controller-at-start: " + AskController("status " + options_.control).value_or("?"));
    Say("help: " + Escaped(ui::ControlText(main_, ui::kHelpText).value_or(L"")));
    Say("button: " + Escaped(ui::ControlText(main_, ui::kUpdateButton).value_or(L"?")));
    Say("done-text: " + Escaped(ui::ControlText(main_, ui::kDoneText).value_or(L"?")));
    const std::wstring startTitle = State("start");
    if (options_.deviceNotices) {
      PlayDeviceNotices(startTitle);
      CloseProgram();
      return;
    }
    if (options_.attachAfterStart) {
      Control(options_.control, "attach");
      WaitUntil([&] { return Title() != startTitle; }, kTitleChangeMs, nullptr);
      State("attached");
    }
    if (options_.noUpdate) {
      Screenshot("rest");
      CloseProgram();
      return;
    }
    for (run_ = 1; run_ <= options_.updates; ++run_) {
      WaitUntil([&] { return ui::ControlEnabled(main_, ui::kUpdateButton); }, 3000, nullptr);
      if (!ui::ControlEnabled(main_, ui::kUpdateButton)) {
        Say("ended: the update button stays disabled");
        break;
      }
      if (run_ == 1) Screenshot("rest");
      Update();
      if (ended_ == "closed during the transfer") return;
      Settle();
      State(run_ == options_.updates ? "end" : "after-" + std::to_string(run_));
      Say("held-thread-handles: " + std::to_string(HeldHandlesOfEndedThreads(process_.hProcess)));
    }
    CloseProgram();
  }

 private:
  bool ProgramRunning() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }

  std::wstring Title() const { return ui::Text(main_).value_or(L"?"); }

  std::wstring State(const std::string& label) {
    const std::wstring title = Title();
    const std::optional<int> progress = ui::ProgressPosition(main_);
    Say("state " + label + ": title=" + Escaped(title) +
        " button=" + (ui::ControlEnabled(main_, ui::kUpdateButton) ? "enabled" : "disabled") +
        " progress=" + (progress ? std::to_string(*progress) : std::string("?")) +
        " done=" + (ui::ControlVisible(main_, ui::kDoneText) ? "shown" : "hidden") +
        " at-us=" + std::to_string(CounterMicroseconds()));
    return title;
  }

  void Screenshot(const std::string& name) {
    if (options_.screenshotDir.empty()) return;
    Say("screenshot " + name);
    const std::wstring file = options_.screenshotDir + L"\\" + std::wstring(name.begin(), name.end()) + L".png";
    const ULONGLONG until = GetTickCount64() + 10000;
    while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (GetTickCount64() > until) throw Stuck{"no screenshot " + name + " came"};
      Sleep(kPollMs);
    }
  }

  // Waits for the program's dialog; message boxes that come first (the
  // factory-firmware warning during start-up) are read and closed.
  HWND WaitForMainDialog() {
    const ULONGLONG until = GetTickCount64() + kStartMs;
    for (;;) {
      if (!ProgramRunning()) throw Stuck{"the program ended before its dialog showed" + ExitText()};
      for (HWND dialog : ui::Dialogs(process_.dwProcessId)) {
        if (ui::MainDialog(process_.dwProcessId) == dialog) return dialog;
        HandlePopup(dialog);
      }
      if (GetTickCount64() > until) throw Stuck{"no dialog of the program showed"};
      Sleep(kPollMs);
    }
  }

  // Polls `done` until it holds or `ms` passed, handling message boxes
  // meanwhile (each resets nothing: the bound is absolute).
  bool WaitUntil(const std::function<bool()>& done, DWORD ms, const std::function<void()>& onTick) {
    const ULONGLONG until = GetTickCount64() + ms;
    for (;;) {
      if (done()) return true;
      if (!ProgramRunning()) throw Stuck{"the program ended" + ExitText()};
      HandlePopups();
      if (onTick) onTick();
      if (GetTickCount64() > until) return false;
      Sleep(kPollMs);
    }
  }

  void HandlePopups() {
    for (HWND dialog : ui::Dialogs(process_.dwProcessId))
      if (dialog != main_) HandlePopup(dialog);
  }

  void HandlePopup(HWND popup) {
    lastChange_ = GetTickCount64();
    if (ui::IsFileDialog(popup)) {
      HandleFileDialog(popup);
    } else if (ui::IsMessageBox(popup)) {
      HandleMessageBox(popup);
    } else {
      Say("driver: an unknown dialog \"" + Escaped(ui::Text(popup).value_or(L"?")) + "\" is closed");
      ui::Close(popup);
      WaitGone(popup);
    }
    lastChange_ = GetTickCount64();
  }

  void HandleFileDialog(HWND dialog) {
    ++fileDialogs_;
    if (pressed_) State("file-dialog-" + std::to_string(run_));
    Say("file-dialog: title=" + Escaped(ui::Text(dialog).value_or(L"?")) +
        " type=" + Escaped(ui::ControlText(dialog, 0x470).value_or(L"?")));
    Screenshot("file-dialog");
    if (options_.cancelFile || options_.firmware.empty() || fileDialogs_ > 1) {
      if (fileDialogs_ > 1) Say("driver: the open-file dialog came back; cancelling it");
      Say("answer: Cancel");
      ui::Press(dialog, IDCANCEL);
      WaitGone(dialog);
      if (pressed_ && ended_.empty()) ended_ = "file choice cancelled";
      return;
    }
    if (!ui::SetText(GetDlgItem(dialog, ui::kFileNameBox), options_.firmware))
      throw Stuck{"cannot type the file name into the open-file dialog"};
    Say("answer: OK");
    ui::Press(dialog, IDOK);
    WaitGone(dialog);
  }

  void HandleMessageBox(HWND box) {
    const std::wstring caption = ui::Text(box).value_or(L"?");
    const std::wstring text = ui::ControlText(box, ui::kMessageBoxText).value_or(L"?");
    const bool question = ui::ControlVisible(box, IDOK) && ui::ControlVisible(box, IDCANCEL);
    ++messages_;
    const ULONGLONG now = GetTickCount64();
    Say("message: " + Escaped(caption) + "\t" + Escaped(text));
    Say("timing: message " + std::to_string(messages_) + " press+" +
        (pressed_ ? std::to_string(now - pressedAt_) : std::string("-")) + " progress-change+" +
        (progressChangedAt_ != 0 ? std::to_string(now - progressChangedAt_) : std::string("-")) +
        " at-us=" + std::to_string(CounterMicroseconds()));
    if (question) {
      Screenshot("confirmation");
      const bool ok = !options_.cancelConfirm;
      Say(std::string("answer: ") + (ok ? "OK" : "Cancel"));
      ui::Press(box, ok ? IDOK : IDCANCEL);
      WaitGone(box);
      if (!ok && pressed_ && ended_.empty()) ended_ = "confirmation cancelled";
      return;
    }
    if (pressed_ && ended_.empty()) {
      Screenshot("result");
      ended_ = "message";
      if (options_.reattachAtFirstResult && run_ == 1) ReattachWhileOpen();
    }
    Say("answer: OK");
    ui::Press(box, IDOK);
    WaitGone(box);
  }

  void WaitGone(HWND window) {
    const ULONGLONG until = GetTickCount64() + kPopupGoneMs;
    while (IsWindow(window) && IsWindowVisible(window)) {
      if (GetTickCount64() > until) throw Stuck{"a dialog did not close when its button was pressed"};
      Sleep(kPollMs);
    }
  }

  void WatchProgress() {
    const ULONGLONG now = GetTickCount64();
    if (now - progressReadAt_ < kProgressPollMs) return;
    progressReadAt_ = now;
    const std::optional<int> position = ui::ProgressPosition(main_);
    if (!position || *position == lastProgress_) return;
    lastProgress_ = *position;
    lastChange_ = progressChangedAt_ = GetTickCount64();
    if (*position > 0 && *position < 100 && !transferShot_) {
      transferShot_ = true;
      State("transfer");
      Screenshot("transfer");
    }
  }

  // Another HID device comes while the update runs, as when the user plugs
  // in a keyboard; then the user presses the update button again. Neither
  // may start a second reader on the controller.
  void ChangeDevicesDuringTransfer() {
    deviceChanged_ = true;
    DeviceChangeNotifier system;
    system.Arrived(L"\\\\?\\HID#VID_046D&PID_C31C#unrelated-keyboard");
    if (!system.WaitDelivered(5000)) throw Stuck{"the device-change notice was not taken in 5000 ms"};
    State("device-change");
    Say("press: update button again");
    ui::Press(main_, ui::kUpdateButton);
    Sleep(300);
    State("pressed-again");
  }

  // The controller goes and comes back while the update's last message box
  // is open; the system's arrival notice comes before the box is answered.
  // Plugged in again only once the system no longer lists it, as a hand does:
  // Wine's stack took a device back within the same millisecond for the one
  // that went, and sent no arrival.
  void ReattachWhileOpen() {
    Control(options_.control, "unplug");  // it may have gone already, restarting
    if (!WaitForControllerInterfaces(0, kNoticeHandledMs).empty()) throw Stuck{"the unplugged controller stays listed"};
    const LONG arrivals = notices_.Arrivals();
    Control(options_.control, "attach");
    WaitForNotice([&] { return notices_.Arrivals() > arrivals; }, "arrival");
    Say("reattached: while the last message box was open");
  }

  // The system's notice of a change the driver made; the program gets its
  // own at the same time.
  void WaitForNotice(const std::function<bool()>& seen, const char* what) {
    if (!notices_.Registered()) throw Stuck{"no device notices can be had"};
    const ULONGLONG until = GetTickCount64() + kNoticeHandledMs;
    while (!seen()) {
      if (GetTickCount64() > until) throw Stuck{std::string("the system sent no ") + what + " notice"};
      Sleep(kPollMs);  // a message box may be open: it is the caller's
    }
  }

  // Controllers plugged in and out one at a time, each change's notice from
  // the system seen and the program's answer awaited, which shows in its
  // title and button: an arrival is queried (the version in the title), the
  // last removal disables the button. DBT_DEVNODES_CHANGED alone, which
  // the system sends of other devices, comes between.
  void PlayDeviceNotices(const std::wstring& plainTitle) {
    const std::string& first = options_.control;
    const std::string& second = options_.secondControl;
    const auto change = [&](const std::string& controller, const char* command, std::size_t present,
                            const char* label) {
      const bool arrival = std::string(command) == "attach";
      const LONG before = arrival ? notices_.Arrivals() : notices_.Removals();
      Control(controller, command);
      WaitForNotice([&] { return (arrival ? notices_.Arrivals() : notices_.Removals()) > before; },
                    arrival ? "arrival" : "removal");
      if (WaitForControllerInterfaces(present, kNoticeHandledMs).size() != present)
        throw Stuck{std::string("the system lists other controllers than expected after ") + label};
      if (arrival)
        WaitUntil([&] { return Title() != plainTitle && ui::ControlEnabled(main_, ui::kUpdateButton); },
                  kTitleChangeMs, nullptr);
      else if (present == 0)
        WaitUntil([&] { return !ui::ControlEnabled(main_, ui::kUpdateButton); }, kTitleChangeMs, nullptr);
      State(label);
    };
    const auto nodesChanged = [&](const char* label) {
      NotifyNodesChanged();
      State(label);
    };
    change(first, "attach", 1, "arrival");
    nodesChanged("nodes-changed-present");
    change(first, "unplug", 0, "removed");
    nodesChanged("nodes-changed-none-left");
    change(first, "attach", 1, "arrival-again");
    change(second, "attach", 2, "second-arrival");
    change(second, "unplug", 1, "one-of-two-removed");
    change(first, "unplug", 0, "last-removed");
  }

  void Update() {
    ended_.clear();
    fileDialogs_ = 0;
    progressChangedAt_ = 0;
    Say("press: update button");
    ui::Press(main_, ui::kUpdateButton);
    pressed_ = true;
    pressedAt_ = lastChange_ = GetTickCount64();
    lastProgress_ = ui::ProgressPosition(main_).value_or(-1);
    while (ended_.empty()) {
      if (!ProgramRunning()) {
        ended_ = "the program ended";
        Say("ended: " + ended_ + ExitText());
        throw Stuck{"the program ended during the update" + ExitText()};
      }
      HandlePopups();
      if (!ended_.empty()) break;
      WatchProgress();
      if (options_.deviceChangeDuringTransfer && !deviceChanged_ && lastProgress_ > 0 && lastProgress_ < 100)
        ChangeDevicesDuringTransfer();
      if (options_.closeDuringTransfer && lastProgress_ > 0) {
        State("closing");
        ended_ = "closed during the transfer";
        Say("ended: " + ended_);
        CloseProgram();
        return;
      }
      if (GetTickCount64() - lastChange_ > options_.patienceMs)
        throw Stuck{"nothing changed for " + std::to_string(options_.patienceMs) + " ms after the update began"};
      Sleep(kPollMs);
    }
    Say("ended: " + ended_);
  }

  // Late message boxes are seen and closed too: nothing may follow the end.
  void Settle() {
    WaitUntil([] { return false; }, kSettleMs, [&] { WatchProgress(); });
  }

  std::string ExitText() const {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.hProcess, &code) || code == STILL_ACTIVE) return std::string();
    char text[32];
    std::snprintf(text, sizeof text, " (exit code 0x%08lX)", static_cast<unsigned long>(code));
    return text;
  }

  void CloseProgram() {
    HandlePopups();
    Say("system-notices: arrivals=" + std::to_string(notices_.Arrivals()) +
        " removals=" + std::to_string(notices_.Removals()));
    ui::Close(main_);
    const ULONGLONG closedAt = GetTickCount64();
    if (WaitForSingleObject(process_.hProcess, kProgramEndMs) != WAIT_OBJECT_0)
      throw Stuck{"the program did not end within " + std::to_string(kProgramEndMs) + " ms of closing its dialog"};
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    char text[64];
    std::snprintf(text, sizeof text, "program: exited code=0x%08lX after-close-ms=%llu",
                  static_cast<unsigned long>(code), static_cast<unsigned long long>(GetTickCount64() - closedAt));
    Say(text);
  }

  Options options_;
  HidNoticeWatcher notices_{[](WPARAM event, const wchar_t* path) {
    if (event == DBT_DEVICEARRIVAL || event == DBT_DEVICEREMOVECOMPLETE)
      Say(std::string("system-notice: ") + (event == DBT_DEVICEARRIVAL ? "arrival " : "removal ") +
          WideToUtf8(path) + " at-us=" + std::to_string(CounterMicroseconds()));
  }};
  PROCESS_INFORMATION process_{};
  HWND main_ = nullptr;
  bool deviceChanged_ = false;
  int run_ = 0;
  bool pressed_ = false;
  ULONGLONG pressedAt_ = 0;
  ULONGLONG lastChange_ = 0;
  ULONGLONG progressChangedAt_ = 0;
  int lastProgress_ = -1;
  ULONGLONG progressReadAt_ = 0;
  bool transferShot_ = false;
  int messages_ = 0;
  int fileDialogs_ = 0;
  std::string ended_;
};

// Plays the user; every line is out, and the program stopped, on return.
int Drive(const Options& options) {
  DebugOutputCollector collector;
  if (!options.debugOutput.empty() && !collector.Start(options.debugOutput)) {
    Say("driver: cannot collect debug output into " + WideToUtf8(options.debugOutput));
    return kExitUsage;
  }
  UserDriver driver(options);
  if (!driver.Start()) return kExitUsage;
  try {
    driver.Play();
  } catch (const Stuck& stuck) {
    Say("driver: stuck: " + stuck.what);
    return kExitStuck;
  }
  return kExitPlayed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const int status = Drive(options);
  // Nothing is left to do. Wine's teardown of this process was once seen to
  // hang here under load, deaf to SIGTERM, holding the run for minutes: the
  // driver ends without it.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  return status;
}
