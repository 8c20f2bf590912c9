// The controller's device as a Unix socket, with real sockets: what a
// front-end's device source meets when it connects, writes and reads, and
// when the device goes away; and the control channel's line protocol.
#include "unix_socket_link.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "protocol.h"
#include "unix_control_channel.h"
#include "unix_hid_protocol.h"
#include "unix_socket_file.h"

namespace {

using Clock = std::chrono::steady_clock;

uint64_t NowUs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

// A short folder of its own: socket paths are limited to 107 bytes.
class SocketDir {
 public:
  SocketDir() {
    char pattern[] = "/tmp/kvlink-XXXXXX";
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

// A front-end's end of the device.
class DeviceClient {
 public:
  explicit DeviceClient(const std::string& path) {
    std::string error;
    fd_ = unixsocket::Connect(path, SOCK_SEQPACKET, error);
    EXPECT_GE(fd_, 0) << error;
  }
  ~DeviceClient() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connected() const { return fd_ >= 0; }

  // One packet, waiting at most `timeoutMs`; nullopt on time-out, an empty
  // string when the server closed the connection.
  std::optional<std::string> Receive(int timeoutMs = 2000) {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, timeoutMs) <= 0) return std::nullopt;
    char buffer[unixhid::kMaxDescriptorBytes];
    const long size = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (size <= 0) return std::string();
    return std::string(buffer, static_cast<std::size_t>(size));
  }
  void Write(const Report& report) { ASSERT_EQ(send(fd_, report.data(), report.size(), 0), 64); }
  // False when the write would wait.
  bool WriteAtOnce(const Report& report) { return send(fd_, report.data(), report.size(), MSG_DONTWAIT) == 64; }
  void Close() {
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

Report VersionRequest() {
  Report report{};
  const uint8_t message[] = {0x05, 0x00, MSG_FIRMWARE, 0x01, 0x00, GET_FIRMWARE_VSION};
  std::copy(std::begin(message), std::end(message), report.begin());
  return report;
}

Report Numbered(uint32_t n) {
  Report report{};
  WriteLe32(report.data(), n);
  return report;
}

class UnixSocketLinkTest : public testing::Test {
 protected:
  UnixSocketLinkTest()
      : link_(dir_.Path(), "pad", [this](const Report& report) { service_->OnOutputReport(report, NowUs()); }) {}

  void Serve(ServiceOptions options = {}) {
    service_.emplace(options, link_);
    service_->Start(NowUs());
  }

  // The server's event loop, for at most `limitMs` or until `done`.
  void Pump(const std::function<bool()>& done, int limitMs = 2000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done() && Clock::now() < deadline) {
      if (service_) service_->Poll(NowUs());
      std::vector<pollfd> fds;
      link_.AddPollFds(fds);
      if (poll(fds.data(), fds.size(), 5) > 0) link_.HandleEvents(fds);
    }
  }
  void PumpFor(int ms) {
    Pump([] { return false; }, ms);
  }

  SocketDir dir_;
  UnixSocketLink link_;
  std::optional<ControllerService> service_;
};

TEST_F(UnixSocketLinkTest, FrontEndReadsTheDescriptorAndGetsAnswersToItsReportsOnEveryConnection) {
  Serve();
  struct stat info;
  ASSERT_EQ(lstat((dir_.Path() + "/pad.hid").c_str(), &info), 0) << "the device file appears at start";
  EXPECT_TRUE(S_ISSOCK(info.st_mode));

  DeviceClient first(link_.SocketPath());
  DeviceClient second(link_.SocketPath());
  Pump([&] { return link_.Connections() == 2; });
  for (DeviceClient* client : {&first, &second}) {
    const std::optional<std::string> packet = client->Receive();
    ASSERT_TRUE(packet.has_value()) << "the descriptor comes first";
    unixhid::Descriptor descriptor;
    ASSERT_TRUE(unixhid::ParseDescriptor(*packet, descriptor)) << *packet;
    EXPECT_EQ(descriptor.vendorId, 0x2DC8u);
    EXPECT_EQ(descriptor.productId, 0x5750u);
    EXPECT_FALSE(descriptor.product.empty());
  }

  first.Write(VersionRequest());
  Pump([&] { return service_->Stats().reportsTaken > 0; });
  for (DeviceClient* client : {&first, &second}) {
    const std::optional<std::string> answer = client->Receive();
    ASSERT_TRUE(answer.has_value()) << "every connection gets every input report";
    ASSERT_EQ(answer->size(), 64u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(answer->data());
    EXPECT_EQ(bytes[2], MSG_FIRMWARE);
    EXPECT_EQ(bytes[5], GET_FIRMWARE_VSION);
    EXPECT_EQ(ReadLe16(bytes + 8), 100) << "the controller's version, 1.00";
  }
}

TEST_F(UnixSocketLinkTest, UnplugClosesEveryConnectionAndRemovesTheFileAndAttachBringsItBack) {
  Serve();
  DeviceClient client(link_.SocketPath());
  Pump([&] { return link_.Connections() == 1; });
  ASSERT_TRUE(client.Receive().has_value());

  EXPECT_EQ(service_->Control("unplug", NowUs()), "ok unplugged");
  EXPECT_EQ(client.Receive(), std::string()) << "an open handle ends";
  EXPECT_FALSE(std::filesystem::exists(link_.SocketPath()));
  std::string error;
  EXPECT_LT(unixsocket::Connect(link_.SocketPath(), SOCK_SEQPACKET, error), 0);

  EXPECT_EQ(service_->Control("attach", NowUs()), "ok attached");
  DeviceClient again(link_.SocketPath());
  ASSERT_TRUE(again.Connected());
  Pump([&] { return link_.Connections() == 1; });
  EXPECT_TRUE(again.Receive().has_value());
}

TEST_F(UnixSocketLinkTest, UnplugFaultTriggeredByAReportEndsTheDeviceWhileItsEventsAreHandled) {
  ServiceOptions options;
  options.controller.fault = FaultPlan{FaultKind::Unplug, ControllerStep::Version, 0};
  Serve(options);
  DeviceClient client(link_.SocketPath());
  Pump([&] { return link_.Connections() == 1; });
  ASSERT_TRUE(client.Receive().has_value());
  client.Write(VersionRequest());
  client.Write(VersionRequest());  // still queued when the device goes
  Pump([&] { return !link_.Present(); });
  EXPECT_FALSE(link_.Present());
  EXPECT_EQ(link_.Connections(), 0u);
  EXPECT_EQ(client.Receive(), std::string());
  EXPECT_FALSE(std::filesystem::exists(link_.SocketPath()));
}

TEST_F(UnixSocketLinkTest, ADeviceThatStoppedReadingTakesNothingUntilAFrontEndsWritesWait) {
  Serve();
  DeviceClient client(link_.SocketPath());
  Pump([&] { return link_.Connections() == 1; });
  link_.StopReading();
  int written = 0;
  while (client.WriteAtOnce(VersionRequest())) ASSERT_LT(++written, 100000) << "the writes never came to wait";
  PumpFor(50);
  EXPECT_EQ(service_->Stats().reportsTaken, 0u);
  client.Close();
  Pump([&] { return link_.Connections() == 0; });
  EXPECT_EQ(link_.Connections(), 0u) << "a front-end that goes is let go, its reports unread";
}

TEST_F(UnixSocketLinkTest, AFrontEndThatStopsReadingLosesOnlyItsOldestReportsAndHoldsNobodyBack) {
  ASSERT_TRUE(link_.Appear(DeviceIdentity{0x2DC8, 0x5750}));
  DeviceClient stalled(link_.SocketPath());
  DeviceClient reader(link_.SocketPath());
  Pump([&] { return link_.Connections() == 2; });
  ASSERT_TRUE(stalled.Receive().has_value());
  ASSERT_TRUE(reader.Receive().has_value());

  constexpr uint32_t kReports = 3000;
  uint32_t expected = 0;
  for (uint32_t n = 0; n < kReports; ++n) {
    link_.SendInput(Numbered(n));
    while (std::optional<std::string> packet = reader.Receive(0)) {
      ASSERT_EQ(packet->size(), 64u);
      ASSERT_EQ(ReadLe32(reinterpret_cast<const uint8_t*>(packet->data())), expected++);
    }
  }
  EXPECT_EQ(expected, kReports) << "the reading front-end got every report, in order";
  EXPECT_GT(link_.DroppedReports(), 0u);

  // The stalled one reads at last: what it gets is in order and ends with the latest.
  uint32_t last = 0;
  bool first = true;
  std::size_t received = 0;
  for (;;) {
    std::optional<std::string> packet = stalled.Receive(50);
    if (!packet) {
      PumpFor(20);  // the backlog drains as room appears
      packet = stalled.Receive(50);
      if (!packet) break;
    }
    const uint32_t n = ReadLe32(reinterpret_cast<const uint8_t*>(packet->data()));
    if (!first) {
      ASSERT_GT(n, last);
    }
    first = false;
    last = n;
    ++received;
  }
  EXPECT_EQ(last, kReports - 1);
  EXPECT_LT(received, kReports);
}

TEST_F(UnixSocketLinkTest, LeftoverSocketFileIsReplacedButALiveDeviceIsNot) {
  {
    // A server killed without cleaning up leaves a socket nobody listens on.
    std::string error;
    const std::string path = dir_.Path() + "/pad.hid";
    const int fd = unixsocket::Listen(path, SOCK_SEQPACKET, error);
    ASSERT_GE(fd, 0) << error;
    close(fd);
    ASSERT_TRUE(std::filesystem::exists(path));
  }
  ASSERT_TRUE(link_.Appear(DeviceIdentity{0x2DC8, 0x5750})) << link_.LastError();

  UnixSocketLink rival(dir_.Path(), "pad", [](const Report&) {});
  EXPECT_FALSE(rival.Appear(DeviceIdentity{0x0483, 0x5750}));
  EXPECT_NE(rival.LastError().find("another server"), std::string::npos) << rival.LastError();
  EXPECT_TRUE(std::filesystem::exists(link_.SocketPath())) << "the live device keeps its file";
  DeviceClient client(link_.SocketPath());
  Pump([&] { return link_.Connections() == 1; });
  unixhid::Descriptor descriptor;
  const std::optional<std::string> packet = client.Receive();
  ASSERT_TRUE(packet && unixhid::ParseDescriptor(*packet, descriptor));
  EXPECT_EQ(descriptor.vendorId, 0x2DC8u) << "still the first server's device";
}

TEST_F(UnixSocketLinkTest, ATooLongSocketPathIsRefusedWithAReason) {
  UnixSocketLink deep(dir_.Path() + "/" + std::string(120, 'd'), "pad", [](const Report&) {});
  EXPECT_FALSE(deep.Appear(DeviceIdentity{0x2DC8, 0x5750}));
  EXPECT_NE(deep.LastError().find("107 bytes"), std::string::npos) << deep.LastError();
}

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
