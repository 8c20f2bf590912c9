// Firmware files made on the spot, for the runner's default and for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

struct SampleFirmware {
  uint16_t version = 110;
  uint16_t beta = 0;
  uint32_t headerWord1 = 0x4B56'0001;
  std::vector<uint8_t> payload;
  // The payloadSize written in the header; by default the payload's length.
  int64_t announcedSize = -1;
  std::vector<uint8_t> trailing;  // bytes after the payload
};

// A deterministic pseudo-random payload of `size` bytes.
std::vector<uint8_t> MakeSamplePayload(std::size_t size, uint32_t seed = 1);

std::vector<uint8_t> FirmwareFileBytes(const SampleFirmware& firmware);
bool WriteFirmwareFile(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);
