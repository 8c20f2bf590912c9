#include "program_windows.h"

#include <commctrl.h>

#include <cwchar>

namespace ui {
namespace {

constexpr UINT kSendTimeoutMs = 3000;
// Not SMTO_ABORTIFHUNG: a message box that has just come up on a thread that
// read no message for seconds (a worker that waited on the controller) counts
// as hung until its first message, and its texts would be lost. The time-out
// bounds the wait all the same.
constexpr UINT kSendFlags = SMTO_NORMAL;

struct Search {
  DWORD processId;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search.processId || !IsWindowVisible(window)) return TRUE;
  wchar_t className[64];
  if (GetClassNameW(window, className, 64) > 0 && std::wcscmp(className, L"#32770") == 0)
    search.found.push_back(window);
  return TRUE;
}

}  // namespace

std::vector<HWND> Dialogs(DWORD processId) {
  Search search{processId, {}};
  EnumWindows(&CollectDialogs, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND MainDialog(DWORD processId) {
  for (HWND dialog : Dialogs(processId))
    if (GetDlgItem(dialog, kUpdateButton) != nullptr && GetDlgItem(dialog, kProgressBar) != nullptr) return dialog;
  return nullptr;
}

bool IsMessageBox(HWND dialog) {
  return GetDlgItem(dialog, kMessageBoxText) != nullptr && GetDlgItem(dialog, kUpdateButton) == nullptr &&
         GetDlgItem(dialog, kFileNameBox) == nullptr;
}

bool IsFileDialog(HWND dialog) { return GetDlgItem(dialog, kFileNameBox) != nullptr; }

std::optional<std::wstring> Text(HWND window) {
  if (window == nullptr) return std::nullopt;
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, kSendFlags, kSendTimeoutMs, &length)) return std::nullopt;
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), kSendFlags,
                           kSendTimeoutMs, &copied))
    return std::nullopt;
  text.resize(copied);
  return text;
}

std::optional<std::wstring> ControlText(HWND dialog, int id) { return Text(GetDlgItem(dialog, id)); }

bool SetText(HWND window, const std::wstring& text) {
  DWORD_PTR result = 0;
  return window != nullptr && SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                                  kSendFlags, kSendTimeoutMs, &result) != 0;
}

std::optional<int> ProgressPosition(HWND dialog) {
  HWND bar = GetDlgItem(dialog, kProgressBar);
  DWORD_PTR position = 0;
  if (bar == nullptr || !SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, kSendFlags, kSendTimeoutMs, &position))
    return std::nullopt;
  return static_cast<int>(position);
}

bool ControlEnabled(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr && IsWindowEnabled(control);
}

bool ControlVisible(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control != nullptr && IsWindowVisible(control);
}

bool Press(HWND dialog, int buttonId) {
  HWND button = GetDlgItem(dialog, buttonId);
  return button != nullptr && PostMessageW(button, BM_CLICK, 0, 0);
}

bool Close(HWND window) { return PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0) != 0; }

}  // namespace ui
