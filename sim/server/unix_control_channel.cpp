#include "unix_control_channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "unix_socket_file.h"

namespace {

// A line longer than this is not a command; the client is dropped.
constexpr std::size_t kMaxLineBytes = 4096;

bool SendAll(int fd, const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    // Replies are short and the client waits for them: a blocking send is
    // fine, but never one that could kill the server with SIGPIPE.
    const long sent = unixsocket::SendPacket(fd, text.data() + at, text.size() - at, true);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fd, POLLOUT, 0};
      if (poll(&writable, 1, 1000) <= 0) return false;
      continue;
    }
    if (sent <= 0) return false;
    at += static_cast<std::size_t>(sent);
  }
  return true;
}

}  // namespace

bool UnixControlChannel::Open(const std::string& path, std::string& error) {
  Close();
  listener_ = unixsocket::Listen(path, SOCK_STREAM, error);
  if (listener_ < 0) return false;
  path_ = path;
  return true;
}

void UnixControlChannel::Close() {
  for (Client& client : clients_) close(client.fd);
  clients_.clear();
  if (listener_ >= 0) {
    unlink(path_.c_str());
    close(listener_);
    listener_ = -1;
  }
}

void UnixControlChannel::AddPollFds(std::vector<pollfd>& fds) const {
  if (listener_ >= 0) fds.push_back(pollfd{listener_, POLLIN, 0});
  for (const Client& client : clients_) fds.push_back(pollfd{client.fd, POLLIN, 0});
}

void UnixControlChannel::HandleEvents(const std::vector<pollfd>& fds) {
  for (const pollfd& fd : fds) {
    if (fd.revents == 0 || fd.fd == listener_) continue;
    const auto it =
        std::find_if(clients_.begin(), clients_.end(), [&](const Client& client) { return client.fd == fd.fd; });
    if (it != clients_.end() && !Serve(*it)) Drop(fd.fd);
  }
  for (const pollfd& fd : fds)
    if (listener_ >= 0 && fd.fd == listener_ && (fd.revents & POLLIN) != 0) Accept();
}

void UnixControlChannel::Accept() {
  for (;;) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    clients_.push_back(Client{fd, {}});
  }
}

bool UnixControlChannel::Serve(Client& client) {
  char buffer[512];
  const long size = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (size < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (size == 0) return false;
  client.pending.append(buffer, static_cast<std::size_t>(size));
  std::size_t end;
  while ((end = client.pending.find('\n')) != std::string::npos) {
    const std::string line = client.pending.substr(0, end);
    client.pending.erase(0, end + 1);
    if (!SendAll(client.fd, handler_(line) + "\n")) return false;
  }
  return client.pending.size() <= kMaxLineBytes;
}

void UnixControlChannel::Drop(int fd) {
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [fd](const Client& client) { return client.fd == fd; });
  if (it == clients_.end()) return;
  close(it->fd);
  clients_.erase(it);
}

bool SendControlCommand(const std::string& path, const std::string& command, int timeoutMs, std::string& reply,
                        std::string& error) {
  const int fd = unixsocket::Connect(path, SOCK_STREAM, error);
  if (fd < 0) return false;
  bool answered = false;
  if (!SendAll(fd, command + "\n")) {
    error = "the server at " + path + " did not take the command";
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string text;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd readable{fd, POLLIN, 0};
      if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0) {
        error = "no reply from " + path + " within " + std::to_string(timeoutMs) + " ms";
        break;
      }
      char buffer[512];
      const long size = recv(fd, buffer, sizeof buffer, 0);
      if (size <= 0) {
        error = "the server at " + path + " closed the channel without a reply";
        break;
      }
      text.append(buffer, static_cast<std::size_t>(size));
      const std::size_t end = text.find('\n');
      if (end != std::string::npos) {
        reply = text.substr(0, end);
        answered = true;
        break;
      }
    }
  }
  close(fd);
  return answered;
}

int SendControlCommandAndPrint(const char* program, const std::string& path, const std::string& command) {
  constexpr int kReplyTimeoutMs = 10000;
  std::string reply;
  std::string error;
  if (!SendControlCommand(path, command, kReplyTimeoutMs, reply, error)) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 2;
  }
  std::printf("%s\n", reply.c_str());
  return reply.rfind("error", 0) == 0 ? 1 : 0;
}

bool ReadSendArguments(const std::vector<std::string>& args, std::size_t i, std::string& path, std::string& command) {
  if (i + 2 >= args.size()) return false;
  path = args[i + 1];
  command.clear();
  for (std::size_t word = i + 2; word < args.size(); ++word) command += (word == i + 2 ? "" : " ") + args[word];
  return true;
}
