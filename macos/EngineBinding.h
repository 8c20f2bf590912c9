// The update window as the engine sees it: reports go to the HID device the
// engine names, questions and results are panels and alerts, and the window
// is reached through `js`, the controller that accepted the last device.
#pragma once

#import <Foundation/Foundation.h>

#include "frontend.h"

class WindowFrontEnd final : public FrontEnd, public TraceSink {
 public:
  Status WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) override;
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) override;
  ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) override;
  void ShowDeviceVersion(std::string_view text) override;
  void ShowMessage(const UserMessage& message) override;
  void ShowProgress(std::uint32_t percent) override;
  void EnableUpdateButton(ButtonRule rule) override;

  void Trace(std::string_view line) override;
};

// Feeds the engine's watchdog every 100 ms from the main run loop; the caller
// owns the timer and invalidates it.
NSTimer* StartWatchdogClock();
