// The round trip of one report through korvid-emulated-controller's hidraw
// node, as a device layer sees it: write 65 bytes (report ID 0 and a version
// request), poll for the answer, read its 64 bytes. Prints the median, p90,
// p99 and the largest of N round trips, in microseconds.
// Usage: umockdev-wrapper korvid-emulated-controller -- korvid_emulated_round_trip [N] [DEVNODE]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
  const char* devnode = argc > 2 ? argv[2] : "/dev/hidraw0";
  if (count < 1) {
    std::fprintf(stderr, "usage: korvid_emulated_round_trip [N] [DEVNODE]\n");
    return 2;
  }
  const int fd = open(devnode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::perror(devnode);
    return 1;
  }
  // Report ID 0, count byte 5, MSG_FIRMWARE with GET_FIRMWARE_VSION.
  unsigned char request[65] = {0x00, 0x05, 0x00, 0x16, 0x01, 0x00, 0x04};
  unsigned char answer[64];
  std::vector<double> microseconds;
  microseconds.reserve(static_cast<std::size_t>(count));
  for (long i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    pollfd readable{fd, POLLIN, 0};
    if (write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request) || poll(&readable, 1, 5000) != 1 ||
        read(fd, answer, sizeof answer) != static_cast<ssize_t>(sizeof answer) || answer[5] != 0x04) {
      std::fprintf(stderr, "round trip %ld failed\n", i);
      return 1;
    }
    microseconds.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  close(fd);
  std::sort(microseconds.begin(), microseconds.end());
  const auto at = [&](double share) {
    return microseconds[std::min(microseconds.size() - 1, static_cast<std::size_t>(share * microseconds.size()))];
  };
  std::printf(
      "%ld round trips (write 65, poll, read 64) on %s: median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n", count,
      devnode, at(0.5), at(0.9), at(0.99), microseconds.back());
  return 0;
}
