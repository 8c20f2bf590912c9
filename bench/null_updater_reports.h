// The reports of one whole update built in advance from a firmware file, for
// the benchmarks' updaters that cost nothing: header, chunks and completion,
// 64 bytes each, in the order they go out.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <vector>

namespace null_updater {

constexpr std::size_t kReport = 64;
constexpr std::size_t kChunk = 32;
constexpr unsigned char kUpdateRequest[kReport] = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};

// What a report that came in says, by its bytes as the node gives them.
constexpr unsigned char kIdentity = 0x19;     // answer to the update request
constexpr unsigned char kAcknowledged = 0x14;  // the MSG_FIRMWARE event of a chunk taken
inline bool IsIdentity(const unsigned char* report, std::size_t size) {
  return size >= 5 && report[1] == 0x00 && report[2] == 0x19;
}
// The MSG_FIRMWARE event's code, or -1 for any other report.
inline int FirmwareEvent(const unsigned char* report, std::size_t size) {
  return size >= 6 && report[1] == 0x00 && report[2] == 0x16 ? report[5] : -1;
}

// Every report of the run, kReport bytes each; empty when the file is not a
// whole firmware file.
inline std::vector<unsigned char> PreparedReports(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<unsigned char> reports;
  if (file.size() < 28) return reports;
  const std::size_t payload = file[8] | file[9] << 8 | file[10] << 16 | static_cast<std::size_t>(file[11]) << 24;
  if (payload == 0 || file.size() < 28 + payload) return reports;
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
  return reports;
}

}  // namespace null_updater
