// A Korvid controller in BOOT mode, simulated: it answers the updater's
// reports the way the device does, keeps the image it is sent, injects faults
// at a chosen step and checks every report it receives against the wire rules.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "protocol.h"

using Report = std::array<uint8_t, kReportSize>;

// The steps of an update as the controller sees them: the command it receives.
enum class ControllerStep {
  Version,     // GET_FIRMWARE_VSION
  Identity,    // MSG_UPDATE_REQUEST, answered with MSG_IDENTITY
  Header,      // SET_FIRMWARE_HEADER
  Chunk,       // the Nth SET_FIRMWARE_DATA (N counted from 1)
  Completion,  // SET_FIRMWARE_COMPLETE
};

enum class FaultKind {
  None,
  Fail21,        // answer with failure event 21 instead
  Fail24,        // answer with failure event 24 instead
  Silence,       // receive the command, then answer nothing from here on
  Unplug,        // receive the command, then vanish: no answer, every later write fails
  WriteFailure,  // the updater's write of this command fails (the controller stays)
  DuplicateAck,  // answer twice
  StrayReports,  // send MSG_NOP, an unknown kind and a message not opening with 0x00 first
};

struct FaultPlan {
  FaultKind kind = FaultKind::None;
  ControllerStep step = ControllerStep::Version;
  uint32_t chunk = 0;  // for ControllerStep::Chunk
};

struct ControllerConfig {
  uint16_t vendorId = 0x2DC8;
  uint16_t productId = kBootProductId;
  uint16_t applicationProductId = 0x5751;  // after leaving BOOT mode
  uint16_t version = 100;                  // hundredths
  uint16_t beta = 0;
  bool factoryFirmware = false;  // all-ones version and beta fields
  uint32_t firmwareType = 1;
  // The first this many version requests get no answer; the rest do.
  uint32_t unansweredVersionRequests = 0;
  FaultPlan fault;
};

// The fault's name as an identifier ("Fail21", "Silence", ...), for test names.
const char* FaultName(FaultKind kind);

class SimulatedController {
 public:
  explicit SimulatedController(ControllerConfig config = {});

  // The updater writes one output report. Returns false when the write fails
  // (controller gone, or an injected write failure).
  bool WriteOutputReport(const Report& report);

  // A whole message on a stream link (no count byte, no pieces).
  bool WriteStreamMessage(const uint8_t* bytes, std::size_t size);

  bool HasInput() const { return !input_.empty(); }
  Report PopInput();

  bool Attached() const { return attached_; }
  // The cable is pulled: nothing more is answered and every write fails.
  void Unplug();
  // Plugged in again, in BOOT mode. A fault that already happened does not
  // happen again; what the controller was sent so far stays.
  void Replug();
  bool InBootMode() const { return productId_ == kBootProductId; }
  uint16_t ProductId() const { return productId_; }
  uint16_t VendorId() const { return config_.vendorId; }

  // What the controller was sent.
  bool HeaderReceived() const { return headersReceived_ > 0; }
  uint32_t HeadersReceived() const { return headersReceived_; }
  uint32_t AnnouncedPayloadSize() const { return payloadSize_; }
  uint32_t DataCommandsReceived() const { return dataCommands_; }
  uint32_t CompletionsReceived() const { return completions_; }
  // MSG_READ_FAILED notices: one per read of the updater's that came back empty.
  uint32_t ReadFailedNotices() const { return readFailedNotices_; }
  const std::vector<uint8_t>& Image() const { return image_; }
  bool ImageEquals(const std::vector<uint8_t>& payload) const;
  bool ImageEqualsFilePayload(const std::filesystem::path& firmwareFile) const;

  // Wire rules the updater broke, in words; empty when every report was sound.
  const std::vector<std::string>& Violations() const { return violations_; }

  // A fault injected at the step that just happened, for the runner's report.
  bool FaultFired() const { return faultFired_; }

 private:
  void HandleMessage(const uint8_t* message, std::size_t size);
  void HandleFirmwareCommand(const uint8_t* message, std::size_t size);
  bool FaultAt(ControllerStep step, uint32_t chunk) const;
  void Answer(ControllerStep step, uint32_t chunk, const Report& reply);
  void QueueMessage(const uint8_t* message, std::size_t size);
  void QueueAck();
  void Violation(std::string what);
  void LeaveBootMode();

  ControllerConfig config_;
  std::deque<Report> input_;
  bool attached_ = true;
  bool silent_ = false;
  bool faultFired_ = false;
  uint16_t productId_;

  std::vector<uint8_t> partialFrame_;  // pieces of a data frame still coming
  std::size_t partialFrameSize_ = 0;

  uint32_t headersReceived_ = 0;
  uint32_t payloadSize_ = 0;
  uint32_t dataCommands_ = 0;
  uint32_t completions_ = 0;
  uint32_t readFailedNotices_ = 0;
  uint32_t versionRequests_ = 0;
  std::vector<uint8_t> image_;
  std::vector<std::string> violations_;
};

// The payload of a firmware file: the bytes from offset 28, payloadSize of them
// (or as many as the file holds).
std::vector<uint8_t> ReadFirmwarePayload(const std::filesystem::path& firmwareFile);
