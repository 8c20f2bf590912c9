// What the engine asks of the user interface, carried out on the main dialog
// (g_pUpdateDlg) from whichever thread runs the engine.
#pragma once

#include "frontend.h"

class UpdateDlgFrontEnd final : public FrontEnd {
 public:
  Status WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) override;
  std::string LoadText(int id) override;
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) override;
  ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) override;
  void ShowDeviceVersion(std::string_view text) override;
  void ShowMessage(const UserMessage& message) override;
  void ShowProgress(std::uint32_t percent) override;
  void EnableUpdateButton(ButtonRule rule) override;
  void ShowUpgradedNotice() override;
  void TransferStarted() override;

  // The dialog has put the progress bar at 0 itself (a new update starts).
  void ProgressBarReset() { m_shownPercent = 0; }

 private:
  // What the progress bar shows. Only the engine's thread of the moment and,
  // while no update runs, the dialog's thread touch it.
  std::uint32_t m_shownPercent = 0;
};
