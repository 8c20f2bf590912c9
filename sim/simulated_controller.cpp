#include "simulated_controller.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "firmware_header.h"

namespace {

constexpr std::size_t kIdentityPayloadSize = 40;

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::None:
      return "None";
    case FaultKind::Fail21:
      return "Fail21";
    case FaultKind::Fail24:
      return "Fail24";
    case FaultKind::Silence:
      return "Silence";
    case FaultKind::Unplug:
      return "Unplug";
    case FaultKind::WriteFailure:
      return "WriteFailure";
    case FaultKind::DuplicateAck:
      return "DuplicateAck";
    case FaultKind::StrayReports:
      return "StrayReports";
  }
  return "?";
}

SimulatedController::SimulatedController(ControllerConfig config) : config_(config), productId_(config.productId) {
  if (config_.factoryFirmware) {
    config_.version = 0xFFFF;
    config_.beta = 0xFFFF;
  }
}

Report SimulatedController::PopInput() {
  Report report = input_.front();
  input_.pop_front();
  return report;
}

void SimulatedController::Violation(std::string what) { violations_.push_back(std::move(what)); }

bool SimulatedController::FaultAt(ControllerStep step, uint32_t chunk) const {
  const FaultPlan& fault = config_.fault;
  if (fault.kind == FaultKind::None || faultFired_ || fault.step != step) return false;
  return step != ControllerStep::Chunk || fault.chunk == chunk;
}

void SimulatedController::QueueMessage(const uint8_t* message, std::size_t size) {
  Report report{};
  report[0] = static_cast<uint8_t>(size);
  std::memcpy(report.data() + 1, message, size);
  input_.push_back(report);
}

void SimulatedController::QueueAck() {
  const uint8_t ack[] = {0x00, MSG_FIRMWARE, 0x01, 0x00, FIRMWARE_ACK};
  QueueMessage(ack, sizeof ack);
}

// Sends the step's reply, bent by the fault planned for this step.
void SimulatedController::Answer(ControllerStep step, uint32_t chunk, const Report& reply) {
  const bool hasReply = reply[0] != 0;
  if (silent_) return;
  if (!FaultAt(step, chunk)) {
    if (hasReply) input_.push_back(reply);
    return;
  }
  faultFired_ = true;
  switch (config_.fault.kind) {
    case FaultKind::Fail21:
    case FaultKind::Fail24: {
      const uint8_t event = config_.fault.kind == FaultKind::Fail21 ? FIRMWARE_FAIL_21 : FIRMWARE_FAIL_24;
      const uint8_t failure[] = {0x00, MSG_FIRMWARE, 0x01, 0x00, event};
      QueueMessage(failure, sizeof failure);
      return;
    }
    case FaultKind::Silence:
      silent_ = true;
      return;
    case FaultKind::Unplug:
      silent_ = true;
      attached_ = false;
      return;
    case FaultKind::DuplicateAck:
      if (hasReply) {
        input_.push_back(reply);
        input_.push_back(reply);
      }
      return;
    case FaultKind::StrayReports: {
      const uint8_t nop[] = {0x00, MSG_NOP, 0x00, 0x00};
      const uint8_t unknown[] = {0x00, 0x33, 0x01, 0x00, FIRMWARE_ACK};
      const uint8_t notZero[] = {0x01, MSG_FIRMWARE, 0x01, 0x00, FIRMWARE_ACK};
      const uint8_t unknownEvent[] = {0x00, MSG_FIRMWARE, 0x01, 0x00, 0x77};
      QueueMessage(nop, sizeof nop);
      QueueMessage(unknown, sizeof unknown);
      QueueMessage(notZero, sizeof notZero);
      QueueMessage(unknownEvent, sizeof unknownEvent);
      if (hasReply) input_.push_back(reply);
      return;
    }
    case FaultKind::None:
    case FaultKind::WriteFailure:  // handled before the command was taken in
      if (hasReply) input_.push_back(reply);
      return;
  }
}

