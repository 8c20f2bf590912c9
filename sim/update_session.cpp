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

namespace {

// The version query: one request, then reports until the version is in, a
// message was shown, or the front-end's patience runs out.
bool QueryVersion(SimulatedController& controller, SimulatedFrontEnd& frontEnd, Transcript& transcript,
                  SessionClock& clock, const SessionOptions& options) {
  if (options.platform == Platform::Windows) cur_devVersion = VERSION_UNKNOWN;
  SendFirmwarePacket(kTarget, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  while (!VersionArrived(options.platform) && frontEnd.Messages().empty()) {
    if (DeliverOne(controller, transcript, clock)) continue;
    if (clock.SilentFor() >= options.versionWaitMs) break;
    clock.Advance();
  }
  return VersionArrived(options.platform);
}

// How many reports a run may take in before it counts as endless.
uint64_t ReportBound(const std::filesystem::path* firmwareFile, const SessionOptions& options) {
  if (options.maxReports != 0) return options.maxReports;
  constexpr uint64_t kSlack = 256;  // identity, header, duplicates, stray reports
  if (firmwareFile == nullptr) return kSlack;
  const FirmwareFileInfo info = InspectFirmwareFile(*firmwareFile);
  const uint64_t chunks = (static_cast<uint64_t>(info.header.payloadSize) + kHidChunkSize - 1) / kHidChunkSize;
  return 2 * chunks + kSlack;
}

enum class RunEnd { Ended, Silent, Endless };

// Reports in, the engine's answers out, until the run ends, the controller
// has been silent for giveUpMs, or more reports than `bound` came in.
RunEnd RunUntilTheEnd(SimulatedController& controller, SimulatedFrontEnd& frontEnd, Transcript& transcript,
                      SessionClock& clock, const SessionOptions& options, uint64_t bound) {
  uint64_t delivered = 0;
  for (;;) {
    if (frontEnd.ConfirmationPending()) {
      ConfirmationEnded(kTarget, frontEnd.TakeConfirmationAnswer());
      continue;
    }
    if (m_updateComplete) break;
    if (delivered >= bound) return RunEnd::Endless;
    if (DeliverOne(controller, transcript, clock)) {
      ++delivered;
      continue;
    }
    if (clock.SilentFor() >= options.giveUpMs) return RunEnd::Silent;
    clock.Advance();
  }
  // Reports the controller still had queued arrive all the same (a failure
  // event after the completion command, duplicate answers).
  for (int drained = 0; drained < kDrainLimit && !frontEnd.ConfirmationPending(); ++drained) {
    if (!DeliverOne(controller, transcript, clock)) break;
  }
  return RunEnd::Ended;
}

// Why a run that did not update the controller ended, in one line.
std::string WhyNotUpdated(const SessionResult& result, const std::string& failureText,
                          const SimulatedController& controller, const SimulatedFrontEnd& frontEnd,
                          const std::filesystem::path* firmwareFile) {
  if (result.successShown && result.failureShown)
    return "failed: " + failureText + " (the controller reported it after the completion command)";
  if (result.successShown) return "FAULT: success was shown but the controller does not hold the firmware";
  if (result.failureShown) return "failed: " + failureText;
  if (frontEnd.FileChoicesShown() == 0) return "ended before the file choice; nothing was updated";
  if (frontEnd.FileChoicesCancelled() > 0) return "cancelled: no firmware file was chosen; nothing was sent";
  if (frontEnd.ConfirmationsAsked().empty() && firmwareFile != nullptr)
    return std::string("refused: ") + DescribeFirmwareFileCheck(InspectFirmwareFile(*firmwareFile).check) +
           "; nothing was sent";
  if (!controller.HeaderReceived()) return "cancelled: the firmware file was not confirmed; nothing was sent";
  return "ended without completing the update";
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
  frontEnd.SetUpdateButtonEnabled(true);
  transcript.Note("button enabled");

  if (!QueryVersion(controller, frontEnd, transcript, clock, options)) {
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
  if (!RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID)) {
    result.end = SessionEnd::RequestNotWritten;
    result.outcome = "the update request could not be written to the controller; nothing was updated";
    result.virtualMs = clock.Now();
    return result;
  }

  const uint64_t bound = ReportBound(firmwareFile, options);
  const RunEnd ended = RunUntilTheEnd(controller, frontEnd, transcript, clock, options, bound);
  result.virtualMs = clock.Now();
  if (ended != RunEnd::Ended) {
    result.end = SessionEnd::Hung;
    result.outcome = ended == RunEnd::Silent
                         ? "the run did not end: no answer for " + std::to_string(options.giveUpMs / 1000) + " s"
                         : "the run did not end: more than " + std::to_string(bound) + " reports exchanged";
    return result;
  }

  const auto& messages = frontEnd.Messages();
  std::string failureText;
  for (std::size_t i = messagesBefore; i < messages.size(); ++i)
    if (!messages[i].success) failureText = OneLine(messages[i].text);
  result.successShown = frontEnd.SuccessMessages() > 0;
  result.failureShown = frontEnd.OtherMessagesFrom(messagesBefore) > 0;

  const bool imageComplete = firmwareFile != nullptr && controller.ImageEqualsFilePayload(*firmwareFile);
  if (controller.CompletionsReceived() == 0 || !imageComplete) {
    result.end = SessionEnd::RunEnded;
    result.outcome = WhyNotUpdated(result, failureText, controller, frontEnd, firmwareFile);
    return result;
  }
  result.end = SessionEnd::Updated;
  char words[160];
  std::snprintf(words, sizeof words, "updated: the controller took all %u payload bytes and the completion command%s",
                controller.AnnouncedPayloadSize(), controller.InBootMode() ? "" : " and left BOOT mode");
  result.outcome = words;
  if (!result.successShown) result.outcome += " (but no success message was shown)";
  if (result.failureShown) result.outcome += " (and a failure message was shown: " + failureText + ")";
  return result;
}
