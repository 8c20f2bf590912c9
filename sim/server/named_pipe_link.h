// The simulated controller as a HID device on Windows: a named pipe whose
// path carries the vendor and product ids, announced in the registry while
// attached (named_pipe_hid_protocol.h), with WM_DEVICECHANGE sent on arrival
// and removal.
//
// update.exe opens the path three times (the search, the write handle, the
// overlapped read handle) and each handle takes one pipe instance, so a few
// instances always listen. As a HID device does, every input report goes to
// every open handle; a handle that nobody reads keeps only a few.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controller_service.h"
#include "device_change_notifier.h"
#include "overlapped_pipe.h"

class NamedPipeLink final : public DeviceLink {
 public:
  using OutputHandler = std::function<void(const Report&)>;

  // `name` names the device; `notifier` may be null (no WM_DEVICECHANGE).
  NamedPipeLink(std::wstring name, DeviceChangeNotifier* notifier);
  ~NamedPipeLink() override;

  // DeviceLink
  bool Appear(const DeviceIdentity& identity) override;
  void Vanish() override;
  void SendInput(const Report& report) override;
  void StopReading() override;

  // The event loop's side: the events to wait on, and the work once one of
  // them (or the time-out) fired. Output reports go to `onOutput`.
  void AppendWaitHandles(std::vector<HANDLE>& handles) const;
  void Service(const OutputHandler& onOutput);

  bool Up() const { return up_; }
  const std::wstring& DevicePath() const { return path_; }
  uint64_t DroppedInputReports() const;
  uint64_t IgnoredWrites() const { return ignoredWrites_; }

 private:
  bool AddListener(bool first);
  void TakeNewConnections();
  void CloseAll();

  std::wstring name_;
  DeviceChangeNotifier* notifier_;
  std::wstring path_;
  bool up_ = false;
  bool reading_ = true;
  std::vector<std::unique_ptr<OverlappedPipe>> instances_;
  uint64_t droppedByClosed_ = 0;
  uint64_t ignoredWrites_ = 0;
};

// The announcement that the stand-in setupapi.dll lists.
bool AnnounceDevice(const std::wstring& name, const std::wstring& path);
void WithdrawDevice(const std::wstring& name);
