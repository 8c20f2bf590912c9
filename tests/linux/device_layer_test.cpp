// The device layer's own parts, without devices: the poll loop's timers,
// stops and signals, the bounded writer against a descriptor that stops
// taking bytes or whose writes the kernel fails, the node opener's retries,
// report descriptors, and the reading of HID_ID.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bounded_writer.h"
#include "hidraw_open.h"
#include "poll_event_loop.h"
#include "report_descriptor.h"
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
  // The write end, for a writer that closes it itself.
  int GiveWriter() {
    const int fd = fds[1];
    fds[1] = -1;
    return fd;
  }
  int fds[2] = {-1, -1};
};

// From now on, in this thread and the threads it starts, the kernel fails
// every write(2) to `fd` with `error`, as it fails a write to a hidraw node
// whose device went or would not take the report.
bool FailWritesTo(int fd, int error) {
#if defined(__x86_64__)
  constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // the low half: a descriptor
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// Runs `body` in a child process of its own (a seccomp filter cannot be
// taken back) and returns the bytes it wrote to the descriptor it is given,
// or "" when it did not finish within `timeoutMs`; the child is killed by
// its id then.
std::string InChild(const std::function<void(int)>& body, int timeoutMs = 10000) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return "";
  const pid_t pid = fork();
  if (pid < 0) return "";
  if (pid == 0) {
    close(report[0]);
    body(report[1]);
    _exit(0);
  }
  close(report[1]);
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd readable{report[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
    char bytes[256];
    const ssize_t n = read(report[0], bytes, sizeof bytes);
    if (n <= 0) break;  // the child is done
    got.append(bytes, static_cast<std::size_t>(n));
  }
  const bool late = std::chrono::steady_clock::now() >= deadline;
  close(report[0]);
  if (late) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (late) return "";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) got += " [the child did not exit cleanly]";
  return got;
}

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
  BoundedWriter writer(pipe.GiveWriter());
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

TEST(BoundedWriter, AFailedWriteMeansGoneOnlyForTheErrorsOfADeviceThatWent) {
  struct Case {
    int error;
    BoundedWriter::Result expected;
  };
  const Case cases[] = {
      {ENODEV, BoundedWriter::Result::Gone},  // the node's device is gone
      {EIO, BoundedWriter::Result::Gone},
      {ESHUTDOWN, BoundedWriter::Result::Gone},
      {EPROTO, BoundedWriter::Result::Gone},  // usbhid, the moment the cable is pulled
      {EPIPE, BoundedWriter::Result::Gone},
      {ETIMEDOUT, BoundedWriter::Result::Failed},  // usbhid gave up on a device that took nothing
      {EINVAL, BoundedWriter::Result::Failed},
      {EMSGSIZE, BoundedWriter::Result::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::strerror(c.error));
    const std::string said = InChild([&](int out) {
      Pipe pipe;
      std::string line = "no filter";
      if (FailWritesTo(pipe.fds[1], c.error)) {
        BoundedWriter writer(pipe.GiveWriter());
        const std::uint8_t report[65] = {};
        const BoundedWriter::Result result = writer.Write(report, sizeof report, 1000);
        line = std::to_string(static_cast<int>(result)) + " " + std::to_string(writer.LastError());
      }
      (void)!write(out, line.data(), line.size());
    });
    EXPECT_EQ(said, std::to_string(static_cast<int>(c.expected)) + " " + std::to_string(c.error));
  }
}

TEST(BoundedWriter, GoesAwayAtOnceWhileAWriteIsStuckAndClosesOnlyOnceTheKernelLetsGo) {
  signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096);
  const int writeEnd = pipe.GiveWriter();
  const std::uint8_t report[65] = {};
  const auto started = std::chrono::steady_clock::now();
  {
    BoundedWriter writer(writeEnd);
    while (writer.Write(report, sizeof report, 100) == BoundedWriter::Result::Written) {
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  // The write is still in the kernel: its descriptor must stay open, or a
  // close on this thread would have waited for the kernel.
  EXPECT_NE(fcntl(writeEnd, F_GETFD), -1) << "closed under a write in progress";

  // Drained, the stuck write ends, and the writer's thread closes the
  // descriptor: the reader then sees the end of the pipe.
  char drain[8192];
  bool ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{pipe.fds[0], POLLIN, 0};
    if (poll(&readable, 1, 1000) <= 0) continue;
    ended = read(pipe.fds[0], drain, sizeof drain) == 0;
  }
  EXPECT_TRUE(ended) << "the writer never closed its descriptor";
}

