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
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr std::size_t kReport = 64;
constexpr std::size_t kChunk = 32;

struct Node {
  int fd;
  bool Write(const unsigned char* report) {
    unsigned char numbered[1 + kReport] = {0};
    std::memcpy(numbered + 1, report, kReport);
    return write(fd, numbered, sizeof numbered) == static_cast<ssize_t>(sizeof numbered);
  }
  // The next report that is a MSG_FIRMWARE event or an identity; its event code.
  int Await() {
    unsigned char report[4096];
    for (;;) {
      pollfd readable{fd, POLLIN, 0};
      if (poll(&readable, 1, 10000) != 1) return -1;
      const ssize_t got = read(fd, report, sizeof report);
      if (got < 5) continue;
      if (report[1] == 0x00 && report[2] == 0x19) return 0x19;
      if (report[1] == 0x00 && report[2] == 0x16) return report[5];
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvid_hidraw_null_updater FIRMWARE.dat [DEVNODE]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (file.size() < 28) return 2;
  const std::size_t payload = file[8] | file[9] << 8 | file[10] << 16 | static_cast<std::size_t>(file[11]) << 24;
  if (file.size() < 28 + payload) return 2;

  // Every report of the run, in order: header, chunks, completion.
  std::vector<unsigned char> reports;
  const auto add = [&reports](std::initializer_list<unsigned char> head, const unsigned char* data, std::size_t size) {
    unsigned char report[kReport] = {};
    std::copy(head.begin(), head.end(), report);
    if (size > 0) std::memcpy(report + head.size(), data, size);
    reports.insert(reports.end(), report, report + kReport);
  };
  add({0x23, 0x00, 0x16, 0x1F, 0x00, 0x01, 0x1C, 0x00}, file.data(), 12);
  for (std::size_t at = 0; at < payload; at += kChunk) {
    const auto size = static_cast<unsigned char>(payload - at < kChunk ? payload - at : kChunk);
    add({static_cast<unsigned char>(size + 7), 0x00, 0x16, static_cast<unsigned char>(size + 3), 0x00, 0x00, size, 0x00},
        file.data() + 28 + at, size);
  }
  add({0x05, 0x00, 0x16, 0x01, 0x00, 0x02}, nullptr, 0);
  const unsigned char updateRequest[kReport] = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};

  Node node{open(argc > 2 ? argv[2] : "/dev/hidraw0", O_RDWR | O_NONBLOCK | O_CLOEXEC)};
  if (node.fd < 0) return 1;
  if (!node.Write(updateRequest) || node.Await() != 0x19) return 1;
  for (std::size_t at = 0; at < reports.size(); at += kReport) {
    if (!node.Write(&reports[at])) return 1;
    if (at + kReport < reports.size() && node.Await() != 0x14) return 1;  // the controller's acknowledgement
  }
  close(node.fd);
  return 0;
}
