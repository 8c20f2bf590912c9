#include "hid.h"

#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include "debug_trace.h"
#include "protocol.h"

BYTE hid_output_report[65];

namespace {

// The HID interface class, as the system names it.
GUID g_hidGuid;

constexpr DWORD kReportBytes = 65;  // report ID and 64 payload bytes
constexpr DWORD kOpenReadTimeoutMs = 200;
// A controller takes a report within a USB frame or two; one that has not
// taken it in a second takes no more.
constexpr DWORD kWriteTimeoutMs = 1000;
// A controller in BOOT mode, by the identifiers the engine knows it by.
bool IsAcceptedController(const HIDD_ATTRIBUTES& attributes) {
  if (attributes.ProductID != kBootProductId) return false;
  return std::find(std::begin(kBootVendorIds), std::end(kBootVendorIds), attributes.VendorID) !=
         std::end(kBootVendorIds);
}

// The controller's interface moves reports of kReportBytes each way, as its
// report descriptor says. Another interface of the same USB device (a
// keyboard's, with the same ids) does not, and is not the controller.
bool HasControllerReports(HANDLE device) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) return false;
  HIDP_CAPS caps{};
  const bool read = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(preparsed);
  return read && caps.InputReportByteLength == kReportBytes && caps.OutputReportByteLength == kReportBytes;
}

DWORD RequiredDetailSize(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& interfaceData) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, nullptr, 0, &required, nullptr);
  return required;
}

void CloseIfOpen(HANDLE& handle) {
  if (handle == INVALID_HANDLE_VALUE) return;
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

// A read that failed without waiting still takes its time-out, so that a
// loop over a device that has gone does not spin.
void WaitOutTimeout(ULONGLONG startedMs, DWORD timeoutMs) {
  const ULONGLONG elapsed = GetTickCount64() - startedMs;
  if (elapsed < timeoutMs) Sleep(static_cast<DWORD>(timeoutMs - elapsed));
}

}  // namespace

CHid::CHid()
    : m_hOwnerWnd(nullptr),
      m_bDevicePresent(FALSE),
      m_hWriteFile(INVALID_HANDLE_VALUE),
      m_hReadFile(INVALID_HANDLE_VALUE),
      m_dwReadTimeout(0),
      m_bNotifyRegistered(FALSE),
      m_hDevNotify(nullptr),
      m_hReadEvent(nullptr),
      m_hWriteEvent(nullptr) {}

CHid::~CHid() {
  if (m_hDevNotify != nullptr) UnregisterDeviceNotification(m_hDevNotify);
  CloseIfOpen(m_hWriteFile);
  CloseIfOpen(m_hReadFile);
  if (m_hReadEvent != nullptr) CloseHandle(m_hReadEvent);
  if (m_hWriteEvent != nullptr) CloseHandle(m_hWriteEvent);
}

BOOL CHid::FindDevice(HANDLE& device, const wchar_t* gonePath, bool inUse) {
  device = INVALID_HANDLE_VALUE;
  HidD_GetHidGuid(&g_hidGuid);
  const HDEVINFO list = SetupDiGetClassDevsW(&g_hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return FALSE;

  // Sized at the first interface and reused; regrown when an interface needs more.
  std::vector<BYTE> detailBuffer;
  bool regrown = false;
  for (DWORD index = 0;;) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &g_hidGuid, index, &interfaceData)) break;

    if (detailBuffer.empty()) {
      detailBuffer.resize(
          std::max<DWORD>(RequiredDetailSize(list, interfaceData), sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));
    }
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, detail, static_cast<DWORD>(detailBuffer.size()),
                                          nullptr, nullptr)) {
      const DWORD required = RequiredDetailSize(list, interfaceData);
      if (!regrown && required > detailBuffer.size()) {
        detailBuffer.assign(required, 0);
        regrown = true;
        continue;  // the same interface again, with room for its path
      }
      regrown = false;
      ++index;  // unreadable: not ours to judge
      continue;
    }
    regrown = false;
    // The system's notices and its enumeration spell a path in different
    // cases.
    const auto samePath = [&](const wchar_t* path) {
      return CompareStringOrdinal(detail->DevicePath, -1, path, -1, TRUE) == CSTR_EQUAL;
    };
    if (gonePath != nullptr && samePath(gonePath)) {
      ++index;
      continue;
    }
    if (inUse && !m_DevicePath.empty() && samePath(m_DevicePath.c_str())) {
      SetupDiDestroyDeviceInfoList(list);
      return TRUE;
    }

    const HANDLE candidate =
        CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (candidate == INVALID_HANDLE_VALUE) {  // keyboards and mice the system holds
      ++index;
      continue;
    }
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(candidate, &attributes) || !IsAcceptedController(attributes) ||
        !HasControllerReports(candidate)) {
      CloseHandle(candidate);
      ++index;
      continue;
    }

    m_DevicePath = detail->DevicePath;
    DebugTraceText(L"m_DevicePath:" + m_DevicePath + L"\n");
    SetupDiDestroyDeviceInfoList(list);
    device = candidate;
    return TRUE;
  }
  SetupDiDestroyDeviceInfoList(list);
  return FALSE;
}

