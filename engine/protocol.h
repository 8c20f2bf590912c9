// Wire constants of a Korvid controller in BOOT mode.
//
// Every report is 64 bytes, report ID 0: byte 0 counts the message bytes that
// follow. Every message opens with 0x00, the message kind and a 16-bit
// little-endian payload length.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kReportSize = 64;
constexpr std::size_t kMaxReportMessage = kReportSize - 1;  // 63 bytes after the count byte
constexpr std::size_t kMaxPieceSize = 39;                   // data frames travel in pieces of at most 39 bytes
constexpr std::size_t kFrameBufferSize = 1024;
constexpr std::size_t kFrameHeaderWithData = 7;                                 // 00 16 len len cmd n n
constexpr std::size_t kMaxFrameData = kFrameBufferSize - kFrameHeaderWithData;  // 1017
constexpr std::size_t kMessageHeaderSize = 4;

// Message kinds (message byte 1).
enum : uint8_t {
  MSG_NOP = 0x04,
  MSG_FIRMWARE = 0x16,
  MSG_IDENTITY = 0x19,
  MSG_UPDATE_REQUEST = 0x1A,
  MSG_FILE_ACCEPTED = 0x1C,
  MSG_READ_FAILED = 0x1D,
};

// Firmware commands (frame byte 4, to the controller).
enum : uint8_t {
  SET_FIRMWARE_DATA = 0,
  SET_FIRMWARE_HEADER = 1,
  SET_FIRMWARE_COMPLETE = 2,
  GET_FIRMWARE_VSION = 4,  // also the event code of the version report
};

// Firmware events (message byte 4 of a MSG_FIRMWARE from the controller).
enum : uint8_t {
  FIRMWARE_ACK = 0x14,
  FIRMWARE_FAIL_21 = 0x15,
  FIRMWARE_FAIL_24 = 0x18,
};

// Transport codes passed with every send and every received message.
enum : uint8_t {
  PACKET_TYPE_HID = 0x97,
  PACKET_TYPE_RFCOMM = 0x87,
};

constexpr std::size_t kHidChunkSize = 32;
constexpr std::size_t kRfcommChunkSize = 128;

// MSG_IDENTITY carries the firmware type at message bytes 40..43.
constexpr std::size_t kIdentityFirmwareTypeOffset = 40;

// Controller identifiers in BOOT mode.
constexpr uint16_t kBootVendorIds[] = {0x0483, 0x2DC8};
constexpr uint16_t kBootProductId = 0x5750;
// A controller that left BOOT mode comes back under this product id.
constexpr uint16_t kApplicationProductId = 0x5751;

inline uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
