#include "device_change_notifier.h"

#include <dbt.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr GUID kHidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// A window busy for longer than this (a version query takes at most about
// 2 s) is passed over for this notice.
constexpr UINT kSendTimeoutMs = 5000;

BOOL CALLBACK CollectOtherProcessesWindows(HWND window, LPARAM windows) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId()) reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
  return TRUE;
}

}  // namespace

DeviceChangeNotifier::DeviceChangeNotifier() {
  InitializeCriticalSection(&lock_);
  wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  idle_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  thread_ = CreateThread(nullptr, 0, &DeviceChangeNotifier::ThreadMain, this, 0, nullptr);
}

DeviceChangeNotifier::~DeviceChangeNotifier() {
  WaitDelivered(2 * kSendTimeoutMs);
  EnterCriticalSection(&lock_);
  stopping_ = true;
  LeaveCriticalSection(&lock_);
  SetEvent(wake_);
  if (thread_ != nullptr && WaitForSingleObject(thread_, 2 * kSendTimeoutMs) != WAIT_OBJECT_0)
    TerminateThread(thread_, 1);  // a window that hangs must not hold the server
  if (thread_ != nullptr) CloseHandle(thread_);
  CloseHandle(wake_);
  CloseHandle(idle_);
  DeleteCriticalSection(&lock_);
}

void DeviceChangeNotifier::Arrived(const std::wstring& devicePath) {
  Raise(DBT_DEVICEARRIVAL, devicePath);
  Raise(DBT_DEVNODES_CHANGED, std::wstring());
}

void DeviceChangeNotifier::Removed(const std::wstring& devicePath) {
  Raise(DBT_DEVICEREMOVECOMPLETE, devicePath);
  Raise(DBT_DEVNODES_CHANGED, std::wstring());
}

void DeviceChangeNotifier::Raise(WPARAM event, const std::wstring& path) {
  EnterCriticalSection(&lock_);
  queue_.push_back(Notice{event, path});
  ResetEvent(idle_);
  LeaveCriticalSection(&lock_);
  SetEvent(wake_);
}

bool DeviceChangeNotifier::WaitDelivered(DWORD ms) { return WaitForSingleObject(idle_, ms) == WAIT_OBJECT_0; }

DWORD WINAPI DeviceChangeNotifier::ThreadMain(void* self) {
  static_cast<DeviceChangeNotifier*>(self)->Run();
  return 0;
}

void DeviceChangeNotifier::Run() {
  for (;;) {
    WaitForSingleObject(wake_, INFINITE);
    for (;;) {
      EnterCriticalSection(&lock_);
      if (queue_.empty()) {
        SetEvent(idle_);
        const bool stopping = stopping_;
        LeaveCriticalSection(&lock_);
        if (stopping) return;
        break;
      }
      const Notice notice = queue_.front();
      queue_.pop_front();
      LeaveCriticalSection(&lock_);
      Deliver(notice);
    }
  }
}

void DeviceChangeNotifier::Deliver(const Notice& notice) {
  std::vector<HWND> windows;
  EnumWindows(&CollectOtherProcessesWindows, reinterpret_cast<LPARAM>(&windows));

  std::vector<unsigned char> broadcast;
  LPARAM data = 0;
  if (!notice.path.empty()) {
    const std::size_t size =
        offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (notice.path.size() + 1) * sizeof(wchar_t);
    broadcast.assign(size, 0);
    auto* header = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(broadcast.data());
    header->dbcc_size = static_cast<DWORD>(size);
    header->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header->dbcc_classguid = kHidInterfaceGuid;
    std::memcpy(header->dbcc_name, notice.path.c_str(), (notice.path.size() + 1) * sizeof(wchar_t));
    data = reinterpret_cast<LPARAM>(header);
  }
  for (HWND window : windows) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_DEVICECHANGE, notice.event, data, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  }
}
