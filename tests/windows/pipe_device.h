// A simulated HID device served from a thread of the test through the
// controller server's own named-pipe link: it records the output reports a
// front-end writes and sends the input reports the test asks for.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "named_pipe_link.h"

class PipeDevice {
 public:
  enum class Answer { Nothing, Echo };
  // The device appears at once, announced under `name`. An echoing device
  // answers every output report with the same bytes as an input report, from
  // inside the link's delivery, as the controller service answers.
  PipeDevice(std::wstring name, DeviceIdentity identity, Answer answer = Answer::Nothing);
  ~PipeDevice();
  PipeDevice(const PipeDevice&) = delete;
  PipeDevice& operator=(const PipeDevice&) = delete;

  bool Up() const { return up_; }
  std::wstring Path() const { return path_; }

  // Runs `client` on the caller's thread while the device's thread is held,
  // so that the link sees all the client did at once when it goes on.
  void WhileHeld(const std::function<void()>& client);

  void Send(const Report& report);
  void Unplug();
  // Takes no more output reports: a client's writes wait once its pipe is full.
  void StopReading();
  std::vector<Report> Received();
  // Whether `count` reports arrived within `ms`.
  bool WaitForReports(std::size_t count, DWORD ms);
  // Writes that arrived as anything but one 65-byte report with report ID 0.
  uint64_t IgnoredWrites();

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  // Runs `work` on the device's thread and waits for it.
  void OnDeviceThread(const std::function<void()>& work);

  std::wstring name_;
  DeviceIdentity identity_;
  Answer answer_;
  std::unique_ptr<NamedPipeLink> link_;
  std::wstring path_;
  bool up_ = false;
  HANDLE wake_ = nullptr;
  HANDLE thread_ = nullptr;
  bool stopping_ = false;

  std::mutex mutex_;
  std::deque<std::function<void()>> work_;
  std::vector<Report> received_;
  HANDLE reportArrived_ = nullptr;
};

// An announced device with no pipe behind it: opening it fails, as for a
// HID device the system holds (keyboards, mice).
class GhostAnnouncement {
 public:
  GhostAnnouncement(std::wstring name, uint16_t vendorId, uint16_t productId);
  ~GhostAnnouncement();

 private:
  std::wstring name_;
};
