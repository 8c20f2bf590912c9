#include "terminal_front_end.h"

#include <algorithm>

#include "engine.h"

namespace {

// The statuses of the report writer the engine's behaviour expects here.
constexpr Status kWritten = 0;
constexpr Status kWriteFailed = static_cast<Status>(0xE00002BC);
constexpr Status kNotAttached = static_cast<Status>(0xE00002D9);

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(ControllerLink& link, ProgressView& view, std::FILE* traceOut)
    : link_(link), view_(view), traceOut_(traceOut) {}

void TerminalFrontEnd::PrepareRun(const std::filesystem::path& firmware, bool confirmedAlready) {
  firmware_ = firmware;
  confirmedAlready_ = confirmedAlready;
  question_.reset();
  outcome_.reset();
  transferStartedMs_ = 0;
}

Status TerminalFrontEnd::WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) {
  writeFoundGone_ = false;
  switch (link_.Write(static_cast<hiddevice::DeviceId>(target), report)) {
    case hiddevice::WriteResult::Written:
      return kWritten;
    case hiddevice::WriteResult::Gone:
      writeFoundGone_ = true;
      return kNotAttached;
    case hiddevice::WriteResult::Failed:
      break;
  }
  return kWriteFailed;
}

std::optional<std::filesystem::path> TerminalFrontEnd::ChooseFirmwareFile(const FileChoiceRequest&) {
  return firmware_;
}

ConfirmAnswer TerminalFrontEnd::AskConfirmation(DeviceTarget, const ConfirmationRequest& request) {
  if (confirmedAlready_) return ConfirmAnswer::Ok;
  question_ = std::string(request.title) + ": " + std::string(request.text);
  return ConfirmAnswer::Pending;
}

void TerminalFrontEnd::ShowDeviceVersion(std::string_view text) { deviceVersion_ = std::string(text); }

void TerminalFrontEnd::ShowMessage(const UserMessage& message) {
  messages_.emplace_back(message.text);
  view_.Say(std::string(message.text));
}

void TerminalFrontEnd::ShowProgress(std::uint32_t percent) {
  Progress progress;
  progress.percent = percent;
  // The last chunk goes out whole even where the file ends before it does,
  // so the offset can pass the payload; the user is shown the payload's bytes.
  progress.total = m_handleFirmeWare.payloadSize;
  progress.bytes = std::min<std::uint64_t>(m_handleFirmeWare.offset, progress.total);
  progress.elapsedMs = MonotonicMs() - transferStartedMs_;
  view_.Update(progress);
}

void TerminalFrontEnd::EnableUpdateButton(ButtonRule) {}  // the command ends with the run

void TerminalFrontEnd::TransferStarted() { transferStartedMs_ = MonotonicMs(); }

void TerminalFrontEnd::RunEnding(RunOutcome outcome) {
  // The engine ends a run on the write that failed, before the removal that
  // write revealed reaches the loop: the user hears why it failed.
  if (outcome == RunOutcome::WriteFailed && writeFoundGone_) outcome = RunOutcome::ControllerRemoved;
  outcome_ = outcome;
  view_.Finish();
}

void TerminalFrontEnd::Trace(std::string_view line) {
  if (traceOut_ == nullptr) return;
  std::fprintf(traceOut_, "trace: %.*s%s", static_cast<int>(line.size()), line.data(),
               !line.empty() && line.back() == '\n' ? "" : "\n");
}

const char* FailureCode(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Updated:
      return "updated";
    case RunOutcome::ControllerFailed:
      return "controller_failed";
    case RunOutcome::ControllerSilent:
      return "controller_silent";
    case RunOutcome::ControllerRemoved:
      return "controller_removed";
    case RunOutcome::WriteFailed:
      return "write_failed";
    case RunOutcome::FirmwareFileFailed:
      return "firmware_file_failed";
  }
  return "unknown";
}

std::string DescribeFailure(RunOutcome outcome, std::optional<std::uint8_t> failureEvent) {
  switch (outcome) {
    case RunOutcome::Updated:
      return "the update succeeded";
    case RunOutcome::ControllerFailed:
      return failureEvent ? "the controller reported a failure (event " + std::to_string(*failureEvent) + ")"
                          : "the controller reported a failure";
    case RunOutcome::ControllerSilent:
      return "the controller stopped answering (10 seconds without a reply)";
    case RunOutcome::ControllerRemoved:
      return "the controller was unplugged or went away";
    case RunOutcome::WriteFailed:
      return "a report could not be written to the controller";
    case RunOutcome::FirmwareFileFailed:
      return "the firmware file could not be read to the end (was it changed or removed?)";
  }
  return "unknown";
}