BOOL CHid::CheckDevice(const wchar_t* gonePath, bool inUse) {
  HANDLE device = INVALID_HANDLE_VALUE;
  const BOOL found = FindDevice(device, gonePath, inUse);
  if (!m_bNotifyRegistered) {
    RegisterNotification();
    m_bNotifyRegistered = TRUE;  // tried once, whatever came of it
  }
  if (found) {
    m_bDevicePresent = TRUE;
    CloseIfOpen(device);
    return TRUE;
  }
  m_bDevicePresent = FALSE;
  return FALSE;
}

BOOL CHid::RegisterNotification() {
  HidD_GetHidGuid(&g_hidGuid);
  DEV_BROADCAST_DEVICEINTERFACE_W filter;
  static_assert(sizeof filter == 32, "the notification filter the system expects");
  std::memset(&filter, 0, sizeof filter);
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = g_hidGuid;
  m_hDevNotify = RegisterDeviceNotificationW(m_hOwnerWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return m_hDevNotify != nullptr;
}

BOOL CHid::Open() {
  CloseIfOpen(m_hWriteFile);
  CloseIfOpen(m_hReadFile);
  // Overlapped too, so that a write can be given up on.
  m_hWriteFile = CreateFileW(m_DevicePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hWriteFile == INVALID_HANDLE_VALUE) return FALSE;
  m_hReadFile = CreateFileW(m_DevicePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (m_hReadFile == INVALID_HANDLE_VALUE) {
    CloseIfOpen(m_hWriteFile);  // half a link is no link
    return FALSE;
  }
  SetReadTimeout(kOpenReadTimeoutMs);
  return TRUE;
}

DWORD CHid::Read(BYTE* buffer, BYTE length) {
  if (m_hReadFile == INVALID_HANDLE_VALUE) return WAIT_ABANDONED;
  if (m_hReadEvent == nullptr) m_hReadEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_hReadEvent == nullptr) return WAIT_FAILED;

  const DWORD timeoutMs = m_dwReadTimeout;
  const ULONGLONG startedMs = GetTickCount64();
  BYTE report[kReportBytes] = {};
  OVERLAPPED overlapped{};
  overlapped.hEvent = m_hReadEvent;
  if (!ReadFile(m_hReadFile, report, kReportBytes, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    WaitOutTimeout(startedMs, timeoutMs);
    return WAIT_FAILED;
  }

  DWORD transferred = 0;
  const DWORD status = WaitForSingleObject(m_hReadEvent, timeoutMs);
  if (status != WAIT_OBJECT_0) {
    // The request still owns `report` and `overlapped`: they may go only
    // once it has completed. A report that came in while the read was being
    // cancelled has been taken from the device: it is handed on, not lost.
    CancelIo(m_hReadFile);
    if (!GetOverlappedResult(m_hReadFile, &overlapped, &transferred, TRUE) || transferred == 0) return status;
  } else if (!GetOverlappedResult(m_hReadFile, &overlapped, &transferred, FALSE)) {  // completed with an error
    WaitOutTimeout(startedMs, timeoutMs);
    return WAIT_FAILED;
  }
  std::memcpy(buffer, report + 1, std::min<std::size_t>(length, kReportBytes - 1));
  return WAIT_OBJECT_0;
}

BOOL CHid::Write(const BYTE* data, BYTE length) {
  hid_output_report[0] = 0;  // report ID
  std::memcpy(hid_output_report + 1, data, std::min<std::size_t>(length, sizeof hid_output_report - 1));
  if (m_hWriteFile == INVALID_HANDLE_VALUE) return FALSE;
  if (m_hWriteEvent == nullptr) m_hWriteEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_hWriteEvent == nullptr) return FALSE;

  OVERLAPPED overlapped{};
  overlapped.hEvent = m_hWriteEvent;
  if (WriteFile(m_hWriteFile, hid_output_report, sizeof hid_output_report, nullptr, &overlapped)) return TRUE;
  if (GetLastError() != ERROR_IO_PENDING) return FALSE;
  DWORD written = 0;
  if (WaitForSingleObject(m_hWriteEvent, kWriteTimeoutMs) != WAIT_OBJECT_0) {
    // The request owns hid_output_report until it has completed: the next
    // report may be assembled there only once the cancel has gone through.
    // One that completed meanwhile was written after all.
    CancelIo(m_hWriteFile);
    const BOOL completed = GetOverlappedResult(m_hWriteFile, &overlapped, &written, TRUE);
    if (!completed) DebugTrace(L"the controller took no report for %d ms\n", static_cast<int>(kWriteTimeoutMs));
    return completed;
  }
  return GetOverlappedResult(m_hWriteFile, &overlapped, &written, FALSE);
}

void CHid::SetReadTimeout(DWORD milliseconds) { m_dwReadTimeout = milliseconds; }
