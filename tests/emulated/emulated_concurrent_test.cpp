// Programs at the same time on the nodes of korvid-emulated-controller, as
// a device layer meets them: each program opens every controller's node,
// and hidraw gives every descriptor open on a node each input report.
// Concurrent.* runs under an emulator with four controllers.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "hidraw_client.h"
#include "protocol.h"

namespace {

constexpr std::size_t kControllers = 4;

std::string Node(std::size_t k) { return "/dev/hidraw" + std::to_string(k); }

// A descriptor is a reader once its first call has been answered (umockdev
// takes a program's connection some time after its open returned).
void Attend(HidrawFile& file) {
  hidraw_devinfo info{};
  ASSERT_EQ(ioctl(file.Fd(), HIDIOCGRAWINFO, &info), 0);
}

// One program of several: it holds every controller's node open and, once
// `go` closes, makes `trips` round trips with controller `own` while it reads
// whatever the other nodes give. Returns 0, or the step that failed.
int RoundTrips(std::size_t own, int ready, int go, int trips) {
  std::vector<std::unique_ptr<HidrawFile>> files;
  std::vector<pollfd> fds;
  for (std::size_t k = 0; k < kControllers; ++k) {
    files.push_back(std::make_unique<HidrawFile>(Node(k)));
    hidraw_devinfo info{};
    // A reader from its first answered call on (see Attend).
    if (files.back()->Fd() < 0 || ioctl(files.back()->Fd(), HIDIOCGRAWINFO, &info) != 0) return 2;
    fds.push_back(pollfd{files.back()->Fd(), POLLIN, 0});
  }
  char byte = 'r';
  if (write(ready, &byte, 1) != 1 || read(go, &byte, 1) != 0) return 3;
  int answers = 0;
  for (int trip = 0; trip < trips; ++trip) {
    if (files[own]->Write(VersionRequest()) != 65) return 4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventTimeoutMs);
    while (answers == trip) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0) return 5;
      for (std::size_t k = 0; k < kControllers; ++k) {
        if ((fds[k].revents & POLLIN) == 0) continue;
        uint8_t report[kReportSize];
        ssize_t got;
        while ((got = files[k]->Read(report, sizeof report)) > 0) {
          if (got != static_cast<ssize_t>(kReportSize) || report[5] != GET_FIRMWARE_VSION) return 6;
          if (k == own) ++answers;
        }
        // With several readers on a node, poll may also wake a reader while
        // only another has a report: its read then finds nothing.
        if (got == 0 || errno != EAGAIN) return 7;
      }
    }
    if (answers != trip + 1) return 8;  // an answer came twice
  }
  return 0;
}

// Stops, by their pids, the programs that have not been waited for.
struct Programs {
  std::vector<pid_t> pids;
  ~Programs() {
    for (pid_t pid : pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(Concurrent, ProgramsHoldingEveryNodeEachExchangeReportsWithTheirOwnAtOnce) {
  constexpr int kTrips = 300;
  int ready[2];
  int go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  Programs programs;
  for (std::size_t own = 0; own < kControllers; ++own) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ready[0]);
      close(go[1]);
      _exit(RoundTrips(own, ready[1], go[0], kTrips));
    }
    programs.pids.push_back(pid);
  }
  close(ready[1]);
  close(go[0]);
  for (std::size_t k = 0; k < kControllers; ++k) {
    pollfd readable{ready[0], POLLIN, 0};
    char byte;
    ASSERT_TRUE(poll(&readable, 1, kEventTimeoutMs) == 1 && read(ready[0], &byte, 1) == 1)
        << "a program did not open every node";
  }
  close(ready[0]);
  for (std::size_t k = 1; k <= kControllers; ++k)
    EXPECT_EQ(StatusField(Control("status " + std::to_string(k)), "open"), std::to_string(kControllers));
  const auto start = std::chrono::steady_clock::now();
  close(go[1]);  // all of them start at once

