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

void ReceiveStep(CHid& hid) {
  const DWORD status = hid.Read(usb_rev_packet, static_cast<BYTE>(sizeof usb_rev_packet));
  if (status == WAIT_OBJECT_0) {
    DebugTrace(L" %d Bytes received from sender\n", static_cast<int>(usb_rev_packet[0]));
    OnDataReceived(0, PACKET_TYPE_HID, usb_rev_packet + 1, usb_rev_packet[0]);
    return;
  }
  DebugTrace(L"recv() failed with error code 0x%x\n", static_cast<unsigned>(status));
  Rfcomm_DriverCmd(0, PACKET_TYPE_HID, MSG_READ_FAILED, 0);
}

DWORD WINAPI Usb_UpdateThread(LPVOID) {
  CUpdateDlg* dialog = g_pUpdateDlg;
  // The open-file dialog that the engine may show from here wants COM.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  if (RequestFirmwareUpdate(0, PACKET_TYPE_HID)) {
    DebugTrace(L"send() is OK!\n");
    DebugTrace(L"Bytes Sent: %d\n", 1);
    do {
      ReceiveStep(dialog->m_Hid);
      WatchdogTick(GetTickCount64());
      if (dialog->TakeControllerGone()) ControllerRemoved();
    } while (!m_updateComplete && !dialog->WorkerStopRequested());
  } else {
    DebugTrace(L"send() failed with error code %d\n", static_cast<int>(GetLastError()));
    m_updateComplete = true;  // no run was started
  }
  if (!dialog->WorkerStopRequested()) dialog->SetButtonByPresence();

  DebugTrace(L"Exit Usb_UpdateThread\n");
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

void CUpdateDlg::WaitForVersion() {
  cur_devVersion = VERSION_UNKNOWN;
  if (!m_Hid.Open()) return;
  m_queryingVersion = true;
  SendFirmwarePacket(0, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  const ULONGLONG started = GetTickCount64();
  do {
    ReceiveStep(m_Hid);
  } while (cur_devVersion == VERSION_UNKNOWN && GetTickCount64() - started < kVersionWaitLimitMs);
  m_queryingVersion = false;

  if (cur_devVersion == VERSION_UNKNOWN) {  // the controller never told: no version to show
    DebugTrace(L"no version report within %d ms\n", static_cast<int>(kVersionWaitLimitMs));
    SetWindowTextW(m_hWnd, LoadText(kTextTitle).c_str());
  }
}
