// The Windows deliverable's side of the engine: texts from the front-end's
// text table, the 32-bit version value, synchronous confirmation, message
// boxes captioned with the program's title.
#include "engine_internal.h"

namespace {

enum WindowsText {
  kTextFileType = 3,
  kTextUpgraded = 4,
  kTextNewFirmware = 5,
  kTextTitle = 6,
  kTextFailure = 7,
  kTextBootModeFailure = 11,
  kTextBootModeSteps = 14,
  kTextCurrentIs = 15,
};

constexpr uint32_t kFactoryMarker = 0xFFFFFFFF;
constexpr uint32_t kAcceptedFirmwareType = 1;

void ShowBox(const std::string& text) {
  const std::string caption = LoadText(kTextTitle);
  Ui().ShowMessage(UserMessage{caption, text});
}

class WindowsBehaviourImpl final : public PlatformBehaviour {
 public:
  Status GeneralError() const override { return -1; }
  bool WriteSucceeded(Status status) const override { return status != 0; }

  Status SendStream(DeviceTarget target, const uint8_t* bytes, std::size_t size, bool isCommandFrame) const override {
    const Status sent = Ui().WriteStream(target, bytes, size);
    if (!isCommandFrame) return sent;
    if (sent < 0) {
      EngineTracePlain("send() failed with error code %d\n", sent);
      return -1;
    }
    EngineTracePlain("send() is OK!\n");
    EngineTracePlain("Bytes Sent: %d\n", sent);
    return sent;
  }

  void TraceFrameSize(std::size_t) const override {}
  void TracePieceWritten(std::size_t piece, std::size_t) const override {
    EngineTracePlain("WriteHid %d btye sucessful\n", static_cast<int>(piece));
  }

  bool AcceptsFirmwareType(uint32_t type) const override { return type == kAcceptedFirmwareType; }

  void ShowBootModeFailure() const override {
    const std::string text = LoadText(kTextBootModeFailure) + "\n";
    EngineTracePlain("%s", text.c_str());
    ShowBox(text);
  }

  std::string FileFilterText() const override { return LoadText(kTextFileType) + "(*.dat)|*.dat||"; }
  void FileChoiceCancelled() const override {}

  ConfirmAnswer AskConfirmation(DeviceTarget target, const FIRMWARE_HEADER_T&) const override {
    // Until the controller has reported its version there is nothing to
    // compare the file with: the placeholder is not a version.
    const std::string question =
        cur_devVersion == VERSION_UNKNOWN
            ? FormatText("%s %.02f\n", LoadText(kTextNewFirmware).c_str(), m_handleFirmeWare.fileVersion / 100.0)
            : FormatText("%s %.02f %s %.02f\n", LoadText(kTextNewFirmware).c_str(),
                         m_handleFirmeWare.fileVersion / 100.0, LoadText(kTextCurrentIs).c_str(),
                         cur_devVersion / 100.0);
    const std::string caption = LoadText(kTextTitle);
    const ConfirmAnswer answer = Ui().AskConfirmation(target, ConfirmationRequest{caption, question});
    if (answer == ConfirmAnswer::Cancel) EngineTracePlain("MessageBox == IDCANCEL\n");
    return answer;
  }
  void ConfirmationCancelled() const override {}

  void HeaderSent() const override {
    Ui().TransferStarted();
    EngineTracePlain("desVersion is %d\n", static_cast<int>(m_handleFirmeWare.fileVersion));
  }

  bool PrefixesTraces() const override { return false; }

  void HandleVersionReport(const uint8_t* payload, uint8_t) const override {
    // Version and beta read as one word: beta lands in the upper half.
    cur_devVersion = ReadLe32(payload + 3);
    EngineTracePlain("cur_devVersion 0x%x\n", cur_devVersion);
    if (cur_devVersion == kFactoryMarker) {
      ShowBox(LoadText(kTextBootModeSteps));
      return;
    }
    const std::string title = FormatText("%s(Tindro V%0.2f)", LoadText(kTextTitle).c_str(), cur_devVersion / 100.0);
    Ui().ShowDeviceVersion(title);
  }

  bool SkipHeader(std::ifstream& file, uint8_t*) const override {
    file.seekg(static_cast<std::streamoff>(kFirmwareHeaderSize), std::ios::beg);
    return static_cast<bool>(file);
  }

  void TraceProgress(uint32_t) const override {}
  void AfterLastChunk() const override { Ui().EnableUpdateButton(ButtonRule::Always); }

  void ReportSuccess() const override {
    ShowBox(FormatText("\n %s \n", LoadText(kTextUpgraded).c_str()));
    Ui().ShowUpgradedNotice();
    Ui().ShowProgress(0);
  }

  void ReportFailure() const override {
    ShowBox(LoadText(kTextFailure) + "\n");
    Ui().EnableUpdateButton(ButtonRule::IfControllerPresent);
  }
};

}  // namespace

const PlatformBehaviour& WindowsBehaviour() {
  static const WindowsBehaviourImpl behaviour;
  return behaviour;
}
