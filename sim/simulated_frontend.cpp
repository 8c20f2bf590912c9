#include "simulated_frontend.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr Status kMacosWriteError = static_cast<Status>(0xE00002BC);
}

SimulatedFrontEnd::SimulatedFrontEnd(Platform platform, SimulatedController& controller, Transcript& transcript,
                                     UserScript user)
    : platform_(platform), controller_(controller), transcript_(transcript), user_(std::move(user)) {}

Status SimulatedFrontEnd::Written(bool ok) const {
  if (platform_ == Platform::Macos) return ok ? 0 : kMacosWriteError;
  return ok ? 1 : 0;
}

Status SimulatedFrontEnd::WriteReport(DeviceTarget, const uint8_t (&report)[kReportSize]) {
  Report copy;
  std::copy(std::begin(report), std::end(report), copy.begin());
  transcript_.Sent(copy);
  ++reportsWritten_;
  const bool ok = controller_.WriteOutputReport(copy);
  if (!ok) {
    ++failedWrites_;
    transcript_.Note("write failed");
  }
  return Written(ok);
}

Status SimulatedFrontEnd::WriteStream(DeviceTarget, const uint8_t* bytes, std::size_t size) {
  transcript_.Note("stream " + Transcript::HexBytes(bytes, size));
  return controller_.WriteStreamMessage(bytes, size) ? static_cast<Status>(size) : -1;
}

std::string SimulatedFrontEnd::LoadText(int id) { return WindowsText(id, user_.language); }

std::optional<std::filesystem::path> SimulatedFrontEnd::ChooseFirmwareFile(const FileChoiceRequest& request) {
  ++fileChoices_;
  fileFilters_.emplace_back(request.filterText);
  if (!user_.firmwareFile) {
    ++fileChoicesCancelled_;
    transcript_.Note("file choice cancelled");
    return std::nullopt;
  }
  transcript_.Note("file " + user_.firmwareFile->filename().u8string());
  return user_.firmwareFile;
}

ConfirmAnswer SimulatedFrontEnd::AskConfirmation(DeviceTarget, const ConfirmationRequest& request) {
  confirmations_.push_back(request);
  confirmationTexts_.emplace_back(request.text);
  std::string note = "confirm ";
  note += request.text;
  transcript_.Note(note);
  if (platform_ == Platform::Macos) {  // a sheet: the answer comes later
    confirmationPending_ = true;
    return ConfirmAnswer::Pending;
  }
  transcript_.Note(user_.confirm ? "answer OK" : "answer Cancel");
  return user_.confirm ? ConfirmAnswer::Ok : ConfirmAnswer::Cancel;
}

bool SimulatedFrontEnd::TakeConfirmationAnswer() {
  confirmationPending_ = false;
  transcript_.Note(user_.confirm ? "answer OK" : "answer Cancel");
  return user_.confirm;
}

void SimulatedFrontEnd::ShowDeviceVersion(std::string_view text) {
  versionTexts_.emplace_back(text);
  transcript_.Note("version " + std::string(text));
}

void SimulatedFrontEnd::ShowMessage(const UserMessage& message) {
  // Windows frames text 4 of its table; macOS has one fixed text.
  const bool success = platform_ == Platform::Windows
                           ? message.text.find(WindowsText(4, user_.language)) != std::string_view::npos
                           : message.text == "Firmware upgraded successful!";
  messages_.push_back(ShownMessage{std::string(message.caption), std::string(message.text), success});
  transcript_.Note("message " + std::string(message.text));
}

void SimulatedFrontEnd::ShowProgress(uint32_t percent) {
  progress_.push_back(percent);
  transcript_.Note("progress " + std::to_string(percent));
}

void SimulatedFrontEnd::EnableUpdateButton(ButtonRule rule) {
  if (rule == ButtonRule::IfControllerPresent && !ControllerPresent()) {
    transcript_.Note("button stays disabled (no controller)");
    return;
  }
  ++buttonEnables_;
  buttonEnabled_ = true;
  transcript_.Note("button enabled");
}

void SimulatedFrontEnd::ShowUpgradedNotice() {
  ++upgradedNotices_;
  transcript_.Note("notice Firmware upgraded!");
}

void SimulatedFrontEnd::TransferStarted() { transcript_.Note("transfer started"); }

int SimulatedFrontEnd::SuccessMessages() const {
  return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [](const auto& m) { return m.success; }));
}

int SimulatedFrontEnd::OtherMessagesFrom(std::size_t first) const {
  int count = 0;
  for (std::size_t i = first; i < messages_.size(); ++i) count += messages_[i].success ? 0 : 1;
  return count;
}
