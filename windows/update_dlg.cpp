#include "update_dlg.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstddef>
#include <cwchar>

#include "debug_trace.h"
#include "engine.h"
#include "framework/win_app.h"
#include "res/resource.h"
#include "text_table.h"
#include "update_thread.h"

namespace {

// Posted by the worker as it ends.
constexpr UINT kWorkerEndedMessage = WM_APP + 1;
// What the worker still does after posting it: return. Its handle is closed
// after this long even if the system has not finished ending the thread.
constexpr DWORD kWorkerExitLimitMs = 1000;

}  // namespace

CUpdateDlg* g_pUpdateDlg = nullptr;
HWND g_pUpdateButton = nullptr;
HWND g_pProgress = nullptr;
HWND g_pDoneText = nullptr;
HWND g_pHelpText = nullptr;

CUpdateDlg::CUpdateDlg(HWND parent)
    : CDialog(IDD_UPDATE_DIALOG, parent),
      m_hIcon(LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      m_hUpdateThread(nullptr) {
  g_pUpdateDlg = this;
}

CUpdateDlg::~CUpdateDlg() {
  StopUpdateWorker();
  EngineShutDown();
  if (g_pUpdateDlg == this) g_pUpdateDlg = nullptr;
}

MessageMap CUpdateDlg::GetMessageMap() const {
  static const MessageMapEntry kEntries[] = {
      MapMessage<CUpdateDlg, &CUpdateDlg::OnPaint>(WM_PAINT),
      MapQueryDragIcon<CUpdateDlg, &CUpdateDlg::OnQueryDragIcon>(),
      MapDeviceChange<CUpdateDlg, &CUpdateDlg::OnDeviceChange>(),
      MapButtonClicked<CUpdateDlg, &CUpdateDlg::OnBnClickedUpdate>(IDC_UPDATE_BUTTON),
      MapMessage<CUpdateDlg, &CUpdateDlg::OnDestroy>(WM_DESTROY),
      MapMessageWithParams<CUpdateDlg, &CUpdateDlg::OnWorkerEnded>(kWorkerEndedMessage),
  };
  return MessageMap{kEntries, sizeof kEntries / sizeof kEntries[0]};
}

BOOL CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

  g_pUpdateButton = GetDlgItem(IDC_UPDATE_BUTTON);
  g_pProgress = GetDlgItem(IDC_PROGRESS);
  g_pDoneText = GetDlgItem(IDC_STATIC);
  ShowWindow(g_pDoneText, SW_HIDE);
  SetWindowTextW(g_pDoneText, LoadText(kTextUpgraded).c_str());
  g_pHelpText = GetDlgItem(IDC_HELP_TEXT);
  SetWindowTextW(g_pHelpText, LoadText(kTextInstructions).c_str());

  SendMessageW(g_pProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageW(g_pProgress, PBM_SETPOS, 0, 0);

  // Clears the engine's records and marks no run as active. The state
  // machine stays at 0 until the first version query is over, so an
  // acknowledgement during that query is ignored.
  EngineStartUp(EngineSetup{Platform::Windows, &m_frontEnd, &m_traceSink, /*startAtRest=*/false});
  m_updateComplete = true;

  SetWindowTextW(g_pUpdateButton, LoadText(kTextUpdateButton).c_str());
  m_Hid.m_hOwnerWnd = m_hWnd;
  cur_devVersion = VERSION_UNKNOWN;

  if (CheckDevicePresence()) {
    EnableWindow(g_pUpdateButton, TRUE);
    WaitForVersion();
  } else {
    EnableWindow(g_pUpdateButton, FALSE);
  }

  g_firmware_update_state = UPDATE_DATA_SENT;
  SetWindowTextW(m_hWnd, LoadText(kTextTitle).c_str());
  return TRUE;
}

void CUpdateDlg::OnPaint() {
  if (!IsIconic(m_hWnd)) {
    Default();
    return;
  }
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
}

HCURSOR CUpdateDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

BOOL CUpdateDlg::CheckDevicePresence(const wchar_t* gonePath, bool inUse) {
  std::lock_guard<std::mutex> turn(m_presenceLock);
  return m_Hid.CheckDevice(gonePath, inUse);
}

void CUpdateDlg::SetButtonByPresence() { EnableWindow(g_pUpdateButton, CheckDevicePresence()); }

// The worker's handle is let go only once the dialog's thread has taken over
// from it (OnWorkerEnded): until then the device is the worker's.
bool CUpdateDlg::UpdateRunning() const { return !m_updateComplete || m_hUpdateThread != nullptr; }

void CUpdateDlg::ShowNoController() {
  EnableWindow(g_pUpdateButton, FALSE);
  SetWindowTextW(m_hWnd, LoadText(kTextTitle).c_str());
}

namespace {

// The interface a removal notice names, NUL-terminated within the notice,
// or null.
const wchar_t* RemovedInterface(UINT eventType, DWORD_PTR data) {
  if (eventType != DBT_DEVICEREMOVECOMPLETE || data == 0) return nullptr;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  const std::size_t nameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header->dbch_size <= nameAt) return nullptr;
  const auto* notice = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(data);
  const std::size_t room = (header->dbch_size - nameAt) / sizeof(wchar_t);
  return room > 0 && wcsnlen(notice->dbcc_name, room) < room ? notice->dbcc_name : nullptr;
}

}  // namespace

