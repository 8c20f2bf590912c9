// The control channel's line protocol, with a real Unix socket: the way the
// tests reach the emulated controller and the gadget bridge.
#include "unix_control_channel.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "unix_socket_file.h"

namespace {

using Clock = std::chrono::steady_clock;

// Short: a socket path has at most 107 bytes.
class SocketDir {
 public:
  SocketDir() {
    char pattern[] = "/tmp/kvctl-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~SocketDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(UnixControlChannelTest, AnswersEachLineInOrderAndSurvivesClientsThatGoAway) {
  SocketDir dir;
  const std::string path = dir.Path() + "/c.control";
  std::vector<std::string> seen;
  UnixControlChannel channel([&](const std::string& line) {
    seen.push_back(line);
    return "echo " + line;
  });
  std::string error;
  ASSERT_TRUE(channel.Open(path, error)) << error;

  std::atomic<bool> stop{false};
  std::string replyOne, replyTwo, clientError;
  bool okOne = false, okTwo = false;
  std::thread client([&] {
    okOne = SendControlCommand(path, "status", 2000, replyOne, clientError);
    {
      // A client that leaves in the middle of a line.
      std::string ignored;
      const int fd = unixsocket::Connect(path, SOCK_STREAM, ignored);
      if (fd >= 0) {
        send(fd, "half a li", 9, MSG_NOSIGNAL);
        close(fd);
      }
    }
    okTwo = SendControlCommand(path, "image /tmp/x", 2000, replyTwo, clientError);
    stop = true;
  });
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!stop && Clock::now() < deadline) {
    std::vector<pollfd> fds;
    channel.AddPollFds(fds);
    if (poll(fds.data(), fds.size(), 5) > 0) channel.HandleEvents(fds);
  }
  client.join();
  EXPECT_TRUE(okOne && okTwo) << clientError;
  EXPECT_EQ(replyOne, "echo status");
  EXPECT_EQ(replyTwo, "echo image /tmp/x");
  EXPECT_EQ(seen, (std::vector<std::string>{"status", "image /tmp/x"})) << "an unended line is not a command";

  channel.Close();
  EXPECT_FALSE(std::filesystem::exists(path));
  std::string reply;
  EXPECT_FALSE(SendControlCommand(path, "status", 200, reply, error));
}

}  // namespace
