// The user's choice of a firmware file and its confirmation.
#include "engine_internal.h"

void BeginTransfer(DeviceTarget target, uint8_t packetType) {
  FirmwareTransfer& transfer = m_handleFirmeWare;
  if (transfer.file.is_open()) transfer.file.close();
  transfer.offset = 0;
  g_firmware_update_state = UPDATE_HEADER_SENT;
  m_updateComplete = false;
  g_run.transferActive = true;
  g_run.payloadComplete = false;
  if (!SendHeaderFrame(target, packetType, m_handleFirmeWare)) {
    ENGINE_TRACE("header command not written\n");
    FailRun(RunOutcome::WriteFailed);
    return;
  }
  WatchdogArm();
  Behaviour().HeaderSent();
}

bool GetUpdateFileName(DeviceTarget target, uint8_t packetType) {
  if (!Started()) return false;
  ENGINE_TRACE("GetUpdateFileName In\n");
  const PlatformBehaviour& platform = Behaviour();
  // A new choice supersedes a confirmation still open: its answer must not
  // start a transfer of a record that this choice is about to refill.
  g_run.confirmationPending = false;

  const std::string filter = platform.FileFilterText();
  const std::optional<std::filesystem::path> chosen = Ui().ChooseFirmwareFile(FileChoiceRequest{filter, "dat"});
  if (!chosen) {
    platform.FileChoiceCancelled();
    return false;
  }
  m_FilePathName = *chosen;
  if (TracingOn()) ENGINE_TRACE("filePath=%s\n", PathForTrace(m_FilePathName).c_str());

  FirmwareTransfer& transfer = m_handleFirmeWare;
  if (transfer.file.is_open()) transfer.file.close();  // a run left unfinished

  const FirmwareFileInfo info = InspectFirmwareFile(m_FilePathName);
  if (info.check != FirmwareFileCheck::Ok) {
    ENGINE_TRACE("%s\n", DescribeFirmwareFileCheck(info.check));
    return false;
  }
  m_firmwareHeader = info.header;
  transfer.fileVersion = static_cast<uint32_t>(info.header.version) | (static_cast<uint32_t>(info.header.beta) << 16);
  transfer.headerWord1 = info.header.headerWord1;
  transfer.payloadSize = info.header.payloadSize;
  transfer.offset = 0;
  ENGINE_TRACE("sizeof(FIRMWARE_HEADER_T) : %lu", static_cast<unsigned long>(kFirmwareHeaderSize));

  // Open before asking: a sheet run as a nested modal loop answers
  // (ConfirmationEnded) before AskConfirmation returns.
  g_run.confirmationPending = true;
  g_run.identityPacketType = packetType;
  bool accepted = false;
  switch (platform.AskConfirmation(target, m_firmwareHeader)) {
    case ConfirmAnswer::Ok:
      g_run.confirmationPending = false;
      BeginTransfer(target, packetType);
      accepted = true;
      break;
    case ConfirmAnswer::Pending:
      // Answered already or still open: either way ConfirmationEnded owns
      // the outcome, and the run must not be closed here.
      accepted = true;
      break;
    case ConfirmAnswer::Cancel:
      g_run.confirmationPending = false;
      platform.ConfirmationCancelled();
      break;
  }
  ENGINE_TRACE("Ret=%d\n", accepted ? 1 : 0);
  return accepted;
}

void ConfirmationEnded(DeviceTarget target, bool ok) {
  if (!Started() || !g_run.confirmationPending) return;  // no sheet of ours is open
  g_run.confirmationPending = false;
  if (!ok) {
    Behaviour().ConfirmationCancelled();
    Close_FirmwareUpdate();
    return;
  }
  // The header goes out on the link the version report came on; without one,
  // on the link the identity came on.
  const bool saved = packet_type_save == PACKET_TYPE_HID || packet_type_save == PACKET_TYPE_RFCOMM;
  BeginTransfer(target, saved ? packet_type_save : g_run.identityPacketType);
}
