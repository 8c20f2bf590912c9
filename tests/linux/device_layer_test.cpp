// The device layer's own parts, without devices: the poll loop's timers,
// stops and signals, the bounded writer against a descriptor that stops
// taking bytes, and the reading of HID_ID.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bounded_writer.h"
#include "poll_event_loop.h"
#include "udev_hidraw.h"

namespace {

using hiddevice::BoundedWriter;
using hiddevice::PollEventLoop;

struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  void CloseReader() {
    close(fds[0]);
    fds[0] = -1;
  }
  int fds[2] = {-1, -1};
};

TEST(PollEventLoop, TimersRunByDueTimeThenOrderAskedAndStopEndsRun) {
  PollEventLoop loop;
  std::vector<std::string> ran;
  loop.After(30, [&] { ran.push_back("30"); });
  loop.After(0, [&] { ran.push_back("0a"); });
  loop.After(0, [&] {
    ran.push_back("0b");
    loop.After(0, [&] { ran.push_back("0c asked from 0b"); });
  });
  loop.After(10, [&] { ran.push_back("10"); });
  loop.After(40, [&] { loop.Stop(); });
  loop.After(1000, [&] { ran.push_back("after the stop"); });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, (std::vector<std::string>{"0a", "0b", "0c asked from 0b", "10", "30"}));
}

TEST(PollEventLoop, ReadableDescriptorsAndUnwatchFromTheirOwnHandler) {
  PollEventLoop loop;
  Pipe first, second;
  int firstCalls = 0, secondCalls = 0;
  loop.Watch(first.fds[0], [&] {
    ++firstCalls;
    char byte;
    (void)!read(first.fds[0], &byte, 1);
    loop.Unwatch(first.fds[0]);  // the next byte must not call again
  });
  loop.Watch(second.fds[0], [&] {
    ++secondCalls;
    loop.Stop();
  });
  ASSERT_EQ(write(first.fds[1], "ab", 2), 2);
  loop.After(20, [&] { ASSERT_EQ(write(second.fds[1], "c", 1), 1); });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(secondCalls, 1);
}

TEST(PollEventLoop, ASignalEndsRunWithItsNumberAlsoWhenItCameBefore) {
  ASSERT_TRUE(PollEventLoop::StopOnSignal(SIGUSR1));
  PollEventLoop loop;
  loop.After(10, [] { raise(SIGUSR1); });
  EXPECT_EQ(loop.Run(), SIGUSR1);

  raise(SIGUSR1);  // before the loop runs: the next Run() reports it at once
  bool timerRan = false;
  loop.After(5000, [&] { timerRan = true; });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(loop.Run(), SIGUSR1);
  EXPECT_FALSE(timerRan);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
  signal(SIGUSR1, SIG_DFL);
}

TEST(BoundedWriter, WritesGivesUpAfterTheBoundAndTellsAGoneReader) {
  signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096);
  BoundedWriter writer(pipe.fds[1]);
  std::uint8_t report[65] = {0, 0x05};
  ASSERT_EQ(writer.Write(report, sizeof report, 1000), BoundedWriter::Result::Written);
  char got[65];
  ASSERT_EQ(read(pipe.fds[0], got, sizeof got), 65);
  EXPECT_EQ(got[1], 0x05);

  // The reader stops taking bytes: once the pipe is full, a write blocks in
  // the kernel and is given up after the bound, and so is the next at once.
  BoundedWriter::Result result = BoundedWriter::Result::Written;
  for (int i = 0; i < 200 && result == BoundedWriter::Result::Written; ++i)
    result = writer.Write(report, sizeof report, 300);
  ASSERT_EQ(result, BoundedWriter::Result::Failed);
  EXPECT_EQ(writer.LastError(), ETIMEDOUT);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(writer.Write(report, sizeof report, 1000), BoundedWriter::Result::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500)) << "no second wait";

  // The reader drains: the stuck write finishes, later ones go through.
  char drain[8192];
  while (read(pipe.fds[0], drain, sizeof drain) == static_cast<ssize_t>(sizeof drain)) {
  }
  result = BoundedWriter::Result::Failed;
  for (int i = 0; i < 100 && result != BoundedWriter::Result::Written; ++i) {
    usleep(10000);
    result = writer.Write(report, sizeof report, 1000);
  }
  EXPECT_EQ(result, BoundedWriter::Result::Written);

  pipe.CloseReader();
  EXPECT_EQ(writer.Write(report, sizeof report, 1000), BoundedWriter::Result::Gone);
}

TEST(BoundedWriter, GoesAwayWhileAWriteIsStuckWithoutWaitingForIt) {
  signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096);
  const std::uint8_t report[65] = {};
  const auto started = std::chrono::steady_clock::now();
  {
    BoundedWriter writer(pipe.fds[1]);
    while (writer.Write(report, sizeof report, 100) == BoundedWriter::Result::Written) {
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  pipe.CloseReader();  // lets the stuck write end, so the thread frees itself
}

TEST(HidId, ReadsBusVendorAndProductAndRefusesWhatIsNotOne) {
  struct Case {
    const char* text;
    bool ok;
    std::uint16_t bus, vendor, product;
  };
  const Case cases[] = {
      {"0003:00002DC8:00005750", true, 3, 0x2DC8, 0x5750},
      {"0005:00000483:00005750", true, 5, 0x0483, 0x5750},
      {"0003:2dc8:5751", true, 3, 0x2DC8, 0x5751},
      {"0003:00012DC8:00005750", false, 0, 0, 0},  // wider than 16 bits
      {"0003:00002DC8", false, 0, 0, 0},
      {"0003:00002DC8:00005750:1", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {nullptr, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "null" : c.text);
    std::uint16_t bus = 0, vendor = 0, product = 0;
    EXPECT_EQ(hiddevice::ParseHidId(c.text, bus, vendor, product), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(bus, c.bus);
    EXPECT_EQ(vendor, c.vendor);
    EXPECT_EQ(product, c.product);
  }
}

}  // namespace
