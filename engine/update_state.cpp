// The update state machine: each FIRMWARE_ACK from the controller brings the
// next step of the transfer. The controller sets the pace; at most one chunk
// is in flight and nothing is sent on the engine's own initiative.
#include <algorithm>
#include <limits>

#include "engine_internal.h"

int32_t g_firmware_update_state;
FirmwareTransfer m_handleFirmeWare;
FIRMWARE_HEADER_T m_firmwareHeader;
std::filesystem::path m_FilePathName;
std::atomic<bool> m_updateComplete{true};
uint32_t cur_devVersion;
uint8_t packet_type_save;
bool alertok_flag;
int32_t deviceUpgradedCount;

namespace {

std::size_t ChunkSize(uint8_t packetType) {
  switch (packetType) {
    case PACKET_TYPE_HID:
      return kHidChunkSize;
    case PACKET_TYPE_RFCOMM:
      return kRfcommChunkSize;
    default:
      return 0;
  }
}

// Reads and sends the next chunk. A read that comes back shorter than what
// the payload still owes (the file shrank, or a read error) ends the run
// through the failure path instead of sending a short or empty chunk.
// Returns the bytes sent, or -1 when the run was ended.
long SendNextChunk(DeviceTarget target, uint8_t packetType, std::size_t chunkSize) {
  FirmwareTransfer& transfer = m_handleFirmeWare;
  transfer.file.read(reinterpret_cast<char*>(transfer.buffer), static_cast<std::streamsize>(chunkSize));
  const auto got = static_cast<std::size_t>(transfer.file.gcount());

  const uint32_t owed = transfer.offset < transfer.payloadSize ? transfer.payloadSize - transfer.offset : 0;
  if (got < std::min<std::size_t>(chunkSize, owed)) {
    ENGINE_TRACE("firmware file ended early: read %d of %d bytes at offset 0x%x\n", static_cast<int>(got),
                 static_cast<int>(std::min<std::size_t>(chunkSize, owed)), transfer.offset);
    FailRun(RunOutcome::FirmwareFileFailed);
    return -1;
  }

  // A chunk that did not reach the controller would leave a hole in its
  // image; the run ends rather than going on past it.
  if (!SendFirmwareFrame(target, packetType, SET_FIRMWARE_DATA, transfer.buffer, static_cast<int32_t>(got)).written) {
    ENGINE_TRACE("chunk at offset 0x%x not written\n", transfer.offset);
    FailRun(RunOutcome::WriteFailed);
    return -1;
  }
  // Saturates rather than wrapping past 4 GiB, so the end test cannot be skipped.
  const uint64_t advanced = static_cast<uint64_t>(transfer.offset) + got;
  transfer.offset = static_cast<uint32_t>(std::min<uint64_t>(advanced, std::numeric_limits<uint32_t>::max()));
  return static_cast<long>(got);
}

void FirstAcknowledgement(DeviceTarget target, uint8_t packetType, std::size_t chunkSize) {
  FirmwareTransfer& transfer = m_handleFirmeWare;
  if (transfer.file.is_open()) transfer.file.close();
  transfer.file.clear();
  transfer.file.open(m_FilePathName, std::ios::binary);
  if (!transfer.file.is_open()) {  // moved or deleted since it was confirmed
    ENGINE_TRACE("firmware file cannot be opened any more\n");
    FailRun(RunOutcome::FirmwareFileFailed);
    return;
  }

  g_firmware_update_state = UPDATE_SENDING_DATA;
  if (!Behaviour().SkipHeader(transfer.file, transfer.buffer)) {
    ENGINE_TRACE("firmware file lost its header\n");
    FailRun(RunOutcome::FirmwareFileFailed);
    return;
  }
  ENGINE_TRACE("update file is 0x%x\n", transfer.payloadSize);
  SendNextChunk(target, packetType, chunkSize);
}

void FurtherAcknowledgement(DeviceTarget target, uint8_t packetType, std::size_t chunkSize) {
  FirmwareTransfer& transfer = m_handleFirmeWare;
  const long sent = SendNextChunk(target, packetType, chunkSize);
  if (sent < 0) return;
  ENGINE_TRACE("\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n\n", static_cast<int>(sent), transfer.offset);

  // 64-bit, so exact for any offset; an untrimmed last chunk may pass the
  // payload's end, and the bar never shows more than 100.
  const uint64_t percent =
      transfer.payloadSize == 0 ? 100 : static_cast<uint64_t>(transfer.offset) * 100 / transfer.payloadSize;
  const auto shown = static_cast<uint32_t>(std::min<uint64_t>(percent, 100));
  Behaviour().TraceProgress(shown);
  Ui().ShowProgress(shown);

  if (transfer.offset < transfer.payloadSize) return;

  transfer.file.close();
  g_firmware_update_state = UPDATE_DATA_SENT;
  g_run.payloadComplete = true;
  Behaviour().AfterLastChunk();
  ENGINE_TRACE("update successful\n");
}

void FinalAcknowledgement(DeviceTarget target, uint8_t packetType) {
  // The controller may rely on the completion command, so every
  // acknowledgement at rest gets it; success is told once per transfer
  // whose payload went out.
  const bool written = SendFirmwareFrame(target, packetType, SET_FIRMWARE_COMPLETE, nullptr, 0).written;
  if (!g_run.payloadComplete) return;
  g_run.payloadComplete = false;
  if (!written) {  // the controller never heard that the update is complete
    ENGINE_TRACE("completion command not written\n");
    FailRun(RunOutcome::WriteFailed);
    return;
  }
  EndRun();
  Ui().RunEnding(RunOutcome::Updated);
  Behaviour().ReportSuccess();
}

void Acknowledgement(DeviceTarget target, uint8_t packetType) {
  const std::size_t chunkSize = ChunkSize(packetType);
  switch (g_firmware_update_state) {
    case UPDATE_HEADER_SENT:
    case UPDATE_SENDING_DATA:
      // Only a confirmed transfer that is still going takes chunks: a late
      // acknowledgement after a failure, the watchdog, a new update request
      // or a new file choice must not resume an ended transfer.
      if (!g_run.transferActive || chunkSize == 0) return;
      if (g_firmware_update_state == UPDATE_HEADER_SENT)
        FirstAcknowledgement(target, packetType, chunkSize);
      else
        FurtherAcknowledgement(target, packetType, chunkSize);
      return;
    case UPDATE_DATA_SENT:
      FinalAcknowledgement(target, packetType);
      return;
    default:  // before start-up
      return;
  }
}

}  // namespace