TEST(BoundedWriter, ASignalStopsTheLoopAndTheProcessEndsWithAWriteStuck) {
  // What Ctrl-C does to korvid-update mid-write: the loop returns, the
  // writer goes, the program exits; nothing waits for the kernel and no
  // thread is left joinable.
  Pipe held;  // its reader never reads: the writer's second report stays in the kernel
  fcntl(held.fds[1], F_SETPIPE_SZ, 4096);
  const std::string said = InChild([&](int out) {
    PollEventLoop::StopOnSignal(SIGINT);
    PollEventLoop loop;
    auto* writer = new BoundedWriter(dup(held.fds[1]));
    const std::uint8_t report[65] = {};
    while (writer->Write(report, sizeof report, 100) == BoundedWriter::Result::Written) {
    }
    loop.After(0, [] { raise(SIGINT); });
    const int signal = loop.Run();
    delete writer;
    const std::string line = "stopped by " + std::to_string(signal);
    (void)!write(out, line.data(), line.size());
    std::exit(0);
  });
  EXPECT_EQ(said, "stopped by " + std::to_string(SIGINT));
}

TEST(NodeOpener, ANodeNotThereYetIsTriedAgainOnlyWhenHeardFromTheKernelAndNotForever) {
  // A regular file stands in for the node: it opens, and then is not
  // hidraw (its HIDIOCGRAWINFO fails), which the result tells apart from a
  // node that never opened.
  struct Case {
    const char* what;
    bool retry;
    int appearsAfterMs;  // -1: never
    bool opened;
  };
  const Case cases[] = {
      {"appears a moment later, heard from the kernel", true, 300, true},
      {"appears a moment later, heard from udev", false, 300, false},
      {"never appears", true, -1, false},
  };
  const std::string folder = testing::TempDir() + "/node-opener-" + std::to_string(getpid());
  ASSERT_EQ(system(("mkdir -p " + folder).c_str()), 0);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = folder + "/hidraw" + std::to_string(n++);
    hiddevice::NodeOpener opener;
    hiddevice::NodeOpener::Request request;
    request.ticket = 7;
    request.path = path;
    request.vendorId = 0x2DC8;
    request.productId = 0x5750;
    request.retry = c.retry;
    const auto asked = std::chrono::steady_clock::now();
    opener.Open(request);
    if (c.appearsAfterMs >= 0) {
      usleep(static_cast<useconds_t>(c.appearsAfterMs) * 1000);
      const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      close(fd);
    }
    std::vector<hiddevice::NodeOpener::Done> done;
    while (done.empty() && std::chrono::steady_clock::now() - asked < std::chrono::seconds(10)) {
      pollfd readable{opener.WakeFd(), POLLIN, 0};
      if (poll(&readable, 1, 1000) > 0) done = opener.TakeDone();
    }
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].ticket, 7u);
    EXPECT_EQ(done[0].node.fd, -1);
    EXPECT_EQ(done[0].node.mismatch, c.opened) << "opened, and found not to be hidraw";
    if (!c.opened) {
      EXPECT_EQ(done[0].node.error, ENOENT);
    }
    if (c.appearsAfterMs < 0) {
      EXPECT_GE(std::chrono::steady_clock::now() - asked,
                std::chrono::milliseconds(hiddevice::NodeOpener::kRetryForMs - 100))
          << "given up before its time";
    }
  }
  (void)!system(("rm -rf " + folder).c_str());
}

