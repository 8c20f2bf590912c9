#include "unix_socket_device_source.h"

#include <dirent.h>
#include <errno.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "unix_hid_protocol.h"

namespace hiddevice {

namespace {

// A socket file appears (bind) a moment before its server listens: the
// connection is retried for a while before the file is taken for stale.
constexpr unsigned kConnectAttempts = 40;
constexpr unsigned kConnectRetryMs = 50;
// A connection the server closed while its file stays may be a quick
// re-attach: the file is looked at again after this.
constexpr unsigned kRecheckAfterCloseMs = 100;
constexpr unsigned kRewatchFolderMs = 500;
constexpr std::chrono::milliseconds kWriteTimeout{1000};

bool IsDeviceName(const std::string& name) {
  const std::size_t suffix = std::strlen(unixhid::kSuffix);
  return name.size() > suffix && name.compare(name.size() - suffix, suffix, unixhid::kSuffix) == 0;
}

}  // namespace

UnixSocketDeviceSource::UnixSocketDeviceSource(std::string folder, EventLoop& loop, DeviceSourceClient& client)
    : folder_(std::move(folder)), loop_(loop), client_(client) {}

UnixSocketDeviceSource::~UnixSocketDeviceSource() {
  for (auto& entry : connections_) {
    loop_.Unwatch(entry.second.fd);
    close(entry.second.fd);
  }
  if (inotifyFd_ >= 0) {
    loop_.Unwatch(inotifyFd_);
    close(inotifyFd_);
  }
}

void UnixSocketDeviceSource::Start() {
  // The folder is ours to create when nobody has yet (no server running).
  std::error_code ignored;
  std::filesystem::create_directories(folder_, ignored);
  WatchFolder();
}

void UnixSocketDeviceSource::WatchFolder() {
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ >= 0 &&
      inotify_add_watch(inotifyFd_, folder_.c_str(),
                        IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    close(inotifyFd_);
    inotifyFd_ = -1;
  }
  if (inotifyFd_ < 0) {  // the folder is missing for now
    loop_.After(kRewatchFolderMs, [this] { WatchFolder(); });
    return;
  }
  loop_.Watch(inotifyFd_, [this] { OnFolderEvents(); });
  // Devices present already arrive from the loop, as later ones do.
  loop_.After(0, [this] { Scan(); });
}

void UnixSocketDeviceSource::OnFolderEvents() {
  alignas(inotify_event) char buffer[4096];
  bool folderLost = false;
  bool rescan = false;
  for (;;) {
    const ssize_t got = read(inotifyFd_, buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) folderLost = true;
      if (event->mask & IN_Q_OVERFLOW) rescan = true;
      if (event->len == 0) continue;
      const std::string name(event->name);
      if (!IsDeviceName(name)) continue;
      ++generation_[name];  // retries of an earlier file of this name are moot
      if (event->mask & (IN_DELETE | IN_MOVED_FROM)) Drop(name);
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) TryConnect(name, kConnectAttempts);
    }
  }
  if (folderLost) {
    DropAll();
    loop_.Unwatch(inotifyFd_);
    close(inotifyFd_);
    inotifyFd_ = -1;
    loop_.After(kRewatchFolderMs, [this] { WatchFolder(); });
    return;
  }
  if (rescan) Scan();
}

void UnixSocketDeviceSource::Scan() {
  std::vector<std::string> present;
  if (DIR* dir = opendir(folder_.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (IsDeviceName(entry->d_name)) present.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  std::vector<std::string> gone;
  for (const auto& entry : connections_) {
    bool found = false;
    for (const std::string& name : present) found = found || name == entry.first;
    if (!found) gone.push_back(entry.first);
  }
  for (const std::string& name : gone) Drop(name);
  for (const std::string& name : present) TryConnect(name, kConnectAttempts);
}

void UnixSocketDeviceSource::TryConnect(const std::string& name, unsigned attemptsLeft) {
  if (connections_.count(name) != 0 || attemptsLeft == 0) return;
  const std::string path = folder_ + "/" + name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    if (error == ENOENT) return;  // gone again
    const unsigned generation = generation_[name];
    loop_.After(kConnectRetryMs, [this, name, generation, attemptsLeft] {
      if (generation_[name] == generation) TryConnect(name, attemptsLeft - 1);
    });
    return;
  }
  Connection connection;
  connection.fd = fd;
  connections_[name] = connection;
  loop_.Watch(fd, [this, name] { OnReadable(name); });
}

void UnixSocketDeviceSource::OnReadable(const std::string& name) {
  const auto found = connections_.find(name);
  if (found == connections_.end()) return;
  Connection& connection = found->second;

  std::uint8_t packet[unixhid::kMaxDescriptorBytes];
  const ssize_t got = recv(connection.fd, packet, sizeof packet, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got <= 0) {  // the server closed the device
    Drop(name);
    const unsigned generation = generation_[name];
    loop_.After(kRecheckAfterCloseMs, [this, name, generation] {
      if (generation_[name] == generation) TryConnect(name, 1);
    });
    return;
  }
  if (!connection.described) {
    unixhid::Descriptor descriptor;
    if (!unixhid::ParseDescriptor(std::string(reinterpret_cast<const char*>(packet), static_cast<std::size_t>(got)),
                                  descriptor)) {
      Drop(name);  // not a device of this protocol
      return;
    }
    connection.described = true;
    connection.id = nextId_++;
    DeviceProperties properties;
    properties.vendorId = descriptor.vendorId;
    properties.productId = descriptor.productId;
    properties.product = descriptor.product;
    client_.DeviceArrived(connection.id, properties);
    return;
  }
  const std::size_t length =
      static_cast<std::size_t>(got) < unixhid::kReportBytes ? static_cast<std::size_t>(got) : unixhid::kReportBytes;
  client_.InputReport(connection.id, packet, length);
}

void UnixSocketDeviceSource::Drop(const std::string& name) {
  const auto found = connections_.find(name);
  if (found == connections_.end()) return;
  const Connection connection = found->second;
  connections_.erase(found);
  loop_.Unwatch(connection.fd);
  close(connection.fd);
  if (connection.described) client_.DeviceRemoved(connection.id);
}

void UnixSocketDeviceSource::DropAll() {
  while (!connections_.empty()) Drop(connections_.begin()->first);
}

WriteResult UnixSocketDeviceSource::WriteReport(DeviceId device, const std::uint8_t* report, std::size_t length) {
  int fd = -1;
  for (const auto& entry : connections_) {
    if (entry.second.described && entry.second.id == device) fd = entry.second.fd;
  }
  if (fd < 0) return WriteResult::Gone;
  // The whole write, waits included, has one budget: a device that stops
  // reading costs the application at most that, then the write has failed.
  const auto deadline = std::chrono::steady_clock::now() + kWriteTimeout;
  for (;;) {
    const ssize_t sent = send(fd, report, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(length)) return WriteResult::Written;
    if (sent >= 0) return WriteResult::Failed;
    if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) return WriteResult::Gone;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return WriteResult::Failed;
    // The server is behind: wait for room, as a device's report pipe would.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return WriteResult::Failed;
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, static_cast<int>(left)) < 0 && errno != EINTR) return WriteResult::Failed;
  }
}
}  // namespace hiddevice