bool SimulatedController::WriteOutputReport(const Report& report) {
  if (!attached_ || !InBootMode()) return false;

  const std::size_t count = report[0];
  if (count == 0 || count > kMaxReportMessage) {
    Violation("report count byte " + std::to_string(count) + " outside 1..63");
    return true;
  }
  for (std::size_t i = count + 1; i < kReportSize; ++i) {
    if (report[i] != 0) {
      Violation("stale byte " + Hex(report[i]) + " after the count at report byte " + std::to_string(i));
      break;
    }
  }
  const uint8_t* bytes = report.data() + 1;

  if (!partialFrame_.empty()) {  // the next piece of a split data frame
    if (count > kMaxPieceSize) Violation("data frame piece of " + std::to_string(count) + " bytes (at most 39)");
    partialFrame_.insert(partialFrame_.end(), bytes, bytes + count);
    if (partialFrame_.size() > partialFrameSize_) {
      Violation("data frame pieces overrun the frame's length");
      partialFrame_.clear();
      return true;
    }
    if (partialFrame_.size() == partialFrameSize_) {
      std::vector<uint8_t> frame;
      frame.swap(partialFrame_);
      HandleMessage(frame.data(), frame.size());
    }
    return true;
  }

  // A write failure planned for this step: the command never arrives.
  if (config_.fault.kind == FaultKind::WriteFailure && !faultFired_ && count >= 5 && bytes[0] == 0x00) {
    ControllerStep step = ControllerStep::Version;
    bool known = true;
    uint32_t chunk = 0;
    if (bytes[1] == MSG_UPDATE_REQUEST) {
      step = ControllerStep::Identity;
    } else if (bytes[1] == MSG_FIRMWARE) {
      switch (bytes[4]) {
        case GET_FIRMWARE_VSION:
          step = ControllerStep::Version;
          break;
        case SET_FIRMWARE_HEADER:
          step = ControllerStep::Header;
          break;
        case SET_FIRMWARE_DATA:
          step = ControllerStep::Chunk;
          chunk = dataCommands_ + 1;
          break;
        case SET_FIRMWARE_COMPLETE:
          step = ControllerStep::Completion;
          break;
        default:
          known = false;
      }
    } else {
      known = false;
    }
    if (known && FaultAt(step, chunk)) {
      faultFired_ = true;
      return false;
    }
  }

  if (count >= kMessageHeaderSize && bytes[0] == 0x00 && bytes[1] == MSG_FIRMWARE) {
    const std::size_t frameSize = ReadLe16(bytes + 2) + kMessageHeaderSize;
    if (frameSize > count) {
      if (count < 5 || bytes[4] != SET_FIRMWARE_DATA) {
        Violation("command frame of " + std::to_string(frameSize) + " bytes split across reports");
        return true;
      }
      if (count > kMaxPieceSize) Violation("data frame piece of " + std::to_string(count) + " bytes (at most 39)");
      partialFrameSize_ = frameSize;
      partialFrame_.assign(bytes, bytes + count);
      return true;
    }
  }
  HandleMessage(bytes, count);
  return true;
}

bool SimulatedController::WriteStreamMessage(const uint8_t* bytes, std::size_t size) {
  if (!attached_ || !InBootMode()) return false;
  HandleMessage(bytes, size);
  return true;
}

void SimulatedController::HandleMessage(const uint8_t* message, std::size_t size) {
  if (size < kMessageHeaderSize || message[0] != 0x00) {
    Violation("message does not open with a message header");
    return;
  }
  const uint8_t kind = message[1];
  switch (kind) {
    case MSG_FIRMWARE:
      HandleFirmwareCommand(message, size);
      return;
    case MSG_UPDATE_REQUEST:
    case MSG_FILE_ACCEPTED:
    case MSG_READ_FAILED: {
      const uint8_t expected[] = {0x00, kind, 0x01, 0x00, 0x00};
      if (size != sizeof expected || std::memcmp(message, expected, size) != 0)
        Violation("one-byte message of kind " + Hex(kind) + " is malformed");
      if (kind == MSG_READ_FAILED) ++readFailedNotices_;
      if (kind != MSG_UPDATE_REQUEST) return;  // nothing to answer
      uint8_t identity[kMessageHeaderSize + kIdentityPayloadSize] = {0x00, MSG_IDENTITY};
      WriteLe16(identity + 2, kIdentityPayloadSize);
      WriteLe32(identity + kIdentityFirmwareTypeOffset, config_.firmwareType);
      Report reply{};
      reply[0] = sizeof identity;
      std::memcpy(reply.data() + 1, identity, sizeof identity);
      Answer(ControllerStep::Identity, 0, reply);
      return;
    }
    default:
      Violation("message of unknown kind " + Hex(kind));
  }
}

