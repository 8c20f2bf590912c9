// Uevents to the programs' monitors, lost or kept as the kernel would.
//
// umockdev's testbed hands a uevent to each program's udev monitor as a
// datagram: it connects to the monitor's socket file, then sends. The
// version Debian 12 ships aborts the whole emulator when that send fails,
// and two of its failures are part of a monitor's ordinary life:
//  - the program closed its monitor between the connect and the send
//    (ECONNREFUSED): the kernel drops a uevent for a monitor that is gone,
//    and so does this. The socket file stays: the program may already have
//    bound a new monitor there (umockdev names them after the descriptor's
//    number), and a stale one goes at umockdev's next connect;
//  - the program has not read its monitor for a while and its queue is full
//    (EAGAIN: the socket does not block): this waits for room, as long as a
//    program busy with a burst of plugs may need, and then drops the uevent
//    as the kernel drops one for a full monitor, saying so.
// Every other send of the process, and every other failure, is the system
// call's own.
//
// Linked into the executable, this definition comes before libc's for the
// testbed's library, as the emulator's own reads and writes do.
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

constexpr auto kRoomWait = std::chrono::seconds(5);

// umockdev names each monitor's socket "event" and a number, in the testbed.
// It sends on the connected socket with the address beside it and its length
// left 0, which the kernel then ignores.
bool ToMonitor(const msghdr* message) {
  if (message == nullptr || message->msg_name == nullptr) return false;
  if (message->msg_namelen != 0 && message->msg_namelen < sizeof(sockaddr_un)) return false;
  const auto* address = static_cast<const sockaddr_un*>(message->msg_name);
  if (address->sun_family != AF_UNIX) return false;
  const char* path = address->sun_path;
  const std::size_t length = strnlen(path, sizeof address->sun_path);
  if (length == sizeof address->sun_path) return false;
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  return std::strncmp(name, "event", 5) == 0 && std::isdigit(static_cast<unsigned char>(name[5])) != 0;
}

ssize_t Sent(const msghdr* message) {
  ssize_t total = 0;
  for (std::size_t i = 0; i < message->msg_iovlen; ++i) total += static_cast<ssize_t>(message->msg_iov[i].iov_len);
  return total;
}

ssize_t RawSend(int fd, const msghdr* message, int flags) {
  return static_cast<ssize_t>(syscall(SYS_sendmsg, fd, message, flags));
}

}  // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  const auto deadline = std::chrono::steady_clock::now() + kRoomWait;
  for (;;) {
    const ssize_t sent = RawSend(fd, message, flags);
    if (sent >= 0 || !ToMonitor(message)) return sent;
    if (errno == ECONNREFUSED) return Sent(message);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      const char* path = static_cast<const sockaddr_un*>(message->msg_name)->sun_path;
      std::fprintf(stderr, "korvid-emulated-controller: the monitor at %s read nothing for %lld s: a uevent is dropped\n",
                   path, static_cast<long long>(kRoomWait.count()));
      return Sent(message);
    }
    pollfd room{fd, POLLOUT, 0};
    if (poll(&room, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -1;
  }
}
