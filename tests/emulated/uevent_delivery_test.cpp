// The emulator's uevent sends to a program's monitor socket, made the way
// umockdev's testbed makes them (connect, then a non-blocking send): a
// monitor closed under the send, and a monitor whose queue is full.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace std::string_literals;

sockaddr_un AddressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

int BoundMonitor(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  return fd;
}

int ConnectedSender(const sockaddr_un& address) {
  const int fd = socket(AF_UNIX, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  return fd;
}

class UeventDelivery : public ::testing::Test {
 protected:
  ssize_t SendUevent(int fd, sockaddr_un& address) {
    iovec part{const_cast<char*>(kUevent.data()), kUevent.size()};
    msghdr message{};
    message.msg_name = &address;  // and its length left 0, as umockdev leaves it
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    return sendmsg(fd, &message, 0);
  }

  void SetUp() override {
    char pattern[] = "/tmp/korvid-uevent-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  const std::string kUevent = "libudev\0ACTION=remove"s;
  std::filesystem::path dir_;
};

// umockdev names a monitor's socket after its descriptor's number: a program
// closing one monitor and opening another binds the same name again.
TEST_F(UeventDelivery, AMonitorClosedUnderTheSendIsDroppedAndTheOneBoundAfterItHearsTheNext) {
  auto address = AddressOf(dir_ / "event7");
  const int closed = BoundMonitor(address);
  const int stale = ConnectedSender(address);
  close(closed);
  unlink(address.sun_path);
  const int monitor = BoundMonitor(address);

  EXPECT_EQ(SendUevent(stale, address), static_cast<ssize_t>(kUevent.size()));
  const int sender = ConnectedSender(address);
  EXPECT_EQ(SendUevent(sender, address), static_cast<ssize_t>(kUevent.size()));
  char got[64] = {};
  EXPECT_EQ(recv(monitor, got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(kUevent.size()));
  for (const int fd : {stale, sender, monitor}) close(fd);
}

TEST_F(UeventDelivery, AFullMonitorGetsTheUeventOnceItReadsAgain) {
  auto address = AddressOf(dir_ / "event2");
  const int monitor = BoundMonitor(address);
  const int sender = ConnectedSender(address);
  int queued = 0;
  while (send(sender, "x", 1, MSG_DONTWAIT) == 1) ++queued;
  ASSERT_EQ(errno, EAGAIN);

  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    char byte;
    for (int i = 0; i < queued; ++i) ASSERT_EQ(recv(monitor, &byte, 1, 0), 1);
  });
  const ssize_t sent = SendUevent(sender, address);
  reader.join();

  EXPECT_EQ(sent, static_cast<ssize_t>(kUevent.size()));
  char got[64] = {};
  EXPECT_EQ(recv(monitor, got, sizeof got, MSG_DONTWAIT), static_cast<ssize_t>(kUevent.size()));
  EXPECT_EQ(std::string(got, kUevent.size()), kUevent);
  close(sender);
  close(monitor);
}

TEST_F(UeventDelivery, OtherSocketsKeepTheirErrors) {
  auto address = AddressOf(dir_ / "control");
  const int peer = BoundMonitor(address);
  const int sender = ConnectedSender(address);
  close(peer);

  EXPECT_EQ(SendUevent(sender, address), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "control"));
  close(sender);
}

}  // namespace