void SimulatedController::HandleFirmwareCommand(const uint8_t* message, std::size_t size) {
  if (size < 5) {
    Violation("firmware command frame shorter than 5 bytes");
    return;
  }
  const uint16_t payloadLength = ReadLe16(message + 2);
  const uint8_t command = message[4];
  const uint8_t* data = nullptr;
  std::size_t dataLength = 0;
  if (size == 5) {
    if (payloadLength != 1) Violation("frame without data announces payload length " + std::to_string(payloadLength));
  } else if (size >= 7) {
    dataLength = ReadLe16(message + 5);
    data = message + 7;
    if (payloadLength != dataLength + 3 || size != dataLength + 7)
      Violation("frame lengths disagree: payload " + std::to_string(payloadLength) + ", data " +
                std::to_string(dataLength) + ", frame " + std::to_string(size));
    dataLength = std::min(dataLength, size - 7);
  } else {
    Violation("firmware command frame of 6 bytes");
    return;
  }

  Report ack{};
  ack[0] = 5;
  const uint8_t ackMessage[] = {0x00, MSG_FIRMWARE, 0x01, 0x00, FIRMWARE_ACK};
  std::memcpy(ack.data() + 1, ackMessage, sizeof ackMessage);

  switch (command) {
    case GET_FIRMWARE_VSION: {
      if (versionRequests_++ < config_.unansweredVersionRequests) return;
      uint8_t versionReport[11] = {0x00, MSG_FIRMWARE, 0x07, 0x00, GET_FIRMWARE_VSION};
      WriteLe16(versionReport + 7, config_.version);
      WriteLe16(versionReport + 9, config_.beta);
      Report reply{};
      reply[0] = sizeof versionReport;
      std::memcpy(reply.data() + 1, versionReport, sizeof versionReport);
      Answer(ControllerStep::Version, 0, reply);
      return;
    }
    case SET_FIRMWARE_HEADER:
      if (dataLength != kFirmwareHeaderSize) {
        Violation("header command carries " + std::to_string(dataLength) + " bytes, not 28");
        return;
      }
      for (std::size_t i = 12; i < kFirmwareHeaderSize; ++i) {
        if (data[i] != 0) {
          Violation("header command byte " + std::to_string(i) + " is not zero");
          break;
        }
      }
      ++headersReceived_;
      payloadSize_ = ReadLe32(data + 8);
      dataCommands_ = 0;
      image_.clear();
      Answer(ControllerStep::Header, 0, ack);
      return;
    case SET_FIRMWARE_DATA: {
      if (!HeaderReceived()) Violation("data command before the header command");
      ++dataCommands_;
      const std::size_t room = payloadSize_ > image_.size() ? payloadSize_ - image_.size() : 0;
      const std::size_t kept = std::min(room, dataLength);
      if (kept > 0) image_.insert(image_.end(), data, data + kept);
      Answer(ControllerStep::Chunk, dataCommands_, ack);
      return;
    }
    case SET_FIRMWARE_COMPLETE: {
      const bool rejected = FaultAt(ControllerStep::Completion, 0) &&
                            (config_.fault.kind == FaultKind::Fail21 || config_.fault.kind == FaultKind::Fail24);
      Answer(ControllerStep::Completion, 0, Report{});
      if (rejected) return;
      ++completions_;
      if (!silent_) LeaveBootMode();
      return;
    }
    default:
      Violation("unknown firmware command " + Hex(command));
  }
}

void SimulatedController::Unplug() {
  attached_ = false;
  silent_ = true;
  input_.clear();
  partialFrame_.clear();
}

void SimulatedController::Replug() {
  attached_ = true;
  silent_ = false;
  productId_ = config_.productId;
}

void SimulatedController::LeaveBootMode() {
  // The controller restarts into its application: the BOOT-mode device goes
  // away and a device with another product id comes back in its place.
  input_.clear();
  partialFrame_.clear();
  productId_ = config_.applicationProductId;
  attached_ = true;
}

bool SimulatedController::ImageEquals(const std::vector<uint8_t>& payload) const {
  return HeaderReceived() && image_.size() == payloadSize_ && image_ == payload;
}

bool SimulatedController::ImageEqualsFilePayload(const std::filesystem::path& firmwareFile) const {
  return ImageEquals(ReadFirmwarePayload(firmwareFile));
}

std::vector<uint8_t> ReadFirmwarePayload(const std::filesystem::path& firmwareFile) {
  std::ifstream file(firmwareFile, std::ios::binary);
  uint8_t headerBytes[kFirmwareHeaderSize] = {};
  file.read(reinterpret_cast<char*>(headerBytes), sizeof headerBytes);
  if (file.gcount() != static_cast<std::streamsize>(sizeof headerBytes)) return {};
  const uint32_t payloadSize = ReadLe32(headerBytes + 8);
  std::vector<uint8_t> payload(payloadSize);
  file.read(reinterpret_cast<char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  payload.resize(static_cast<std::size_t>(file.gcount()));
  return payload;
}
