// korvid-sim-update: one whole firmware update against the simulated
// controller, the update engine playing either deliverable's part. A tool for
// development and support, not a deliverable.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>

#include "sample_firmware.h"
#include "simulated_controller.h"
#include "simulated_frontend.h"
#include "transcript.h"
#include "update_session.h"
#include "utf8_arguments.h"

namespace {

constexpr int kExitUpdated = 0;
constexpr int kExitNotUpdated = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: korvid-sim-update [options]\n"
    "  --platform windows|macos   which deliverable's engine behaviour (default windows)\n"
    "  --firmware FILE            firmware file to send (default: a generated sample)\n"
    "  --payload-size N           payload bytes of the generated sample (default 1000)\n"
    "  --transcript FILE          write the transcript of the run to FILE\n"
    "  --device-version N         controller firmware version in hundredths (default 100)\n"
    "  --device-beta N            controller beta number (default 0)\n"
    "  --factory                  controller runs factory firmware (all-ones version)\n"
    "  --firmware-type N          firmware type in the controller's identity (default 1)\n"
    "  --fail-at-chunk N          controller answers data command N with a failure event\n"
    "  --fail-code 21|24          the failure event (default 21)\n"
    "  --fail-at STEP             failure event at version|identity|header|completion\n"
    "  --silent-at-chunk N        controller goes silent after data command N\n"
    "  --unplug-at-chunk N        controller is unplugged after data command N\n"
    "  --write-fail-at-chunk N    the write of data command N fails\n"
    "  --cancel-file              the user cancels the file choice\n"
    "  --cancel-confirm           the user answers Cancel to the confirmation\n"
    "  --language en|zh           Windows texts (default en)\n"
    "  --trace                    engine traces to standard error\n"
    "  --quiet                    no progress output\n"
    "Chunks count from 1 for the first data command.\n"
    "Exit status: 0 updated, 1 not updated, 2 bad usage or unreadable firmware file.\n";

struct Options {
  Platform platform = Platform::Windows;
  std::optional<std::filesystem::path> firmware;
  std::size_t payloadSize = 1000;
  std::optional<std::filesystem::path> transcript;
  ControllerConfig controller;
  bool cancelFile = false;
  bool cancelConfirm = false;
  TextLanguage language = TextLanguage::English;
  bool trace = false;
  bool quiet = false;
};

bool ParseNumber(const char* text, unsigned long max, unsigned long& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long parsed = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max || text[0] == '-') return false;
  value = parsed;
  return true;
}

bool ParseStep(const std::string& text, ControllerStep& step) {
  if (text == "version")
    step = ControllerStep::Version;
  else if (text == "identity")
    step = ControllerStep::Identity;
  else if (text == "header")
    step = ControllerStep::Header;
  else if (text == "completion")
    step = ControllerStep::Completion;
  else
    return false;
  return true;
}

// Returns an error text, or empty when the command line is sound.
std::string Parse(const std::vector<std::string>& args, Options& options) {
  int failCode = 21;
  bool failPlanned = false;
  const int argc = static_cast<int>(args.size());
  for (int i = 1; i < argc; ++i) {
    const std::string& arg = args[i];
    const char* value = i + 1 < argc ? args[i + 1].c_str() : nullptr;
    unsigned long number = 0;
    auto takeNumber = [&](unsigned long max) {
      if (!ParseNumber(value, max, number)) return false;
      ++i;
      return true;
    };
    auto planChunkFault = [&](FaultKind kind) {
      if (!takeNumber(0xFFFFFFFF) || number == 0) return false;
      options.controller.fault = FaultPlan{kind, ControllerStep::Chunk, static_cast<uint32_t>(number)};
      return true;
    };

    if (arg == "--platform" && value != nullptr) {
      ++i;
      if (std::strcmp(value, "windows") == 0)
        options.platform = Platform::Windows;
      else if (std::strcmp(value, "macos") == 0)
        options.platform = Platform::Macos;
      else
        return "--platform takes windows or macos";
    } else if (arg == "--firmware" && value != nullptr) {
      options.firmware = std::filesystem::u8path(value);
      ++i;
    } else if (arg == "--transcript" && value != nullptr) {
      options.transcript = std::filesystem::u8path(value);
      ++i;
    } else if (arg == "--payload-size") {
      if (!takeNumber(64u << 20) || number == 0) return "--payload-size takes 1 to 67108864";
      options.payloadSize = number;
    } else if (arg == "--device-version") {
      if (!takeNumber(0xFFFF)) return "--device-version takes 0 to 65535";
      options.controller.version = static_cast<uint16_t>(number);
    } else if (arg == "--device-beta") {
      if (!takeNumber(0xFFFF)) return "--device-beta takes 0 to 65535";
      options.controller.beta = static_cast<uint16_t>(number);
    } else if (arg == "--factory") {
      options.controller.factoryFirmware = true;
    } else if (arg == "--firmware-type") {
      if (!takeNumber(0xFFFFFFFF)) return "--firmware-type takes a 32-bit number";
      options.controller.firmwareType = static_cast<uint32_t>(number);
    } else if (arg == "--fail-at-chunk") {
      if (!planChunkFault(FaultKind::Fail21)) return "--fail-at-chunk takes a chunk number from 1";
      failPlanned = true;
    } else if (arg == "--fail-at" && value != nullptr) {
      ControllerStep step;
      if (!ParseStep(value, step)) return "--fail-at takes version, identity, header or completion";
      options.controller.fault = FaultPlan{FaultKind::Fail21, step, 0};
      failPlanned = true;
      ++i;
    } else if (arg == "--fail-code") {
      if (!takeNumber(255) || (number != 21 && number != 24)) return "--fail-code takes 21 or 24";
      failCode = static_cast<int>(number);
    } else if (arg == "--silent-at-chunk") {
      if (!planChunkFault(FaultKind::Silence)) return "--silent-at-chunk takes a chunk number from 1";
    } else if (arg == "--unplug-at-chunk") {
      if (!planChunkFault(FaultKind::Unplug)) return "--unplug-at-chunk takes a chunk number from 1";
    } else if (arg == "--write-fail-at-chunk") {
      if (!planChunkFault(FaultKind::WriteFailure)) return "--write-fail-at-chunk takes a chunk number from 1";
    } else if (arg == "--cancel-file") {
      options.cancelFile = true;
    } else if (arg == "--cancel-confirm") {
      options.cancelConfirm = true;
    } else if (arg == "--language" && value != nullptr) {
      ++i;
      if (std::strcmp(value, "en") == 0)
        options.language = TextLanguage::English;
      else if (std::strcmp(value, "zh") == 0)
        options.language = TextLanguage::Chinese;
      else
        return "--language takes en or zh";
    } else if (arg == "--trace") {
      options.trace = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      return "unknown or incomplete option: " + arg;
    }
  }
  if (failPlanned && failCode == 24) options.controller.fault.kind = FaultKind::Fail24;
  return std::string();
}

