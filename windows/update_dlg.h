// The program's one window: a modal dialog with the update button, the
// progress bar, the "done" text and the instructions. It owns the link to
// the controller and starts one update worker per update.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>

#include "debug_trace.h"
#include "dialog_front_end.h"
#include "framework/dialog.h"
#include "hid.h"

class CUpdateDlg : public CDialog {
 public:
  explicit CUpdateDlg(HWND parent = nullptr);
  ~CUpdateDlg() override;

  // Asks the controller for its firmware version and reads until the
  // report has been handled, for two seconds at most (update_thread.cpp).
  void WaitForVersion();

  // Presence checks come from the dialog's thread and from the worker's
  // end; they take turns.
  BOOL CheckDevicePresence(const wchar_t* gonePath = nullptr, bool inUse = false);
  // The update button usable exactly when a controller is attached.
  void SetButtonByPresence();

  // Signals from the dialog's thread to the worker.
  bool WorkerStopRequested() const { return m_stopWorker; }
  bool TakeControllerGone() { return m_controllerGone.exchange(false); }
  // The worker's last act: the dialog's thread takes over from here.
  void WorkerEnded();

  CHid m_Hid;
  HICON m_hIcon;
  HANDLE m_hUpdateThread;

 protected:
  BOOL OnInitDialog() override;
  MessageMap GetMessageMap() const override;

 private:
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  BOOL OnDeviceChange(UINT eventType, DWORD_PTR data);
  void OnBnClickedUpdate();
  void OnDestroy();
  LRESULT OnWorkerEnded(WPARAM workerId, LPARAM);

  // A run is active, or its worker has not ended yet.
  bool UpdateRunning() const;
  void ShowNoController();
  // Ends a running worker before the dialog goes (update_worker_stop.cpp).
  void StopUpdateWorker();

  UpdateDlgFrontEnd m_frontEnd;
  DebugOutputTraceSink m_traceSink;
  std::mutex m_presenceLock;
  std::atomic<bool> m_stopWorker{false};
  std::atomic<bool> m_controllerGone{false};
  // A controller arrived while the worker owned the device: it is queried
  // once the worker has ended.
  bool m_arrivedDuringRun = false;
  bool m_closing = false;
  bool m_queryingVersion = false;
};

extern CUpdateDlg* g_pUpdateDlg;
extern HWND g_pUpdateButton;
extern HWND g_pProgress;
extern HWND g_pDoneText;
extern HWND g_pHelpText;
