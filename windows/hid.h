// The program's link to the controller: finds it among the HID device
// interfaces by vendor and product id, registers the dialog for device
// arrival and removal, opens it, and moves one 64-byte report at a time.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

// Output reports are assembled here: report ID 0, then the payload.
extern BYTE hid_output_report[65];

class CHid {
 public:
  CHid();
  virtual ~CHid();
  CHid(const CHid&) = delete;
  CHid& operator=(const CHid&) = delete;

  // The first accepted controller in the system's enumeration order, passing
  // over the interface `gonePath` (one the system told us has been removed,
  // which its enumeration may still list for a while). With `inUse`, the
  // controller at m_DevicePath is open for an update and counts as found
  // without being opened again: opening a device that is going away while
  // its reader holds it can wait until the reader lets go. On success
  // `device` is an open handle the caller closes, or INVALID_HANDLE_VALUE
  // for the controller in use.
  BOOL FindDevice(HANDLE& device, const wchar_t* gonePath = nullptr, bool inUse = false);
  // Whether a controller is attached; registers for notifications the first time.
  BOOL CheckDevice(const wchar_t* gonePath = nullptr, bool inUse = false);
  BOOL RegisterNotification();
  BOOL Open();
  // Waits up to m_dwReadTimeout for one input report and copies its first
  // `length` payload bytes. 0 when a report came; WAIT_TIMEOUT, 128 (not
  // open) or WAIT_FAILED (the read failed) otherwise.
  DWORD Read(BYTE* buffer, BYTE length);
  // One 65-byte output report whose payload begins with `length` bytes of
  // `data`. FALSE when it was not written within one second (a controller
  // that takes no more reports) or could not be written at all.
  BOOL Write(const BYTE* data, BYTE length);
  void SetReadTimeout(DWORD milliseconds);

  HWND m_hOwnerWnd;
  // Written by the dialog's presence checks and read by the update worker.
  std::atomic<BOOL> m_bDevicePresent;
  HANDLE m_hWriteFile;
  HANDLE m_hReadFile;
  std::wstring m_DevicePath;
  DWORD m_dwReadTimeout;
  BOOL m_bNotifyRegistered;
  HDEVNOTIFY m_hDevNotify;
  // One event each for reads and writes, so that moving a report creates nothing.
  HANDLE m_hReadEvent;
  HANDLE m_hWriteEvent;
};
