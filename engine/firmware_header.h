// The firmware file: a 28-byte little-endian header, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

constexpr std::size_t kFirmwareHeaderSize = 28;

struct FIRMWARE_HEADER_T {
  uint16_t version;      // hundredths: 110 is 1.10
  uint16_t beta;         // 0 for a release
  uint32_t headerWord1;  // carried to the controller, not interpreted here
  uint32_t payloadSize;  // payload bytes to send, starting at file offset 28
  uint8_t reserved[16];  // not read
};

FIRMWARE_HEADER_T ParseFirmwareHeader(const uint8_t (&bytes)[kFirmwareHeaderSize]);

// Why a firmware file can or cannot be sent.
enum class FirmwareFileCheck {
  Ok,
  CannotOpen,
  ShortHeader,   // fewer than 28 bytes
  EmptyPayload,  // payloadSize is 0
  ShortPayload,  // the file ends before 28 + payloadSize bytes
};

const char* DescribeFirmwareFileCheck(FirmwareFileCheck check);

// Judges a file from its first bytes (at most 28 are looked at) and its size.
FirmwareFileCheck CheckFirmwareImage(const uint8_t* firstBytes, std::size_t available, uint64_t fileSize);

struct FirmwareFileInfo {
  FirmwareFileCheck check = FirmwareFileCheck::CannotOpen;
  FIRMWARE_HEADER_T header{};
  uint64_t fileSize = 0;
};

// Reads the header of the file at `path` and judges it (one open, one read).
FirmwareFileInfo InspectFirmwareFile(const std::filesystem::path& path);