BOOL CUpdateDlg::OnDeviceChange(UINT eventType, DWORD_PTR data) {
  if (m_closing) return TRUE;
  if (eventType != DBT_DEVNODES_CHANGED && eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE)
    return TRUE;

  // During an update the worker owns the device: nothing here opens it,
  // queries it or offers a second start. A controller that is gone ends
  // the run, on the worker's thread.
  const bool running = UpdateRunning();
  const BOOL found = CheckDevicePresence(RemovedInterface(eventType, data), running);
  if (running) {
    if (!found) {
      m_controllerGone = true;
      ShowNoController();
    } else if (eventType == DBT_DEVICEARRIVAL) {
      m_arrivedDuringRun = true;
    }
    return TRUE;
  }

  switch (eventType) {
    case DBT_DEVNODES_CHANGED:
      if (found)
        EnableWindow(g_pUpdateButton, TRUE);
      else
        ShowNoController();
      break;
    case DBT_DEVICEARRIVAL:
      if (found) {
        EnableWindow(g_pUpdateButton, TRUE);
        if (!m_queryingVersion) WaitForVersion();
      }
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      if (!found) {
        DebugTraceText(LoadText(kTextTitle));
        ShowNoController();
      }
      break;
    default:
      break;
  }
  return TRUE;
}

void CUpdateDlg::OnBnClickedUpdate() {
  if (m_closing || UpdateRunning()) return;  // one update at a time
  ShowWindow(g_pDoneText, SW_HIDE);
  if (!m_Hid.Open()) return;

  m_stopWorker = false;
  m_controllerGone = false;
  m_arrivedDuringRun = false;
  m_updateComplete = false;
  EnableWindow(g_pUpdateButton, FALSE);
  SendMessageW(g_pProgress, PBM_SETPOS, 0, 0);
  m_frontEnd.ProgressBarReset();

  m_hUpdateThread = CreateThread(nullptr, 0, &Usb_UpdateThread, nullptr, 0, nullptr);
  if (m_hUpdateThread == nullptr) {
    DebugTrace(L"CreateThread failed with error code %d\n", static_cast<int>(GetLastError()));
    m_updateComplete = true;
    SetButtonByPresence();
  }
}

void CUpdateDlg::OnDestroy() {
  m_closing = true;
  StopUpdateWorker();
}

void CUpdateDlg::WorkerEnded() { PostMessageW(m_hWnd, kWorkerEndedMessage, GetCurrentThreadId(), 0); }

// Until this runs the worker counts as running, so a controller that arrived
// in its last moments (while its last message box was open) is not lost: it
// is queried here, as an arrival is.
LRESULT CUpdateDlg::OnWorkerEnded(WPARAM workerId, LPARAM) {
  // Only the last worker started is looked after; a late word from an
  // earlier one changes nothing.
  if (m_closing || m_hUpdateThread == nullptr || GetThreadId(m_hUpdateThread) != workerId) return 0;
  WaitForSingleObject(m_hUpdateThread, kWorkerExitLimitMs);
  CloseHandle(m_hUpdateThread);
  m_hUpdateThread = nullptr;
  if (!m_arrivedDuringRun) return 0;
  m_arrivedDuringRun = false;
  if (CheckDevicePresence()) {
    EnableWindow(g_pUpdateButton, TRUE);
    if (!m_queryingVersion) WaitForVersion();
  }
  return 0;
}
