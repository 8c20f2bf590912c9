// The macOS deliverable's side of the engine: fixed English texts, the
// 16-bit version with its beta number, the confirmation as a sheet that
// answers later, alerts, and the success alert once per attachment.
#include "engine_internal.h"

namespace {

constexpr Status kIOReturnError = static_cast<Status>(0xE00002BC);
constexpr uint16_t kFactoryMarker = 0xFFFF;

void Alert(const char* text) { Ui().ShowMessage(UserMessage{std::string_view(), text}); }

class MacosBehaviourImpl final : public PlatformBehaviour {
 public:
  Status GeneralError() const override { return kIOReturnError; }
  bool WriteSucceeded(Status status) const override { return status == 0; }

  // No RFCOMM link on this platform: nothing is written.
  Status SendStream(DeviceTarget, const uint8_t*, std::size_t, bool) const override { return kIOReturnError; }

  void TraceFrameSize(std::size_t frameSize) const override {
    EngineTracePlain("packet_len : %d", static_cast<int>(frameSize));
  }
  void TracePieceWritten(std::size_t piece, std::size_t remaining) const override {
    EngineTrace("SendFirmwarePacket", __LINE__, "WriteHid %d btye  packet_len %d   sucessful\n",
                static_cast<int>(piece), static_cast<int>(remaining));
  }

  bool AcceptsFirmwareType(uint32_t type) const override { return type == 1 || type == 200; }

  void ShowBootModeFailure() const override {
    Alert("Firmware update failure, please poweroff Tindro and make it work in BOOT mode");
  }

  std::string FileFilterText() const override { return std::string(); }
  void FileChoiceCancelled() const override { Ui().EnableUpdateButton(ButtonRule::Always); }

  ConfirmAnswer AskConfirmation(DeviceTarget target, const FIRMWARE_HEADER_T& header) const override {
    const char* prefix = "The File Firmware Version: ";
    const float version = header.version / 100.0f;
    const std::string text = header.beta == 0 ? FormatText("%s v%0.2f", prefix, version)
                                              : FormatText("%s v%0.2f beta:%d", prefix, version, header.beta);
    return Ui().AskConfirmation(target, ConfirmationRequest{"Note", text});
  }
  void ConfirmationCancelled() const override { Ui().EnableUpdateButton(ButtonRule::Always); }

  void HeaderSent() const override { Ui().TransferStarted(); }

  bool PrefixesTraces() const override { return true; }

  void HandleVersionReport(const uint8_t* payload, uint8_t packetType) const override {
    const uint16_t version = ReadLe16(payload + 3);
    const uint16_t beta = ReadLe16(payload + 5);
    cur_devVersion = version;
    packet_type_save = packetType;
    EngineTrace("Handle_FirmwareUpdateEvent", __LINE__, "version is %0.2f\n", version / 100.0f);
    if (version == kFactoryMarker) {
      Ui().ShowDeviceVersion("Factory Version");
      Alert("The firmware is factory Version, please update to lastest version!");
      return;
    }
    const std::string text =
        beta == 0 ? FormatText("v%0.2f", version / 100.0f) : FormatText("v%0.2f bate:%d", version / 100.0f, beta);
    Ui().ShowDeviceVersion(text);
  }

  bool SkipHeader(std::ifstream& file, uint8_t* buffer) const override {
    file.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(kFirmwareHeaderSize));
    return file.gcount() == static_cast<std::streamsize>(kFirmwareHeaderSize);
  }

  void TraceProgress(uint32_t percent) const override {
    EngineTrace("Handle_FirmwareUpdateEvent", __LINE__, "Progress:%%%d\n", static_cast<int>(percent));
  }

  void AfterLastChunk() const override { m_FilePathName.clear(); }

  void ReportSuccess() const override {
    ++deviceUpgradedCount;
    if (alertok_flag) return;  // once per attachment
    alertok_flag = true;
    Alert("Firmware upgraded successful!");
  }

  void ReportFailure() const override {
    Alert("Firmware update failure!");
    Ui().EnableUpdateButton(ButtonRule::Always);
  }
};

}  // namespace

const PlatformBehaviour& MacosBehaviour() {
  static const MacosBehaviourImpl behaviour;
  return behaviour;
}
