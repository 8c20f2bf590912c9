// Start-up of the engine and the front-end hooks that are not part of a run.
#include "engine_internal.h"

EngineBinding g_engine;
RunState g_run;

namespace {

// Stands in when a front-end forgot to bind itself: every send fails and
// nothing is shown, rather than a crash.
class DetachedFrontEnd final : public FrontEnd {
 public:
  Status WriteReport(DeviceTarget, const uint8_t (&)[kReportSize]) override { return Behaviour().GeneralError(); }
  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest&) override { return std::nullopt; }
  ConfirmAnswer AskConfirmation(DeviceTarget, const ConfirmationRequest&) override { return ConfirmAnswer::Cancel; }
  void ShowDeviceVersion(std::string_view) override {}
  void ShowMessage(const UserMessage&) override {}
  void ShowProgress(uint32_t) override {}
  void EnableUpdateButton(ButtonRule) override {}
};

}  // namespace

Status FrontEnd::WriteStream(DeviceTarget, const uint8_t*, std::size_t) { return -1; }
std::string FrontEnd::LoadText(int) { return std::string(); }

void EngineStartUp(const EngineSetup& setup) {
  static DetachedFrontEnd detached;
  g_engine.platform = setup.platform == Platform::Macos ? &MacosBehaviour() : &WindowsBehaviour();
  g_engine.frontEnd = setup.frontEnd != nullptr ? setup.frontEnd : &detached;
  g_engine.traceSink = setup.traceSink;

  g_run = RunState{};
  updateInit();
  m_FilePathName.clear();
  cur_devVersion = 0;
  packet_type_save = 0;
  firmware_type = 0;
  alertok_flag = false;
  deviceUpgradedCount = 0;
  // The resting value; 0 until then, where acknowledgements are ignored.
  g_firmware_update_state = setup.startAtRest ? UPDATE_DATA_SENT : 0;
}

void EngineShutDown() {
  if (!Started()) return;
  updateInit();
  m_FilePathName.clear();
  g_engine = EngineBinding{};
}

bool EngineStarted() { return Started(); }

void ControllerAttached() {
  if (!Started()) return;
  updateInit();
  alertok_flag = false;
}