void Handle_FirmwareUpdateEvent(DeviceTarget target, uint8_t packetType, const uint8_t* payload, std::size_t size) {
  if (!Started() || payload == nullptr || size == 0) return;
  switch (payload[0]) {
    case GET_FIRMWARE_VSION:
      if (size >= 7) Behaviour().HandleVersionReport(payload, packetType);
      return;
    case FIRMWARE_ACK:
      Acknowledgement(target, packetType);
      return;
    case FIRMWARE_FAIL_21:
    case FIRMWARE_FAIL_24:
      Firmware_UpdateError();
      return;
    default:
      return;
  }
}

void EndRun() {
  g_run.transferActive = false;
  m_updateComplete = true;
  WatchdogDisarm();
}

void Close_FirmwareUpdate() {
  if (!Started()) return;
  if (m_handleFirmeWare.file.is_open()) m_handleFirmeWare.file.close();
  EndRun();
}

void FailRun(RunOutcome why) {
  if (!Started()) return;
  Close_FirmwareUpdate();
  g_run.payloadComplete = false;  // a failed transfer is never reported as done
  Ui().RunEnding(why);
  Behaviour().ReportFailure();
}

// The failure event's path; every other failure comes through FailRun.
void Firmware_UpdateError() { FailRun(RunOutcome::ControllerFailed); }

void updateInit() {
  if (!Started()) return;
  FirmwareTransfer& transfer = m_handleFirmeWare;
  if (transfer.file.is_open()) transfer.file.close();
  transfer.file.clear();
  std::fill(std::begin(transfer.buffer), std::end(transfer.buffer), 0);
  transfer.fileVersion = 0;
  transfer.payloadSize = 0;
  transfer.headerWord1 = 0;
  transfer.offset = 0;
  m_firmwareHeader = FIRMWARE_HEADER_T{};
  g_run.payloadComplete = false;
  g_run.confirmationPending = false;
  EndRun();
}
