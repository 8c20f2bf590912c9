// The update engine: the entry points a front-end calls, the operations the
// engine runs, and its process-wide records.
//
// All state is process-wide and unlocked: one update runs at a time, and the
// engine is entered by one thread at a time (see frontend.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>

#include "firmware_header.h"
#include "frontend.h"

// ---- Entry points for the front-end -------------------------------------

// Start-up: binds the front-end, chooses the platform's behaviour, clears the
// records (updateInit) and, unless the setup says otherwise, puts the state
// machine at rest (UPDATE_DATA_SENT). Every other entry point does nothing
// until this has been called once: a report, tick or request that comes
// first is ignored.
void EngineStartUp(const EngineSetup& setup);

// The front-end is going away: a firmware file still open is closed and the
// front-end is unbound, so every entry point is ignored again until the next
// EngineStartUp. Call it once no other thread can enter the engine.
void EngineShutDown();

// Every input report from the served controller: the message from report
// byte 1 on and the report's count byte as length.
void OnDataReceived(DeviceTarget target, uint8_t packetType, const uint8_t* message, uint16_t length);

// The user pressed the update button: sends MSG_UPDATE_REQUEST, marks a run
// as active and starts waiting for the controller's identity. True when the
// request was written; false leaves no run active.
bool RequestFirmwareUpdate(DeviceTarget target, uint8_t packetType);

// The outcome of an asynchronous confirmation (macOS sheet): ok sends the
// header command on the packet type of the last version report. The answer
// may come before AskConfirmation has returned (a sheet run as a nested modal
// loop) or any time after; an answer to a confirmation that is no longer open
// (superseded, or its run ended) is ignored.
void ConfirmationEnded(DeviceTarget target, bool ok);

// The controller that serves the update went away (unplugged, or no matching
// controller remains). A run in progress, a confirmation still open included,
// ends at once through the failure path; otherwise nothing happens.
void ControllerRemoved();

// The front-end's clock, in milliseconds from any fixed origin. Fed
// regularly (every 100 ms suits the transfer's pace) so that a controller that
// stops answering ends the run instead of leaving it waiting for ever.
void WatchdogTick(uint64_t nowMs);

// A controller was attached (macOS clears the records and the success flag
// on every accepted attachment).
void updateInit();
void ControllerAttached();

// True once EngineStartUp has bound a front-end.
bool EngineStarted();

// ---- Sends (report framing) ---------------------------------------------

Status SendFirmwarePacket(DeviceTarget target, uint8_t packetType, uint8_t cmd, const uint8_t* data, int32_t length);
void Send_FirmwareDataPacket(DeviceTarget target, uint8_t packetType, const uint8_t* data, int32_t length);
struct FirmwareTransfer;
void SendFirmwareHeader(DeviceTarget target, uint8_t packetType, const FirmwareTransfer& transfer);
Status Rfcomm_DriverCmd(DeviceTarget target, uint8_t packetType, uint8_t kind, uint8_t value);

// ---- Dispatch, file choice, state machine -------------------------------

bool GetUpdateFileName(DeviceTarget target, uint8_t packetType);
void Handle_FirmwareUpdateEvent(DeviceTarget target, uint8_t packetType, const uint8_t* payload, std::size_t size);
void Firmware_UpdateError();
void Close_FirmwareUpdate();

// ---- Process-wide records -----------------------------------------------

enum : int32_t {
  UPDATE_HEADER_SENT = 1,
  UPDATE_SENDING_DATA = 2,
  UPDATE_DATA_SENT = 3,
};

constexpr uint32_t VERSION_UNKNOWN = 0x5A5A5A5A;

struct FirmwareTransfer {
  std::ifstream file;  // open only while the payload is being sent
  uint8_t buffer[kRfcommChunkSize];
  uint32_t fileVersion;  // header word 0: version and beta
  uint32_t payloadSize;  // header word 2
  uint32_t headerWord1;  // header word 1
  uint32_t offset;       // payload bytes sent in this run
};

extern int32_t g_firmware_update_state;
extern FirmwareTransfer m_handleFirmeWare;
extern FIRMWARE_HEADER_T m_firmwareHeader;
extern std::filesystem::path m_FilePathName;
extern std::atomic<bool> m_updateComplete;  // true while no run is active
extern uint32_t cur_devVersion;             // macOS: the 16-bit version field only
extern uint8_t packet_type_save;
extern uint32_t firmware_type;
extern bool alertok_flag;
extern int32_t deviceUpgradedCount;
extern uint8_t usb_send_packet[kReportSize];
extern uint8_t usb_rev_packet[kReportSize];
