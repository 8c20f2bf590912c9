#include "unix_socket_link.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "protocol.h"
#include "unix_hid_protocol.h"
#include "unix_socket_file.h"

namespace {

// Output reports taken from one front-end per wake-up, so that a chatty one
// cannot starve the others or the clock.
constexpr int kReportsPerWake = 16;

std::string ProductText(const DeviceIdentity& identity) {
  return identity.productId == kBootProductId ? "Korvid Controller BOOT" : "Korvid Controller";
}

}  // namespace

UnixSocketLink::UnixSocketLink(std::string deviceDir, const std::string& name, OutputSink sink)
    : deviceDir_(std::move(deviceDir)), path_(deviceDir_ + "/" + name + unixhid::kSuffix), sink_(std::move(sink)) {}

UnixSocketLink::~UnixSocketLink() { Vanish(); }

bool UnixSocketLink::Appear(const DeviceIdentity& identity) {
  if (listener_ >= 0) Vanish();
  error_.clear();
  std::error_code ignored;
  std::filesystem::create_directories(deviceDir_, ignored);
  descriptor_ =
      unixhid::FormatDescriptor(unixhid::Descriptor{identity.vendorId, identity.productId, ProductText(identity)});
  reading_ = true;
  listener_ = unixsocket::Listen(path_, SOCK_SEQPACKET, error_);
  if (listener_ < 0) std::fprintf(stderr, "korvid-sim-controller: %s\n", error_.c_str());
  return listener_ >= 0;
}

void UnixSocketLink::Vanish() {
  if (listener_ < 0 && connections_.empty()) return;
  ++generation_;
  // The file goes first, so no front-end connects to a device on its way out.
  if (listener_ >= 0) {
    unlink(path_.c_str());
    close(listener_);
    listener_ = -1;
  }
  for (Connection& connection : connections_) close(connection.fd);
  connections_.clear();
}

void UnixSocketLink::SendInput(const Report& report) {
  for (std::size_t i = 0; i < connections_.size();) {
    Connection& connection = connections_[i];
    if (connection.backlog.empty()) {
      const long sent = unixsocket::SendPacket(connection.fd, report.data(), report.size(), false);
      if (sent == static_cast<long>(report.size())) {
        ++i;
        continue;
      }
      if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        Close(connection.fd);  // the front-end is gone
        continue;
      }
    }
    if (connection.backlog.size() >= kBacklogReports) {
      connection.backlog.pop_front();
      ++dropped_;
    }
    connection.backlog.push_back(report);
    ++i;
  }
}

// The sockets' receive buffers fill and the front-ends' writes then wait.
void UnixSocketLink::StopReading() { reading_ = false; }

void UnixSocketLink::AddPollFds(std::vector<pollfd>& fds) const {
  if (listener_ >= 0) fds.push_back(pollfd{listener_, POLLIN, 0});
  const short in = reading_ ? POLLIN : 0;
  for (const Connection& connection : connections_)
    fds.push_back(pollfd{connection.fd, static_cast<short>(in | (connection.backlog.empty() ? 0 : POLLOUT)), 0});
}

void UnixSocketLink::HandleEvents(const std::vector<pollfd>& fds) {
  const uint64_t generation = generation_;
  for (const pollfd& fd : fds) {
    if (fd.revents == 0 || fd.fd == listener_) continue;
    Connection* connection = Find(fd.fd);
    if (connection == nullptr) continue;
    if ((fd.revents & POLLOUT) != 0 && !Flush(*connection)) continue;
    if (!reading_) {
      if ((fd.revents & (POLLHUP | POLLERR)) != 0) Close(fd.fd);  // gone; what it wrote stays unread
    } else if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadFrom(fd.fd)) {
      Close(fd.fd);
    }
    // A report may have ended the device (unplug, restart into the
    // application): what was polled belongs to the old one.
    if (generation_ != generation) return;
  }
  for (const pollfd& fd : fds)
    if (fd.fd == listener_ && (fd.revents & POLLIN) != 0) Accept();
}

void UnixSocketLink::Accept() {
  for (;;) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // The descriptor comes first; a fresh connection has room for it.
    if (unixsocket::SendPacket(fd, descriptor_.data(), descriptor_.size(), false) !=
        static_cast<long>(descriptor_.size())) {
      close(fd);
      continue;
    }
    connections_.push_back(Connection{fd, {}});
  }
}

bool UnixSocketLink::ReadFrom(int fd) {
  Report report;
  for (int taken = 0; taken < kReportsPerWake; ++taken) {
    const long size = recv(fd, report.data(), report.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (size < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (size == 0) return false;  // the front-end closed the device
    if (size != static_cast<long>(report.size())) {
      std::fprintf(stderr, "korvid-sim-controller: ignored an output report of %ld bytes (64 expected)\n", size);
      continue;
    }
    const uint64_t generation = generation_;
    sink_(report);
    if (generation_ != generation) return true;  // the device is gone; nothing left to close
    if (!reading_) return true;                  // the rest stays in the socket, unread
  }
  return true;
}

bool UnixSocketLink::Flush(Connection& connection) {
  while (!connection.backlog.empty()) {
    const Report& report = connection.backlog.front();
    const long sent = unixsocket::SendPacket(connection.fd, report.data(), report.size(), false);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (sent != static_cast<long>(report.size())) {
      Close(connection.fd);
      return false;
    }
    connection.backlog.pop_front();
  }
  return true;
}

void UnixSocketLink::Close(int fd) {
  const auto it = std::find_if(connections_.begin(), connections_.end(),
                               [fd](const Connection& connection) { return connection.fd == fd; });
  if (it == connections_.end()) return;
  close(it->fd);
  connections_.erase(it);
}

UnixSocketLink::Connection* UnixSocketLink::Find(int fd) {
  for (Connection& connection : connections_)
    if (connection.fd == fd) return &connection;
  return nullptr;
}
