#include "firmware_header.h"

#include <fstream>
#include <system_error>

#include "protocol.h"

FIRMWARE_HEADER_T ParseFirmwareHeader(const uint8_t (&bytes)[kFirmwareHeaderSize]) {
  FIRMWARE_HEADER_T header{};
  header.version = ReadLe16(bytes + 0);
  header.beta = ReadLe16(bytes + 2);
  header.headerWord1 = ReadLe32(bytes + 4);
  header.payloadSize = ReadLe32(bytes + 8);
  for (std::size_t i = 0; i < sizeof header.reserved; ++i) header.reserved[i] = bytes[12 + i];
  return header;
}

const char* DescribeFirmwareFileCheck(FirmwareFileCheck check) {
  switch (check) {
    case FirmwareFileCheck::Ok:
      return "firmware file accepted";
    case FirmwareFileCheck::CannotOpen:
      return "firmware file cannot be opened";
    case FirmwareFileCheck::ShortHeader:
      return "firmware file is shorter than its 28-byte header";
    case FirmwareFileCheck::EmptyPayload:
      return "firmware file announces an empty payload";
    case FirmwareFileCheck::ShortPayload:
      return "firmware file holds fewer bytes than its header announces";
  }
  return "firmware file refused";
}

FirmwareFileCheck CheckFirmwareImage(const uint8_t* firstBytes, std::size_t available, uint64_t fileSize) {
  if (available < kFirmwareHeaderSize || fileSize < kFirmwareHeaderSize) return FirmwareFileCheck::ShortHeader;
  const uint32_t payloadSize = ReadLe32(firstBytes + 8);
  if (payloadSize == 0) return FirmwareFileCheck::EmptyPayload;
  if (fileSize - kFirmwareHeaderSize < payloadSize) return FirmwareFileCheck::ShortPayload;
  return FirmwareFileCheck::Ok;
}

FirmwareFileInfo InspectFirmwareFile(const std::filesystem::path& path) {
  FirmwareFileInfo info;
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) return info;

  uint8_t bytes[kFirmwareHeaderSize] = {};
  file.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  const auto got = static_cast<std::size_t>(file.gcount());

  file.clear();
  file.seekg(0, std::ios::end);
  const auto end = file.tellg();
  info.fileSize = end < 0 ? got : static_cast<uint64_t>(end);

  info.check = CheckFirmwareImage(bytes, got, info.fileSize);
  if (got == kFirmwareHeaderSize) info.header = ParseFirmwareHeader(bytes);
  return info;
}
