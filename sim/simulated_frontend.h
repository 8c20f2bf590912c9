// A front-end that stands in for either deliverable in simulation: it writes
// the engine's reports to a SimulatedController, answers the file choice and
// the confirmation as told, and records every front-end operation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "frontend.h"
#include "simulated_controller.h"
#include "transcript.h"
#include "windows_text_table.h"

struct ShownMessage {
  std::string caption;
  std::string text;
  bool success = false;  // the engine's success message
};

struct UserScript {
  std::optional<std::filesystem::path> firmwareFile;  // nothing: the user cancels the file choice
  bool confirm = true;                                // false: the user answers Cancel
  TextLanguage language = TextLanguage::English;
};

class SimulatedFrontEnd final : public FrontEnd {
 public:
  SimulatedFrontEnd(Platform platform, SimulatedController& controller, Transcript& transcript, UserScript user);

  Status WriteReport(DeviceTarget target, const uint8_t (&report)[kReportSize]) override;
  Status WriteStream(DeviceTarget target, const uint8_t* bytes, std::size_t size) override;
  std::string LoadText(int id) override;
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) override;
  ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) override;
  void ShowDeviceVersion(std::string_view text) override;
  void ShowMessage(const UserMessage& message) override;
  void ShowProgress(uint32_t percent) override;
  void EnableUpdateButton(ButtonRule rule) override;
  void ShowUpgradedNotice() override;
  void TransferStarted() override;

  // An asynchronous confirmation is waiting for the user's answer.
  bool ConfirmationPending() const { return confirmationPending_; }
  // The user answers it (the answer the script gave).
  bool TakeConfirmationAnswer();

  // What the user saw.
  const std::vector<uint32_t>& Progress() const { return progress_; }
  const std::vector<ShownMessage>& Messages() const { return messages_; }
  const std::vector<std::string>& VersionTexts() const { return versionTexts_; }
  const std::vector<ConfirmationRequest>& ConfirmationsAsked() const { return confirmations_; }
  const std::vector<std::string>& ConfirmationTexts() const { return confirmationTexts_; }
  const std::vector<std::string>& FileFilters() const { return fileFilters_; }
  int SuccessMessages() const;
  // Messages other than the success message shown from message `first` on.
  int OtherMessagesFrom(std::size_t first) const;
  int FileChoicesShown() const { return fileChoices_; }
  int FileChoicesCancelled() const { return fileChoicesCancelled_; }
  int ButtonEnables() const { return buttonEnables_; }
  int UpgradedNotices() const { return upgradedNotices_; }
  int ReportsWritten() const { return reportsWritten_; }
  int FailedWrites() const { return failedWrites_; }

  // The device the front-end serves is present (for ButtonRule::IfControllerPresent).
  bool ControllerPresent() const { return controller_.Attached() && controller_.InBootMode(); }
  bool UpdateButtonEnabled() const { return buttonEnabled_; }
  void SetUpdateButtonEnabled(bool enabled) { buttonEnabled_ = enabled; }

 private:
  Status Written(bool ok) const;

  Platform platform_;
  SimulatedController& controller_;
  Transcript& transcript_;
  UserScript user_;

  bool confirmationPending_ = false;
  bool buttonEnabled_ = false;
  std::vector<uint32_t> progress_;
  std::vector<ShownMessage> messages_;
  std::vector<std::string> versionTexts_;
  std::vector<ConfirmationRequest> confirmations_;
  std::vector<std::string> confirmationTexts_;
  std::vector<std::string> fileFilters_;
  int fileChoices_ = 0;
  int fileChoicesCancelled_ = 0;
  int buttonEnables_ = 0;
  int upgradedNotices_ = 0;
  int reportsWritten_ = 0;
  int failedWrites_ = 0;
};