// The generated sample, in a folder of its own that goes away with the run,
// so that runs side by side never share a file.
class SampleFile {
 public:
  bool Create(std::size_t payloadSize) {
    std::random_device random;
    folder_ = std::filesystem::temp_directory_path() / ("korvid-sample-" + std::to_string(random()));
    std::error_code ec;
    if (!std::filesystem::create_directories(folder_, ec)) return false;
    SampleFirmware sample;
    sample.payload = MakeSamplePayload(payloadSize);
    return WriteFirmwareFile(Path(), FirmwareFileBytes(sample));
  }
  std::filesystem::path Path() const { return folder_ / "sample-firmware.dat"; }
  ~SampleFile() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::filesystem::path folder_;
};

class StderrTrace final : public TraceSink {
 public:
  void Trace(std::string_view line) override {
    std::string text(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::cerr << "trace: " << text << '\n';
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = Utf8Arguments(argc, argv);
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      std::cout << kUsage;
      return kExitUpdated;
    }
  }
  Options options;
  const std::string error = Parse(args, options);
  if (!error.empty()) {
    std::cerr << "korvid-sim-update: " << error << "\n" << kUsage;
    return kExitUsage;
  }

  std::filesystem::path firmware;
  SampleFile sampleFile;
  if (options.firmware) {
    firmware = *options.firmware;
    std::error_code ec;
    std::ifstream probe(firmware, std::ios::binary);
    if (std::filesystem::is_directory(firmware, ec) || !probe.is_open()) {
      std::cerr << "korvid-sim-update: cannot read firmware file " << firmware.u8string() << "\n";
      return kExitUsage;
    }
  } else {
    if (!sampleFile.Create(options.payloadSize)) {
      std::cerr << "korvid-sim-update: cannot write the sample firmware to " << sampleFile.Path().u8string() << "\n";
      return kExitUsage;
    }
    firmware = sampleFile.Path();
    if (!options.quiet) std::cout << "sample firmware v1.10, " << options.payloadSize << " payload bytes\n";
  }

  SimulatedController controller(options.controller);
  Transcript transcript;
  if (!options.quiet) {
    transcript.onLine = [](const std::string& line) {
      if (line.rfind("# ", 0) == 0) std::cout << line << '\n';
    };
  }
  UserScript user;
  if (!options.cancelFile) user.firmwareFile = firmware;
  user.confirm = !options.cancelConfirm;
  user.language = options.language;
  SimulatedFrontEnd frontEnd(options.platform, controller, transcript, user);

  StderrTrace trace;
  SessionOptions session;
  session.platform = options.platform;
  session.traceSink = options.trace ? &trace : nullptr;
  const SessionResult result = RunUpdateSession(controller, frontEnd, transcript, &firmware, session);

  if (options.transcript && !transcript.WriteTo(*options.transcript))
    std::cerr << "korvid-sim-update: cannot write the transcript to " << options.transcript->u8string() << "\n";
  for (const std::string& violation : controller.Violations()) std::cout << "wire fault: " << violation << "\n";

  std::cout << "outcome: " << result.outcome << "\n";
  const bool updated = result.end == SessionEnd::Updated && controller.Violations().empty();
  return updated ? kExitUpdated : kExitNotUpdated;
}
