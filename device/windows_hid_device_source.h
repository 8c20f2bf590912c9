// Windows HID interfaces, found through SetupDi and followed through the
// system's device notices.
//
// An interface is judged by its attributes (vendor, product) and its
// top collection (a vendor usage page, the controller's report lengths)
// through a handle opened with no access, so only the devices asked for are
// ever opened for reading and writing; another interface of the same device
// (a keyboard's, with the same ids) is left alone.
// Arrival and removal: a message-only window of the source's, registered
// for the HID interface class, hears the system's notices through the
// loop's message pump and has the interfaces listed again at once. Notices
// can be missed (a device there before the notices could be sent, a send
// that timed out), so the interfaces are also listed every second, as the
// hidraw source does. An open device's removal is not judged by the
// listing: its read failing, or the removal notice for its path, tells,
// whichever comes first, once.
// Reads are overlapped, one in flight per device, its event watched on the
// loop (windows_event_loop.h); writes go through a ReportWriter, bounded to
// a second.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_source.h"
#include "windows_hid_interface.h"
#include "windows_report_writer.h"

namespace hiddevice {

class WindowsHidDeviceSource final : public DeviceSource {
 public:
  WindowsHidDeviceSource(EventLoop& loop, DeviceSourceClient& client, DeviceSelection selection);
  ~WindowsHidDeviceSource() override;
  WindowsHidDeviceSource(const WindowsHidDeviceSource&) = delete;
  WindowsHidDeviceSource& operator=(const WindowsHidDeviceSource&) = delete;

  void Start() override;
  // Report ID 0, then the report, padded to the device's output report
  // length; a write the device has not taken within a second has failed.
  WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) override;

 private:
  struct OpenDevice {
    std::wstring key;
    HANDLE reader = INVALID_HANDLE_VALUE;
    HANDLE readDone = nullptr;  // the overlapped read's event, watched on the loop
    OVERLAPPED overlapped{};
    bool reading = false;
    std::vector<std::uint8_t> input;  // the device's input report length
    std::size_t outputBytes = 0;
    std::unique_ptr<ReportWriter> writer;
  };

  void Scan();
  void ScheduleRescan();
  void Consider(const HidInterfaceEntry& entry);
  void Open(const std::wstring& key, const HidInterfaceEntry& entry, DeviceProperties properties,
            const HidReportLengths& lengths);
  bool StartRead(OpenDevice& device);
  void OnReadDone(DeviceId device);
  void Remove(DeviceId device);
  static void CloseReader(OpenDevice& device);
  void Forget(const std::wstring& key);
  void OpenNoticeWindow();
  void Noticed(WPARAM event, LPARAM data);
  static LRESULT CALLBACK NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  static constexpr unsigned kRescanMs = 1000;

  EventLoop& loop_;
  DeviceSourceClient& client_;
  const DeviceSelection selection_;
  bool started_ = false;
  HWND window_ = nullptr;
  HDEVNOTIFY notices_ = nullptr;
  DeviceId nextId_ = 1;
  std::map<DeviceId, std::unique_ptr<OpenDevice>> open_;  // each one's OVERLAPPED stays put
  std::map<std::wstring, DeviceProperties> seen_;          // watched only, by path key
  std::set<std::wstring> unavailable_;                     // told so once, until they go
  std::set<std::wstring> otherInterfaces_;                 // not ours, until they go
  // Cleared when the source goes, so that deferred work finds nothing to do.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace hiddevice