  // Each program's own waits are bounded; this bounds the whole, by their ends.
  std::vector<pollfd> ends;
  for (pid_t pid : programs.pids) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(fd, 0);
    ends.push_back(pollfd{fd, POLLIN, 0});
  }
  const auto deadline = start + std::chrono::seconds(40);
  for (std::size_t ended = 0; ended < ends.size();) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ASSERT_GT(poll(ends.data(), ends.size(), static_cast<int>(std::max<long long>(left.count(), 0))), 0)
        << "the programs did not end";
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (ends[i].fd < 0 || (ends[i].revents & POLLIN) == 0) continue;
      int status = 0;
      ASSERT_EQ(waitpid(programs.pids[i], &status, 0), programs.pids[i]);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << Node(i) << "'s program failed at step " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      close(ends[i].fd);
      ends[i].fd = -1;
      programs.pids[i] = 0;
      ++ended;
    }
  }
  programs.pids.clear();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu programs, %d round trips each with its own controller: %.2f s\n", kControllers, kTrips, seconds);
  for (std::size_t k = 1; k <= kControllers; ++k) {
    const std::string stats = Control("stats " + std::to_string(k));
    EXPECT_EQ(StatusField(stats, "reports"), std::to_string(kTrips)) << stats;
  }
}

TEST(Concurrent, EveryDescriptorOpenOnANodeGetsEachReportAndTakesOnlyItsOwn) {
  HidrawFile first(Node(1));
  HidrawFile second(Node(1));
  ASSERT_NO_FATAL_FAILURE(Attend(first));
  ASSERT_NO_FATAL_FAILURE(Attend(second));
  ASSERT_EQ(first.Write(VersionRequest()), 65);
  const std::optional<Report> answer = first.Answer();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(FirmwareEvent(*answer), GET_FIRMWARE_VSION);
  uint8_t report[kReportSize];
  errno = 0;
  EXPECT_EQ(first.Read(report, sizeof report), -1) << "a reader took the other's copy";
  EXPECT_EQ(errno, EAGAIN);
  // A descriptor opened now starts with nothing.
  HidrawFile late(Node(1));
  ASSERT_NO_FATAL_FAILURE(Attend(late));
  const std::optional<Report> copy = second.Answer();
  ASSERT_TRUE(copy.has_value()) << "the second reader did not get the report";
  EXPECT_EQ(*copy, *answer);
  EXPECT_FALSE(late.Readable(0));
  EXPECT_FALSE(first.Readable(0)) << "poll shows a report that every reader has taken";
  EXPECT_EQ(StatusField(Control("status 2"), "queued"), "0");
}

TEST(Concurrent, AnAnswerIsNotThereYetWhenItsWriteReturns) {
  // usbhid's write returns as the device takes the report, and the device
  // answers after that: right after a write returns, its answer is mostly
  // still on its way. An answer queued before the write's result went back
  // would be readable on another descriptor every single time.
  constexpr int kTrips = 100;
  // One after the other: the emulator tells a connection's end by what is
  // new when umockdev takes it, which two opened at once may blur.
  HidrawFile writer(Node(2));
  ASSERT_NO_FATAL_FAILURE(Attend(writer));
  HidrawFile watcher(Node(2));
  ASSERT_NO_FATAL_FAILURE(Attend(watcher));
  int notYet = 0;
  for (int trip = 0; trip < kTrips; ++trip) {
    ASSERT_EQ(writer.Write(VersionRequest()), 65);
    if (!watcher.Readable(0)) ++notYet;
    ASSERT_TRUE(watcher.Answer().has_value()) << "trip " << trip;
    ASSERT_TRUE(writer.Answer().has_value()) << "trip " << trip;
  }
  std::printf("answers not yet readable as their write returned: %d of %d\n", notYet, kTrips);
  EXPECT_GT(notYet, 0);
}

}  // namespace
