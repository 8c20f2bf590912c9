#include "update_session.h"

#include <cstdio>

#include "engine.h"
#include "firmware_header.h"

namespace {

constexpr DeviceTarget kTarget = 0;
constexpr int kDrainLimit = 64;

class SessionClock {
 public:
  explicit SessionClock(uint64_t tickMs) : tickMs_(tickMs) {}
  uint64_t Now() const { return now_; }
  uint64_t SilentFor() const { return now_ - lastHeard_; }
  void Heard() { lastHeard_ = now_; }
  void Advance() {
    now_ += tickMs_;
    WatchdogTick(now_);
  }

 private:
  uint64_t tickMs_;
  uint64_t now_ = 0;
  uint64_t lastHeard_ = 0;
};

// Delivers one input report if the controller has one; the answer the
// engine writes goes to the controller inside this call.
bool DeliverOne(SimulatedController& controller, Transcript& transcript, SessionClock& clock) {
  if (!controller.HasInput()) return false;
  const Report report = controller.PopInput();
  transcript.Received(report);
  clock.Heard();
  usb_rev_packet[0] = report[0];
  std::copy(report.begin() + 1, report.end(), usb_rev_packet + 1);
  OnDataReceived(kTarget, PACKET_TYPE_HID, usb_rev_packet + 1, report[0]);
  WatchdogTick(clock.Now());
  return true;
}

bool VersionArrived(Platform platform) {
  return platform == Platform::Windows ? cur_devVersion != VERSION_UNKNOWN : packet_type_save != 0;
}

std::string OneLine(std::string text) {
  std::string line;
  for (char c : text) {
    if (c == '\n' || c == '\r') continue;
    line += c;
  }
  const auto first = line.find_first_not_of(' ');
  const auto last = line.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

}  // namespace

SessionResult RunUpdateSession(SimulatedController& controller, SimulatedFrontEnd& frontEnd, Transcript& transcript,
                               const std::filesystem::path* firmwareFile, const SessionOptions& options) {
  SessionResult result;
  SessionClock clock(options.tickMs);
  EngineStartUp(EngineSetup{options.platform, &frontEnd, options.traceSink});

  char attach[96];
  std::snprintf(attach, sizeof attach, "attach vendor 0x%04X product 0x%04X", controller.VendorId(),
                controller.ProductId());
  transcript.Note(attach);
  if (options.platform == Platform::Macos) ControllerAttached();

  // The version query: one request, then reports until the version is in.
  if (options.platform == Platform::Windows) cur_devVersion = VERSION_UNKNOWN;
  frontEnd.SetUpdateButtonEnabled(true);
  transcript.Note("button enabled");
  SendFirmwarePacket(kTarget, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  while (!VersionArrived(options.platform) && frontEnd.Messages().empty()) {
    if (DeliverOne(controller, transcript, clock)) continue;
    if (clock.SilentFor() >= options.versionWaitMs) break;
    clock.Advance();
  }
  if (!VersionArrived(options.platform)) {
    result.end = SessionEnd::NoVersion;
    result.failureShown = !frontEnd.Messages().empty();
    result.outcome = result.failureShown ? "failed: " + OneLine(frontEnd.Messages().back().text) +
                                               " (the controller did not report its version)"
                                         : "the controller did not report its version; nothing was updated";
    result.virtualMs = clock.Now();
    return result;
  }

  // The user presses the update button.
  transcript.Note("update pressed");
  frontEnd.SetUpdateButtonEnabled(false);
  const std::size_t messagesBefore = frontEnd.Messages().size();
  const Status request = RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
  const bool requestWritten = options.platform == Platform::Macos ? request == 0 : request != 0;
  if (!requestWritten) {
    result.end = SessionEnd::RequestNotWritten;
    result.outcome = "the update request could not be written to the controller; nothing was updated";
    result.virtualMs = clock.Now();
    return result;
  }

  // The update loop: reports in, the engine's answers out, until the run ends.
  bool hung = false;
  for (;;) {
    if (frontEnd.ConfirmationPending()) {
      ConfirmationEnded(kTarget, frontEnd.TakeConfirmationAnswer());
      continue;
    }
    if (m_updateComplete) break;
    if (DeliverOne(controller, transcript, clock)) continue;
    if (clock.SilentFor() >= options.giveUpMs) {
      hung = true;
      break;
    }
    clock.Advance();
  }
  // Reports the controller still had queued arrive all the same (a failure
  // event after the completion command, duplicate answers).
  for (int drained = 0; !hung && drained < kDrainLimit && !frontEnd.ConfirmationPending(); ++drained) {
    if (!DeliverOne(controller, transcript, clock)) break;
  }
  result.virtualMs = clock.Now();

  const bool imageComplete = firmwareFile != nullptr && controller.ImageEqualsFilePayload(*firmwareFile);
  const bool updated = controller.CompletionsReceived() > 0 && imageComplete;
  const auto& messages = frontEnd.Messages();
  std::string failureText;
  for (std::size_t i = messagesBefore; i < messages.size(); ++i)
    if (!messages[i].success) failureText = OneLine(messages[i].text);
  result.successShown = frontEnd.SuccessMessages() > 0;
  result.failureShown = frontEnd.OtherMessagesFrom(messagesBefore) > 0;

  if (hung) {
    result.end = SessionEnd::Hung;
    result.outcome = "the run did not end: no answer for " + std::to_string(options.giveUpMs / 1000) + " s";
    return result;
  }
  if (updated) {
    result.end = SessionEnd::Updated;
    char words[160];
    std::snprintf(words, sizeof words, "updated: the controller took all %u payload bytes and the completion command%s",
                  controller.AnnouncedPayloadSize(), controller.InBootMode() ? "" : " and left BOOT mode");
    result.outcome = words;
    if (!result.successShown) result.outcome += " (but no success message was shown)";
    if (result.failureShown) result.outcome += " (and a failure message was shown: " + failureText + ")";
    return result;
  }

  result.end = SessionEnd::RunEnded;
  if (result.successShown && result.failureShown) {
    result.outcome = "failed: " + failureText + " (the controller reported it after the completion command)";
  } else if (result.successShown) {
    result.outcome = "FAULT: success was shown but the controller does not hold the firmware";
  } else if (result.failureShown) {
    result.outcome = "failed: " + failureText;
  } else if (frontEnd.FileChoicesShown() == 0) {
    result.outcome = "ended before the file choice; nothing was updated";
  } else if (firmwareFile == nullptr) {
    result.outcome = "cancelled: no firmware file was chosen; nothing was sent";
  } else if (frontEnd.ConfirmationsAsked().empty()) {
    result.outcome = std::string("refused: ") + DescribeFirmwareFileCheck(InspectFirmwareFile(*firmwareFile).check) +
                     "; nothing was sent";
  } else if (!controller.HeaderReceived()) {
    result.outcome = "cancelled: the firmware file was not confirmed; nothing was sent";
  } else {
    result.outcome = "ended without completing the update";
  }
  return result;
}
