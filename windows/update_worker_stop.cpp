// Closing the dialog during an update: the worker must end before the
// dialog's members go. It may be waiting for the dialog's thread (a progress
// position or a button state sent across threads) or showing a message box
// or the file dialog of its own; so the dialog's thread keeps handling what
// is sent to it, closes the worker's windows, and waits a bounded time.
#include <windows.h>

#include "debug_trace.h"
#include "engine.h"
#include "update_dlg.h"

namespace {

constexpr ULONGLONG kWorkerStopLimitMs = 5000;
constexpr DWORD kWorkerStopPollMs = 50;

BOOL CALLBACK CloseWindowOfWorker(HWND window, LPARAM) {
  if (IsWindowVisible(window)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

// Handles the messages other threads send to this one, and nothing else:
// user input waits until the dialog is gone.
void HandleSentMessages() {
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

void CUpdateDlg::StopUpdateWorker() {
  if (m_hUpdateThread == nullptr) return;
  m_stopWorker = true;
  const DWORD workerId = GetThreadId(m_hUpdateThread);
  const ULONGLONG deadline = GetTickCount64() + kWorkerStopLimitMs;
  for (;;) {
    EnumThreadWindows(workerId, &CloseWindowOfWorker, 0);
    const DWORD woken = MsgWaitForMultipleObjects(1, &m_hUpdateThread, FALSE, kWorkerStopPollMs, QS_SENDMESSAGE);
    if (woken == WAIT_OBJECT_0) break;
    if (woken == WAIT_OBJECT_0 + 1) HandleSentMessages();
    if (woken == WAIT_FAILED || GetTickCount64() >= deadline) {
      // Held in the system beyond every bound of its own: the process ends
      // rather than leave a thread running over freed memory.
      DebugTrace(L"update worker did not stop; ending the program\n");
      ExitProcess(1);
    }
  }
  CloseHandle(m_hUpdateThread);
  m_hUpdateThread = nullptr;
  m_updateComplete = true;
}
