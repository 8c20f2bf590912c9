#include "sample_firmware.h"

#include <fstream>

#include "firmware_header.h"
#include "protocol.h"

std::vector<uint8_t> MakeSamplePayload(std::size_t size, uint32_t seed) {
  std::vector<uint8_t> payload(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : payload) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return payload;
}

std::vector<uint8_t> FirmwareFileBytes(const SampleFirmware& firmware) {
  std::vector<uint8_t> bytes(kFirmwareHeaderSize, 0);
  WriteLe16(bytes.data() + 0, firmware.version);
  WriteLe16(bytes.data() + 2, firmware.beta);
  WriteLe32(bytes.data() + 4, firmware.headerWord1);
  const auto announced = firmware.announcedSize >= 0 ? static_cast<uint32_t>(firmware.announcedSize)
                                                     : static_cast<uint32_t>(firmware.payload.size());
  WriteLe32(bytes.data() + 8, announced);
  for (std::size_t i = 12; i < kFirmwareHeaderSize; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);  // not read
  bytes.insert(bytes.end(), firmware.payload.begin(), firmware.payload.end());
  bytes.insert(bytes.end(), firmware.trailing.begin(), firmware.trailing.end());
  return bytes;
}

bool WriteFirmwareFile(const std::filesystem::path& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}
