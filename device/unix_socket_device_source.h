// Devices served as Unix sockets in a folder (unix_hid_protocol.h): a device
// appears when its socket appears and accepts a connection, and is removed
// when the socket goes away or the server closes the connection. The folder
// is watched with inotify.
#pragma once

#include <map>
#include <string>

#include "device_source.h"

namespace hiddevice {

class UnixSocketDeviceSource final : public DeviceSource {
 public:
  UnixSocketDeviceSource(std::string folder, EventLoop& loop, DeviceSourceClient& client);
  ~UnixSocketDeviceSource() override;

  void Start() override;
  WriteResult WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) override;

 private:
  struct Connection {
    DeviceId id = 0;
    int fd = -1;
    bool described = false;  // the descriptor arrived: the device has been announced
  };

  void WatchFolder();
  void OnFolderEvents();
  void Scan();
  void TryConnect(const std::string& name, unsigned attemptsLeft);
  void OnReadable(const std::string& name);
  void Drop(const std::string& name);
  void DropAll();

  const std::string folder_;
  EventLoop& loop_;
  DeviceSourceClient& client_;
  int inotifyFd_ = -1;
  DeviceId nextId_ = 1;
  std::map<std::string, Connection> connections_;  // by socket file name
  // Bumped whenever pending retries must be forgotten (a file came or went anew).
  std::map<std::string, unsigned> generation_;
};

}  // namespace hiddevice
