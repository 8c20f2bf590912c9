// Framing of everything the updater sends: firmware command frames, the
// one-byte messages, and their cutting into 64-byte reports.
#include <cstring>

#include "engine_internal.h"

uint8_t usb_send_packet[kReportSize];
uint8_t usb_rev_packet[kReportSize];

namespace {

// Before start-up nothing is written and there is no platform convention
// yet; no front-end sends before it has started the engine.
constexpr Status kNotStartedStatus = -1;

// One output report: count byte, message bytes, zeros after them (no stale
// bytes of an earlier report ever reach the controller).
Status WriteReportBytes(DeviceTarget target, const uint8_t* bytes, std::size_t count) {
  std::memset(usb_send_packet, 0, sizeof usb_send_packet);
  usb_send_packet[0] = static_cast<uint8_t>(count);
  std::memcpy(usb_send_packet + 1, bytes, count);
  return Ui().WriteReport(target, usb_send_packet);
}

}  // namespace

FrameResult SendFirmwareFrame(DeviceTarget target, uint8_t packetType, uint8_t cmd, const uint8_t* data,
                              int32_t length) {
  if (!Started()) return FrameResult{kNotStartedStatus, false};
  const PlatformBehaviour& platform = Behaviour();
  const FrameResult refused{platform.GeneralError(), false};
  if (length > static_cast<int32_t>(kMaxFrameData) || (length > 0 && data == nullptr)) return refused;

  uint8_t frame[kFrameBufferSize];
  std::size_t frameSize;
  frame[0] = 0x00;
  frame[1] = MSG_FIRMWARE;
  if (length > 0) {
    const auto n = static_cast<uint16_t>(length);
    WriteLe16(frame + 2, static_cast<uint16_t>(n + 3));
    frame[4] = cmd;
    WriteLe16(frame + 5, n);
    std::memcpy(frame + kFrameHeaderWithData, data, n);
    frameSize = n + kFrameHeaderWithData;
  } else {
    frame[2] = 0x01;
    frame[3] = 0x00;
    frame[4] = cmd;
    frameSize = 5;
  }

  if (packetType == PACKET_TYPE_RFCOMM) {
    const Status status = platform.SendStream(target, frame, frameSize, true);
    return FrameResult{status, status == static_cast<Status>(frameSize)};
  }
  if (packetType != PACKET_TYPE_HID) return refused;

  platform.TraceFrameSize(frameSize);
  if (cmd != SET_FIRMWARE_DATA) {
    // Commands other than data go in a single report and must fit in it.
    if (frameSize > kMaxReportMessage) return refused;
    ENGINE_TRACE("SendFirmwarePacket cmd %d\n", cmd);
    const Status status = WriteReportBytes(target, frame, frameSize);
    return FrameResult{status, platform.WriteSucceeded(status)};
  }

  // Data frames go in pieces of at most 39 bytes; the message header at the
  // start of the first piece gives the length of the whole frame.
  std::size_t offset = 0;
  std::size_t remaining = frameSize;
  while (remaining > 0) {
    const std::size_t piece = remaining <= kMaxPieceSize ? remaining : kMaxPieceSize;
    if (!platform.WriteSucceeded(WriteReportBytes(target, frame + offset, piece))) {
      ENGINE_TRACE("WriteHid error\n");
      return refused;  // the rest of the frame is dropped, never retried
    }
    offset += piece;
    remaining -= piece;
    platform.TracePieceWritten(piece, remaining);
  }
  // The split path reports the general error even when every piece went out;
  // `written` tells the truth.
  return FrameResult{platform.GeneralError(), true};
}

Status SendFirmwarePacket(DeviceTarget target, uint8_t packetType, uint8_t cmd, const uint8_t* data, int32_t length) {
  return SendFirmwareFrame(target, packetType, cmd, data, length).status;
}

void Send_FirmwareDataPacket(DeviceTarget target, uint8_t packetType, const uint8_t* data, int32_t length) {
  SendFirmwareFrame(target, packetType, SET_FIRMWARE_DATA, data, length);
}

bool SendHeaderFrame(DeviceTarget target, uint8_t packetType, const FirmwareTransfer& transfer) {
  uint8_t header[kFirmwareHeaderSize] = {};  // bytes 12..27 stay zero
  WriteLe32(header + 0, transfer.fileVersion);
  WriteLe32(header + 4, transfer.headerWord1);
  WriteLe32(header + 8, transfer.payloadSize);
  return SendFirmwareFrame(target, packetType, SET_FIRMWARE_HEADER, header, static_cast<int32_t>(sizeof header))
      .written;
}

void SendFirmwareHeader(DeviceTarget target, uint8_t packetType, const FirmwareTransfer& transfer) {
  SendHeaderFrame(target, packetType, transfer);
}

Status Rfcomm_DriverCmd(DeviceTarget target, uint8_t packetType, uint8_t kind, uint8_t value) {
  if (!Started()) return kNotStartedStatus;
  const uint8_t message[5] = {0x00, kind, 0x01, 0x00, value};
  if (packetType == PACKET_TYPE_RFCOMM) return Behaviour().SendStream(target, message, sizeof message, false);
  if (packetType != PACKET_TYPE_HID) return Behaviour().GeneralError();
  return WriteReportBytes(target, message, sizeof message);
}
