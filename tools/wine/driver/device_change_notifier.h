// The system's part in device notification, played by the driver where a
// case needs a notice Wine would not send then: every top-level window of
// the other processes on the desktop gets WM_DEVICECHANGE, as Windows sends
// it for a HID interface (DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE with
// the interface's path, then DBT_DEVNODES_CHANGED).
//
// Wine refuses to post these across processes; SendMessageTimeoutW carries
// them, copying the broadcast structure. A window may take its time over
// one (update.exe queries the controller's version inside its arrival
// handler), so the messages go out from a thread of their own, in the order
// they were raised, while the driver goes on.
#pragma once

#include <windows.h>

#include <deque>
#include <string>

class DeviceChangeNotifier {
 public:
  DeviceChangeNotifier();
  ~DeviceChangeNotifier();  // delivers what is queued (bounded), then stops
  DeviceChangeNotifier(const DeviceChangeNotifier&) = delete;
  DeviceChangeNotifier& operator=(const DeviceChangeNotifier&) = delete;

  // As the system tells of a HID interface: its notice, then DBT_DEVNODES_CHANGED.
  void Arrived(const std::wstring& devicePath);
  void Removed(const std::wstring& devicePath);
  // One notice on its own (DBT_DEVNODES_CHANGED takes no path), for a test
  // that plays the system one step at a time.
  void Raise(WPARAM event, const std::wstring& devicePath);

  // Blocks until everything raised so far has been delivered, at most `ms`.
  bool WaitDelivered(DWORD ms);

 private:
  struct Notice {
    WPARAM event;
    std::wstring path;
  };
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  void Deliver(const Notice& notice);

  CRITICAL_SECTION lock_;
  HANDLE wake_ = nullptr;
  HANDLE idle_ = nullptr;  // set while the queue is empty and nothing is being sent
  HANDLE thread_ = nullptr;
  std::deque<Notice> queue_;
  bool stopping_ = false;
};
