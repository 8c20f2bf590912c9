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

#include "firmware_header.h"
#include "protocol.h"

namespace null_updater {

constexpr unsigned char kUpdateRequest[kReportSize] = {0x05, 0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x00};

// What a report that came in says, by its bytes as the node gives them.
inline bool IsIdentity(const unsigned char* report, std::size_t size) {
  return size >= 5 && report[1] == 0x00 && report[2] == MSG_IDENTITY;
}
// The MSG_FIRMWARE event's code, or -1 for any other report.
inline int FirmwareEvent(const unsigned char* report, std::size_t size) {
  return size >= 6 && report[1] == 0x00 && report[2] == MSG_FIRMWARE ? report[5] : -1;
}

// Every report of the run, kReportSize bytes each; empty when the file is not
// a whole firmware file.
inline std::vector<unsigned char> PreparedReports(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<unsigned char> reports;
  if (file.size() < kFirmwareHeaderSize) return reports;
  const std::size_t payload = ReadLe32(file.data() + 8);
  if (payload == 0 || file.size() < kFirmwareHeaderSize + payload) return reports;
  const auto add = [&reports](std::initializer_list<unsigned char> head, const unsigned char* data, std::size_t size) {
    unsigned char report[kReportSize] = {};
    std::copy(head.begin(), head.end(), report);
    if (size > 0) std::memcpy(report + head.size(), data, size);
    reports.insert(reports.end(), report, report + kReportSize);
  };
  add({0x23, 0x00, MSG_FIRMWARE, 0x1F, 0x00, SET_FIRMWARE_HEADER, 0x1C, 0x00}, file.data(), 12);
  for (std::size_t at = 0; at < payload; at += kHidChunkSize) {
    const auto size = static_cast<unsigned char>(std::min(payload - at, kHidChunkSize));
    add({static_cast<unsigned char>(size + 7), 0x00, MSG_FIRMWARE, static_cast<unsigned char>(size + 3), 0x00,
         SET_FIRMWARE_DATA, size, 0x00},
        file.data() + kFirmwareHeaderSize + at, size);
  }
  add({0x05, 0x00, MSG_FIRMWARE, 0x01, 0x00, SET_FIRMWARE_COMPLETE}, nullptr, 0);
  return reports;
}

}  // namespace null_updater
