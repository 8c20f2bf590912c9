#include "unix_socket_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace unixsocket {

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address, std::string& error) {
  if (path.empty() || path.size() > MaxPathBytes()) {
    error = "socket path must have 1 to " + std::to_string(MaxPathBytes()) + " bytes: " + path;
    return false;
  }
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

std::string Complaint(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// True when a server answers at `path`.
bool SomeoneListens(const std::string& path, int type) {
  std::string ignored;
  const int fd = Connect(path, type, ignored);
  if (fd < 0) return false;
  close(fd);
  return true;
}

}  // namespace

std::size_t MaxPathBytes() { return sizeof(sockaddr_un::sun_path) - 1; }

int Listen(const std::string& path, int type, std::string& error) {
  sockaddr_un address;
  if (!MakeAddress(path, address, error)) return -1;

  struct stat info;
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      error = "not a socket, left alone: " + path;
      return -1;
    }
    if (SomeoneListens(path, type)) {
      error = "another server listens at " + path;
      return -1;
    }
    unlink(path.c_str());  // left behind by a server that was killed
  }

  // Bound under a name no client looks for, then renamed into place once it
  // listens: a client that sees the file never meets a refused connection.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string staging = folder + "." + base + "." + std::to_string(getpid());
  sockaddr_un stagingAddress;
  if (!MakeAddress(staging, stagingAddress, error)) return -1;
  unlink(staging.c_str());

  const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Complaint("cannot make a socket for", path);
    return -1;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&stagingAddress), sizeof stagingAddress) != 0) {
    error = Complaint("cannot bind", staging);
  } else if (listen(fd, 16) != 0) {
    error = Complaint("cannot listen at", staging);
  } else if (rename(staging.c_str(), path.c_str()) != 0) {
    error = Complaint("cannot rename the socket to", path);
  } else {
    return fd;
  }
  unlink(staging.c_str());
  close(fd);
  return -1;
}

int Connect(const std::string& path, int type, std::string& error) {
  sockaddr_un address;
  if (!MakeAddress(path, address, error)) return -1;
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Complaint("cannot make a socket for", path);
    return -1;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = Complaint("cannot connect to", path);
    close(fd);
    return -1;
  }
  return fd;
}

long SendPacket(int fd, const void* bytes, std::size_t size, bool wait) {
  return send(fd, bytes, size, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
}

}  // namespace unixsocket
