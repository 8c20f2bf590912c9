// Where the two deliverables' engines differ, one implementation each:
// platform_windows.cpp and platform_macos.cpp. The front-end picks one at
// start-up (EngineSetup::platform); the rest of the engine is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "firmware_header.h"
#include "frontend.h"

class PlatformBehaviour {
 public:
  virtual ~PlatformBehaviour() = default;

  // ---- Sends
  virtual Status GeneralError() const = 0;
  virtual bool WriteSucceeded(Status status) const = 0;
  // A whole message on PACKET_TYPE_RFCOMM.
  virtual Status SendStream(DeviceTarget target, const uint8_t* bytes, std::size_t size, bool isCommandFrame) const = 0;
  virtual void TraceFrameSize(std::size_t frameSize) const = 0;
  virtual void TracePieceWritten(std::size_t piece, std::size_t remaining) const = 0;

  // ---- Dispatch
  virtual bool AcceptsFirmwareType(uint32_t type) const = 0;
  virtual void ShowBootModeFailure() const = 0;

  // ---- File choice and confirmation
  virtual std::string FileFilterText() const = 0;
  virtual void FileChoiceCancelled() const = 0;
  virtual ConfirmAnswer AskConfirmation(DeviceTarget target, const FIRMWARE_HEADER_T& header) const = 0;
  virtual void ConfirmationCancelled() const = 0;
  virtual void HeaderSent() const = 0;

  // ---- State machine
  virtual bool PrefixesTraces() const = 0;
  virtual void HandleVersionReport(const uint8_t* payload, uint8_t packetType) const = 0;
  // Leaves `file` at the first payload byte; false if the header is not there.
  virtual bool SkipHeader(std::ifstream& file, uint8_t* buffer) const = 0;
  virtual void TraceProgress(uint32_t percent) const = 0;
  virtual void AfterLastChunk() const = 0;
  virtual void ReportSuccess() const = 0;
  virtual void ReportFailure() const = 0;
};

const PlatformBehaviour& WindowsBehaviour();
const PlatformBehaviour& MacosBehaviour();
