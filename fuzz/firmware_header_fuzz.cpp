// The firmware file reader over arbitrary bytes: the verdict on an image
// given its first bytes and size, the header fields, and the same file read
// back from disk.
//
// Input: the whole input is the file's content. When it is longer than the
// header, its last 8 bytes also give another file size (little-endian) to
// judge the same header against.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "firmware_header.h"
#include "protocol.h"

namespace {

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

const std::filesystem::path& ScratchFile() {
  static const std::filesystem::path path = [] {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("korvid_header_fuzz_" + std::to_string(::getpid()) + ".dat");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove(ScratchFile(), ignored);
    });
    return file;
  }();
  return path;
}

bool WriteScratch(const uint8_t* data, size_t size) {
  std::FILE* out = std::fopen(ScratchFile().c_str(), "wb");
  if (out == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
  return std::fclose(out) == 0 && ok;
}

// The verdict worked out apart from the reader: a file must hold its 28-byte
// header and the whole announced payload, and announce at least one byte.
FirmwareFileCheck Expected(const uint8_t* header, std::size_t available, uint64_t fileSize) {
  if (available < kFirmwareHeaderSize || fileSize < kFirmwareHeaderSize) return FirmwareFileCheck::ShortHeader;
  const uint32_t payloadSize = static_cast<uint32_t>(header[8]) | static_cast<uint32_t>(header[9]) << 8 |
                               static_cast<uint32_t>(header[10]) << 16 | static_cast<uint32_t>(header[11]) << 24;
  if (payloadSize == 0) return FirmwareFileCheck::EmptyPayload;
  // In 128 bits: no wrap for a size near 2^64.
  if (static_cast<unsigned __int128>(fileSize) < static_cast<unsigned __int128>(kFirmwareHeaderSize) + payloadSize)
    return FirmwareFileCheck::ShortPayload;
  return FirmwareFileCheck::Ok;
}

void CheckVerdict(const uint8_t* data, std::size_t available, uint64_t fileSize) {
  const FirmwareFileCheck check = CheckFirmwareImage(data, available, fileSize);
  CHECK(check == Expected(data, available, fileSize));
  if (available < kFirmwareHeaderSize) CHECK(check == FirmwareFileCheck::ShortHeader);
  if (check == FirmwareFileCheck::Ok) {
    const uint32_t payloadSize = ReadLe32(data + 8);
    CHECK(payloadSize > 0);
    CHECK(fileSize >= kFirmwareHeaderSize + static_cast<uint64_t>(payloadSize));
  }
  const char* words = DescribeFirmwareFileCheck(check);
  CHECK(words != nullptr && words[0] != '\0');
}

void CheckHeaderFields(const uint8_t* data) {
  uint8_t bytes[kFirmwareHeaderSize];
  for (std::size_t i = 0; i < kFirmwareHeaderSize; ++i) bytes[i] = data[i];
  const FIRMWARE_HEADER_T header = ParseFirmwareHeader(bytes);
  CHECK(header.version == (data[0] | data[1] << 8));
  CHECK(header.beta == (data[2] | data[3] << 8));
  CHECK(header.headerWord1 == ReadLe32(data + 4));
  CHECK(header.payloadSize == ReadLe32(data + 8));
  for (std::size_t i = 0; i < sizeof header.reserved; ++i) CHECK(header.reserved[i] == data[12 + i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool missingChecked = [] {
    // A path that does not exist cannot be opened.
    const FirmwareFileInfo info = InspectFirmwareFile(ScratchFile().string() + ".missing");
    CHECK(info.check == FirmwareFileCheck::CannotOpen);
    return true;
  }();
  (void)missingChecked;

  // The file as it is, and the same file when only the header was read.
  CheckVerdict(data, size, size);
  CheckVerdict(data, size < kFirmwareHeaderSize ? size : kFirmwareHeaderSize, size);
  if (size < kFirmwareHeaderSize) CHECK(CheckFirmwareImage(data, size, size) == FirmwareFileCheck::ShortHeader);

  if (size >= kFirmwareHeaderSize) {
    CheckHeaderFields(data);
    if (size >= kFirmwareHeaderSize + 8) {
      const uint8_t* tail = data + size - 8;
      const uint64_t otherSize = static_cast<uint64_t>(ReadLe32(tail)) | static_cast<uint64_t>(ReadLe32(tail + 4))
                                                                             << 32;
      CheckVerdict(data, kFirmwareHeaderSize, otherSize);
    }
  }

  // Read back from disk: one open, one read of the header, the size from the end.
  if (!WriteScratch(data, size)) return 0;
  const FirmwareFileInfo info = InspectFirmwareFile(ScratchFile());
  CHECK(info.check == CheckFirmwareImage(data, size, size));
  CHECK(info.fileSize == size);
  if (size >= kFirmwareHeaderSize) {
    CHECK(info.header.payloadSize == ReadLe32(data + 8));
    CHECK(info.header.headerWord1 == ReadLe32(data + 4));
    CHECK(info.header.version == ReadLe16(data));
    CHECK(info.header.beta == ReadLe16(data + 2));
  } else {
    CHECK(info.header.payloadSize == 0 && info.header.version == 0);
  }
  return 0;
}
