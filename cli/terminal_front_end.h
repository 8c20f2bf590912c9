// What the engine asks of the terminal: the chosen firmware file, the
// confirmation, the controller's version, messages and progress. The engine
// runs with the behaviour of the macOS deliverable (English texts, firmware
// types 1 and 200); every call comes on the loop's thread.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "controller_link.h"
#include "frontend.h"
#include "progress_view.h"

class TerminalFrontEnd final : public FrontEnd, public TraceSink {
 public:
  // Traces go to `traceOut` when it is given.
  TerminalFrontEnd(ControllerLink& link, ProgressView& view, std::FILE* traceOut);

  // The file the next file choice picks, and whether the user already said
  // yes (--yes): then no question is asked.
  void PrepareRun(const std::filesystem::path& firmware, bool confirmedAlready);

  const std::optional<std::string>& DeviceVersion() const { return deviceVersion_; }
  void ForgetDeviceVersion() { deviceVersion_.reset(); }
  // The question waiting for the user's answer, while there is one.
  const std::optional<std::string>& OpenQuestion() const { return question_; }
  void QuestionAnswered() { question_.reset(); }
  const std::optional<RunOutcome>& Outcome() const { return outcome_; }
  // The header went out: the controller holds part of a new image.
  bool TransferBegun() const { return transferStartedMs_ != 0; }
  const std::vector<std::string>& Messages() const { return messages_; }

  Status WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) override;
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) override;
  ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) override;
  void ShowDeviceVersion(std::string_view text) override;
  void ShowMessage(const UserMessage& message) override;
  void ShowProgress(std::uint32_t percent) override;
  void EnableUpdateButton(ButtonRule rule) override;
  void TransferStarted() override;
  void RunEnding(RunOutcome outcome) override;
  void Trace(std::string_view line) override;

 private:
  ControllerLink& link_;
  ProgressView& view_;
  std::FILE* traceOut_;
  std::optional<std::filesystem::path> firmware_;
  bool confirmedAlready_ = false;
  std::optional<std::string> deviceVersion_;
  std::optional<std::string> question_;
  std::optional<RunOutcome> outcome_;
  std::vector<std::string> messages_;
  std::uint64_t transferStartedMs_ = 0;
  bool writeFoundGone_ = false;  // the last write failed because the controller went
};

// The reason of a failed run, in words.
std::string DescribeFailure(RunOutcome outcome, std::optional<std::uint8_t> failureEvent);
// The same as a stable code for programs ("controller_silent").
const char* FailureCode(RunOutcome outcome);
