#include "update_thread.h"

#include <objbase.h>

#include "debug_trace.h"
#include "engine.h"
#include "hid.h"
#include "text_table.h"
#include "update_dlg.h"

namespace {

constexpr ULONGLONG kVersionWaitLimitMs = 2000;

}  // namespace

bool ReceiveStep(CHid& hid) {
  const DWORD status = hid.Read(usb_rev_packet, static_cast<BYTE>(sizeof usb_rev_packet));
  if (status == WAIT_OBJECT_0) {
    DebugTrace(L" %d Bytes received from sender\n", static_cast<int>(usb_rev_packet[0]));
    OnDataReceived(0, PACKET_TYPE_HID, usb_rev_packet + 1, usb_rev_packet[0]);
    return true;
  }
  DebugTrace(L"recv() failed with error code 0x%x\n", static_cast<unsigned>(status));
  return Rfcomm_DriverCmd(0, PACKET_TYPE_HID, MSG_READ_FAILED, 0) != 0;
}

bool AskForVersion(CHid& hid, const std::function<bool()>& stop) {
  if (SendFirmwarePacket(0, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0) == 0) {
    DebugTrace(L"version request not written\n");
    return false;
  }
  const ULONGLONG started = GetTickCount64();
  while (cur_devVersion == VERSION_UNKNOWN && GetTickCount64() - started < kVersionWaitLimitMs && !stop()) {
    if (!ReceiveStep(hid)) {
      DebugTrace(L"the controller takes no more reports; no version\n");
      return false;
    }
  }
  if (cur_devVersion == VERSION_UNKNOWN)
    DebugTrace(L"no version report within %d ms\n", static_cast<int>(kVersionWaitLimitMs));
  return cur_devVersion != VERSION_UNKNOWN;
}

DWORD WINAPI Usb_UpdateThread(LPVOID) {
  CUpdateDlg* dialog = g_pUpdateDlg;
  const auto stopRequested = [dialog] { return dialog->WorkerStopRequested(); };
  // The open-file dialog that the engine may show from here wants COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  // A controller whose version query gave up is asked once more, so that
  // the confirmation compares the file with what the controller runs.
  if (cur_devVersion == VERSION_UNKNOWN) AskForVersion(dialog->m_Hid, stopRequested);

  if (stopRequested()) {
    m_updateComplete = true;
  } else if (RequestFirmwareUpdate(0, PACKET_TYPE_HID)) {
    DebugTrace(L"send() is OK!\n");
    DebugTrace(L"Bytes Sent: %d\n", 1);
    do {
      // A controller that no longer takes even this notice cannot go on
      // with the run; each such write also held the worker for a second,
      // which the watchdog does not count as the controller's silence.
      if (!ReceiveStep(dialog->m_Hid) && !m_updateComplete) {
        DebugTrace(L"read-failed notice not written: the controller takes no more reports\n");
        Firmware_UpdateError();
      }
      WatchdogTick(GetTickCount64());
      if (dialog->TakeControllerGone()) ControllerRemoved();
    } while (!m_updateComplete && !stopRequested());
  } else {
    DebugTrace(L"send() failed with error code %d\n", static_cast<int>(GetLastError()));
    m_updateComplete = true;  // no run was started
  }
  if (!stopRequested()) dialog->SetButtonByPresence();

  DebugTrace(L"Exit Usb_UpdateThread\n");
  if (SUCCEEDED(com)) CoUninitialize();
  dialog->WorkerEnded();
  return 0;
}

void CUpdateDlg::WaitForVersion() {
  cur_devVersion = VERSION_UNKNOWN;
  if (!m_Hid.Open()) return;
  m_queryingVersion = true;
  const bool known = AskForVersion(m_Hid, [] { return false; });
  m_queryingVersion = false;
  // The controller never told: no version to show.
  if (!known) SetWindowTextW(m_hWnd, LoadText(kTextTitle).c_str());
}
