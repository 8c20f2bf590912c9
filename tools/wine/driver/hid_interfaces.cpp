#include "hid_interfaces.h"

#include <dbt.h>
#include <setupapi.h>

#include <cwchar>
#include <cwctype>

extern "C" {
#include <hidsdi.h>
}

#include "protocol.h"

namespace {

// SetupDi names interfaces in lower case, the system's notices in upper case
// up to the instance: ids are compared without regard to case.
bool PathHasIds(std::wstring path, uint16_t vendorId, uint16_t productId) {
  for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
  wchar_t ids[24];
  swprintf(ids, sizeof ids / sizeof ids[0], L"vid_%04x&pid_%04x", vendorId, productId);
  return path.find(ids) != std::wstring::npos;
}

bool IsControllerPath(const std::wstring& path) {
  for (uint16_t vendor : kBootVendorIds)
    if (PathHasIds(path, vendor, kBootProductId)) return true;
  return false;
}

// The present HID interfaces `keep` says yes to, in the system's order.
template <typename Keep>
std::vector<std::wstring> ListedInterfaces(Keep keep) {
  std::vector<std::wstring> paths;
  GUID hid;
  HidD_GetHidGuid(&hid);
  const HDEVINFO list = SetupDiGetClassDevsW(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return paths;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hid, index, &data)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(list, &data, detail, required, nullptr, nullptr) && keep(detail->DevicePath))
      paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(list);
  return paths;
}

}  // namespace

std::vector<std::wstring> ControllerInterfaces() { return ListedInterfaces(IsControllerPath); }

std::vector<std::wstring> HidInterfaces(uint16_t vendorId, uint16_t productId) {
  return ListedInterfaces([=](const std::wstring& path) { return PathHasIds(path, vendorId, productId); });
}

std::vector<std::wstring> WaitForControllerInterfaces(std::size_t count, DWORD ms, bool atLeast) {
  const ULONGLONG until = GetTickCount64() + ms;
  for (;;) {
    std::vector<std::wstring> listed = ControllerInterfaces();
    if (listed.size() == count || (atLeast && listed.size() > count) || GetTickCount64() > until) return listed;
    Sleep(15);
  }
}

HidNoticeWatcher::HidNoticeWatcher(std::function<void(WPARAM, const wchar_t*)> onNotice)
    : onNotice_(std::move(onNotice)) {
  ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = CreateThread(nullptr, 0, &HidNoticeWatcher::ThreadMain, this, 0, &threadId_);
  if (thread_ != nullptr) WaitForSingleObject(ready_, 5000);
}

HidNoticeWatcher::~HidNoticeWatcher() {
  if (thread_ != nullptr) {
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }
  if (ready_ != nullptr) CloseHandle(ready_);
}

DWORD WINAPI HidNoticeWatcher::ThreadMain(void* self) {
  static_cast<HidNoticeWatcher*>(self)->Run();
  return 0;
}

LRESULT CALLBACK HidNoticeWatcher::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    auto* self = reinterpret_cast<HidNoticeWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr && wParam == DBT_DEVICEARRIVAL) InterlockedIncrement(&self->arrivals_);
    if (self != nullptr && wParam == DBT_DEVICEREMOVECOMPLETE) InterlockedIncrement(&self->removals_);
    const auto* notice = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    if (self != nullptr && self->onNotice_ && notice != nullptr && notice->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
      self->onNotice_(wParam, notice->dbcc_name);
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void HidNoticeWatcher::Run() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = &HidNoticeWatcher::WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"KorvidDriverNoticeWatcher";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  HDEVNOTIFY notify = nullptr;
  if (window != nullptr) {
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&filter.dbcc_classguid);
    notify = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    registered_ = notify != nullptr;
  }
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, for WM_QUIT
  SetEvent(ready_);
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  if (notify != nullptr) UnregisterDeviceNotification(notify);
  if (window != nullptr) DestroyWindow(window);
}
