// What the system shows of the controllers: their HID interfaces as SetupDi
// lists them, and the device notices the system sends of HID interfaces.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Paths of the present HID interfaces of controllers in BOOT mode, in the
// system's order.
std::vector<std::wstring> ControllerInterfaces();
// Those of devices with these ids.
std::vector<std::wstring> HidInterfaces(uint16_t vendorId, uint16_t productId);

// Polls for at most `ms` until the system lists `count` controllers' HID
// interfaces (with `atLeast`, that many or more: a controller may have
// several); what it lists then.
std::vector<std::wstring> WaitForControllerInterfaces(std::size_t count, DWORD ms, bool atLeast = false);

// Counts the system's HID interface notices from construction on, received
// by a message-only window on a thread of its own.
class HidNoticeWatcher {
 public:
  // `onNotice` is called on the watcher's thread with each notice and the
  // interface it names.
  explicit HidNoticeWatcher(std::function<void(WPARAM, const wchar_t*)> onNotice = nullptr);
  ~HidNoticeWatcher();
  HidNoticeWatcher(const HidNoticeWatcher&) = delete;
  HidNoticeWatcher& operator=(const HidNoticeWatcher&) = delete;

  bool Registered() const { return registered_; }
  LONG Arrivals() const { return InterlockedCompareExchange(&arrivals_, 0, 0); }
  LONG Removals() const { return InterlockedCompareExchange(&removals_, 0, 0); }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Run();

  std::function<void(WPARAM, const wchar_t*)> onNotice_;
  HANDLE ready_ = nullptr;
  HANDLE thread_ = nullptr;
  DWORD threadId_ = 0;
  bool registered_ = false;
  mutable LONG arrivals_ = 0;
  mutable LONG removals_ = 0;
};