TEST(ReportDescriptor, TellsTheUpdateInterfaceFromOtherInterfacesAndSurvivesBadDescriptors) {
  using Bytes = std::vector<std::uint8_t>;
  // A vendor collection with unnumbered 64-byte input and output reports.
  const Bytes vendorHead = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00};
  const Bytes size8count64 = {0x75, 0x08, 0x95, 0x40};
  const Bytes input = {0x09, 0x01, 0x81, 0x02};
  const Bytes output = {0x09, 0x01, 0x91, 0x02};
  const Bytes end = {0xC0};
  const auto join = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  const Bytes vendor = join({vendorHead, size8count64, input, output, end});
  const Bytes keyboard = {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                          0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                          0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                          0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                          0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
  const Bytes genericDesktop64 = join({{0x05, 0x01, 0x09, 0x00, 0xA1, 0x01}, size8count64, input, output, end});
  struct Case {
    const char* what;
    Bytes bytes;
    bool update;
    std::uint64_t inputBits, outputBits;
    bool numbered, truncated;
  };
  const Case cases[] = {
      {"vendor 64/64", vendor, true, 512, 512, false, false},
      {"the usage page in a 4-byte usage",
       join({{0x05, 0x01, 0x0B, 0x01, 0x00, 0x00, 0xFF, 0xA1, 0x01}, size8count64, input, output, end}), true, 512, 512,
       false, false},
      {"a long item first", join({{0xFE, 0x02, 0x10, 0xAA, 0xBB}, vendor}), true, 512, 512, false, false},
      {"two 32-byte inputs make one 64-byte report",
       join({vendorHead, {0x75, 0x08, 0x95, 0x20}, input, input, {0x95, 0x40}, output, end}), true, 512, 512, false,
       false},
      {"push and pop restore the report size",
       join({vendorHead, size8count64, {0xA4, 0x75, 0x01}, {0xB4}, input, output, end}), true, 512, 512, false, false},
      {"keyboard, 8-byte reports", keyboard, false, 0, 0, false, false},
      {"64/64 outside a vendor collection", genericDesktop64, false, 0, 0, false, false},
      {"report IDs present", join({vendorHead, {0x85, 0x01}, size8count64, input, output, end}), false, 512, 512, true,
       false},
      {"output of 32 bytes", join({vendorHead, size8count64, input, {0x95, 0x20}, output, end}), false, 512, 256, false,
       false},
      {"truncated in an item's data", join({vendorHead, size8count64, input, {0x95}}), false, 512, 0, false, true},
      {"truncated in a long item", join({vendorHead, {0xFE, 0x10, 0x00, 0x01}}), false, 0, 0, false, true},
      {"huge sizes saturate",
       join({vendorHead,
             {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF},
             input,
             input,
             input,
             output,
             end}),
       false, std::uint64_t{1} << 40, std::uint64_t{1} << 40, false, false},
      {"end collection without a collection, then items outside", join({end, end, size8count64, input, output}), false,
       0, 0, false, false},
      {"empty", {}, false, 0, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const hiddevice::ReportLayout layout = hiddevice::ParseReportDescriptor(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(hiddevice::IsUpdateInterface(layout), c.update);
    EXPECT_EQ(layout.vendorInputBits, c.inputBits);
    EXPECT_EQ(layout.vendorOutputBits, c.outputBits);
    EXPECT_EQ(layout.numbered, c.numbered);
    EXPECT_EQ(layout.truncated, c.truncated);
  }
  // Deep nesting: more collections than are followed, then the vendor one.
  Bytes deep;
  for (int i = 0; i < 100; ++i) deep.insert(deep.end(), {0x05, 0x01, 0x09, 0x00, 0xA1, 0x00});
  deep.insert(deep.end(), vendor.begin(), vendor.end());
  EXPECT_TRUE(hiddevice::IsUpdateInterface(hiddevice::ParseReportDescriptor(deep.data(), deep.size())));
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

namespace {

TEST(UdevDaemon, RunsOnlyWhereItsControlSocketAnswers) {
  const std::string path = "/tmp/korvid-udev-control-" + std::to_string(getpid());
  unlink(path.c_str());
  EXPECT_FALSE(hiddevice::UdevDaemonRunning(path.c_str())) << "no socket file";

  const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  EXPECT_TRUE(hiddevice::UdevDaemonRunning(path.c_str())) << "a daemon listening";

  close(listener);  // stopped or killed: the file stays behind
  EXPECT_FALSE(hiddevice::UdevDaemonRunning(path.c_str())) << "a socket file left by a daemon that went";
  unlink(path.c_str());
}

}  // namespace

namespace {

// The class directory's entries are links to the nodes, relative as the
// kernel makes them or absolute; anything else in it is no node.
TEST(HidrawListing, FollowsTheClassLinksToTheNodesSyspaths) {
  char pattern[] = "/tmp/korvid-hidraw-class-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path root = pattern;
  const std::filesystem::path classes = root / "class" / "hidraw";
  std::filesystem::create_directories(classes);
  std::filesystem::create_directory_symlink("../../devices/usb1/1-1/0003:2DC8:5750.0001/hidraw/hidraw0",
                                            classes / "hidraw0");
  std::filesystem::create_directory_symlink("/sys/devices/./virtual/../virtual/misc/uhid/hidraw/hidraw1",
                                            classes / "hidraw1");
  std::FILE* stray = std::fopen((classes / "stray").c_str(), "w");
  ASSERT_NE(stray, nullptr);
  std::fclose(stray);
  std::filesystem::create_directory_symlink("../../devices/hidden", classes / ".hidden");

  const std::optional<std::set<std::string>> listed = hiddevice::ListHidrawSyspaths(classes.string());
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(*listed, (std::set<std::string>{root.string() + "/devices/usb1/1-1/0003:2DC8:5750.0001/hidraw/hidraw0",
                                            "/sys/devices/virtual/misc/uhid/hidraw/hidraw1"}));

  EXPECT_EQ(hiddevice::ListHidrawSyspaths((root / "class" / "none").string()), std::set<std::string>{})
      << "no class directory before the first node: no node";
  EXPECT_EQ(hiddevice::ListHidrawSyspaths((classes / "stray").string()), std::nullopt)
      << "a listing that failed is not an empty one";
  std::filesystem::remove_all(root);
}

}  // namespace
