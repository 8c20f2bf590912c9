// What a user sees of another process's windows, and the presses a user
// makes: top-level dialogs by process and class #32770 (their titles are
// localised), texts read back, buttons pressed with posted BM_CLICK.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace ui {

// Control ids of the program's dialog and of the system's dialogs.
constexpr int kProgressBar = 1003;
constexpr int kUpdateButton = 1007;
constexpr int kHelpText = 1008;
constexpr int kDoneText = -1;
constexpr int kMessageBoxText = 0xFFFF;
constexpr int kFileNameBox = 0x47C;

// Visible top-level dialogs (#32770) of the process.
std::vector<HWND> Dialogs(DWORD processId);
// The program's own dialog: the one holding the update button.
HWND MainDialog(DWORD processId);

bool IsMessageBox(HWND dialog);
bool IsFileDialog(HWND dialog);

// A window's text through WM_GETTEXT, bounded: the owning thread may be busy.
std::optional<std::wstring> Text(HWND window);
std::optional<std::wstring> ControlText(HWND dialog, int id);
bool SetText(HWND window, const std::wstring& text);
// PBM_GETPOS, bounded.
std::optional<int> ProgressPosition(HWND dialog);
bool ControlEnabled(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
// A user's press: BM_CLICK posted to the button.
bool Press(HWND dialog, int buttonId);
// The close box: SC_CLOSE posted to the window.
bool Close(HWND window);

}  // namespace ui
