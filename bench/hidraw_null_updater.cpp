// An updater that costs nothing, for the benchmarks' floor: it drives one
// whole update through a hidraw node with reports built in advance, reading
// each answer and writing the next report at once (no engine, no progress,
// no allocation after the start). What a real updater takes beyond this is
// its own cost.
// Usage: korvid_hidraw_null_updater FIRMWARE.dat [DEVNODE]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "null_updater_reports.h"

namespace {

struct Node {
  int fd;
  bool Write(const unsigned char* report) {
    unsigned char numbered[1 + kReportSize] = {0};
    std::memcpy(numbered + 1, report, kReportSize);
    return write(fd, numbered, sizeof numbered) == static_cast<ssize_t>(sizeof numbered);
  }
  // The next report that is a MSG_FIRMWARE event or an identity; its event code.
  int Await() {
    unsigned char report[4096];
    for (;;) {
      pollfd readable{fd, POLLIN, 0};
      if (poll(&readable, 1, 10000) != 1) return -1;
      const ssize_t got = read(fd, report, sizeof report);
      if (got < 0) continue;
      if (null_updater::IsIdentity(report, static_cast<std::size_t>(got))) return MSG_IDENTITY;
      const int event = null_updater::FirmwareEvent(report, static_cast<std::size_t>(got));
      if (event >= 0) return event;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvid_hidraw_null_updater FIRMWARE.dat [DEVNODE]\n");
    return 2;
  }
  const std::vector<unsigned char> reports = null_updater::PreparedReports(argv[1]);
  if (reports.empty()) return 2;

  Node node{open(argc > 2 ? argv[2] : "/dev/hidraw0", O_RDWR | O_NONBLOCK | O_CLOEXEC)};
  if (node.fd < 0) return 1;
  if (!node.Write(null_updater::kUpdateRequest) || node.Await() != MSG_IDENTITY) return 1;
  for (std::size_t at = 0; at < reports.size(); at += kReportSize) {
    if (!node.Write(&reports[at])) return 1;
    if (at + kReportSize < reports.size() && node.Await() != FIRMWARE_ACK) return 1;
  }
  close(node.fd);
  return 0;
}
