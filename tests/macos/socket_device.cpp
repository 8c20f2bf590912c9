#include "socket_device.h"

#include <errno.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "unix_hid_protocol.h"

namespace {
std::vector<SocketDevice*>& LiveDevices() {
  static std::vector<SocketDevice*> devices;
  return devices;
}
}  // namespace

SocketDevice::SocketDevice(std::filesystem::path folder, std::string name, ControllerConfig config)
    : path_(folder / (name + unixhid::kSuffix)), config_(config), controller_(config) {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  LiveDevices().push_back(this);
}

SocketDevice::~SocketDevice() {
  Unplug();
  auto& live = LiveDevices();
  live.erase(std::remove(live.begin(), live.end(), this), live.end());
}

bool SocketDevice::Plug() { return PlugWithoutListening() && Listen(); }

bool SocketDevice::PlugWithoutListening() {
  if (listener_ >= 0) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = path_.string();
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(listener_);
    listener_ = -1;
    return false;
  }
  listening_ = false;
  controller_.Replug();
  return true;
}

bool SocketDevice::Listen() {
  if (listener_ < 0) return false;
  listening_ = listening_ || listen(listener_, 8) == 0;
  return listening_;
}

void SocketDevice::CloseConnections() {
  for (int fd : connections_) close(fd);
  connections_.clear();
}

void SocketDevice::Unplug() {
  CloseConnections();
  if (listener_ >= 0) {
    close(listener_);
    listener_ = -1;
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  controller_.Unplug();
}

void SocketDevice::PollAll() {
  const std::vector<SocketDevice*> devices = LiveDevices();
  for (SocketDevice* device : devices) device->Poll();
}

void SocketDevice::Poll() {
  if (listener_ < 0 || !listening_ || paused_) return;
  for (int fd; (fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
    const std::string descriptor =
        unixhid::FormatDescriptor(unixhid::Descriptor{config_.vendorId, config_.productId, "Test Controller"});
    send(fd, descriptor.data(), descriptor.size(), MSG_NOSIGNAL);
    connections_.push_back(fd);
  }
  for (std::size_t i = 0; i < connections_.size() && !refusing_;) {
    Report report{};
    const ssize_t got = recv(connections_[i], report.data(), report.size(), MSG_DONTWAIT);
    if (got > 0) {
      written_.push_back(report);
      controller_.WriteOutputReport(report);
      continue;  // the same connection again until it is drained
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      close(connections_[i]);
      connections_.erase(connections_.begin() + static_cast<long>(i));
      ++hangups_;
      continue;
    }
    ++i;
  }
  while (controller_.HasInput()) SendReport(controller_.PopInput());
}

void SocketDevice::SendMessage(const std::vector<uint8_t>& message) {
  Report report{};
  report[0] = static_cast<uint8_t>(message.size());
  std::copy(message.begin(), message.end(), report.begin() + 1);
  SendReport(report);
}

void SocketDevice::SendReport(const Report& report) {
  for (int fd : connections_) send(fd, report.data(), report.size(), MSG_NOSIGNAL);
}

void SocketDevice::RefuseReports() {
  refusing_ = true;
  for (int fd : connections_) shutdown(fd, SHUT_RD);
}

bool SocketDevice::AllRead() const {
  for (int fd : connections_) {
    int unread = 0;  // bytes sent that the peer has not read yet
    if (ioctl(fd, SIOCOUTQ, &unread) != 0 || unread != 0) return false;
  }
  return true;
}
