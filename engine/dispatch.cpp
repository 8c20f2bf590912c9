// Entry of every message from the controller, and the start of an update.
#include "engine_internal.h"

uint32_t firmware_type;

namespace {

void HandleIdentity(DeviceTarget target, uint8_t packetType, const uint8_t* message) {
  ENGINE_TRACE("d_len=%d\n", ReadLe16(message + 2));
  // Once the header went out, the transfer belongs to the controller it runs
  // on: an identity then (a second controller, or a stray one) changes
  // nothing of it.
  if (g_run.transferActive) {
    ENGINE_TRACE("identity ignored: a transfer is running\n");
    return;
  }
  // Read wherever the payload length says: the report always has these bytes.
  firmware_type = ReadLe32(message + kIdentityFirmwareTypeOffset);

  // Before the header, a new identity starts over: the user has the turn
  // until the file is confirmed.
  WatchdogDisarm();
  if (!Behaviour().AcceptsFirmwareType(firmware_type)) {
    Close_FirmwareUpdate();
    Behaviour().ShowBootModeFailure();
    return;
  }
  if (!GetUpdateFileName(target, packetType)) {
    Close_FirmwareUpdate();
    return;
  }
  if (packetType == PACKET_TYPE_RFCOMM) Rfcomm_DriverCmd(target, packetType, MSG_FILE_ACCEPTED, 0);
}

}  // namespace

void OnDataReceived(DeviceTarget target, uint8_t packetType, const uint8_t* message, uint16_t) {
  if (!Started()) return;
  ENGINE_TRACE("OnDataReceived In\n");
  if (message == nullptr || message[0] != 0x00) return;
  switch (message[1]) {
    case MSG_IDENTITY:
      if (!g_run.transferActive) WatchdogHeard();
      HandleIdentity(target, packetType, message);
      return;
    case MSG_FIRMWARE:
      WatchdogHeard();
      Handle_FirmwareUpdateEvent(target, packetType, message + kMessageHeaderSize,
                                 kMaxReportMessage - kMessageHeaderSize);
      return;
    default:  // MSG_NOP and unknown kinds
      return;
  }
}

bool RequestFirmwareUpdate(DeviceTarget target, uint8_t packetType) {
  if (!Started()) return false;
  const Status status = Rfcomm_DriverCmd(target, packetType, MSG_UPDATE_REQUEST, 0);
  const bool written = packetType == PACKET_TYPE_HID ? Behaviour().WriteSucceeded(status) : status > 0;
  if (written) {
    m_updateComplete = false;
    WatchdogArm();  // the controller owes its identity
  }
  return written;
}

void ControllerRemoved() {
  if (!Started()) return;
  const bool runActive = !m_updateComplete || g_run.confirmationPending;
  g_run.confirmationPending = false;  // a sheet still open can no longer start anything
  if (!runActive) return;
  ENGINE_TRACE("the controller went away during the update\n");
  FailRun(RunOutcome::ControllerRemoved);
}
