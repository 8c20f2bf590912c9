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

#include "controller_options.h"
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

const char kUsageHead[] =
    "usage: korvid-sim-update [options]\n"
    "  --platform windows|macos   which deliverable's engine behaviour (default windows)\n"
    "  --firmware FILE            firmware file to send (default: a generated sample)\n"
    "  --payload-size N           payload bytes of the generated sample (default 1000)\n"
    "  --transcript FILE          write the transcript of the run to FILE\n";
const char kUsageTail[] =
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

// Returns an error text, or empty when the command line is sound.
std::string Parse(const std::vector<std::string>& args, Options& options) {
  ControllerOptionParser controllerOptions(options.controller);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const char* value = i + 1 < args.size() ? args[i + 1].c_str() : nullptr;
    std::string error;
    if (controllerOptions.Take(args, i, error)) {
      if (!error.empty()) return error;
    } else if (arg == "--platform" && value != nullptr) {
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
      unsigned long number = 0;
      if (!ParseWholeNumber(value, 64u << 20, number) || number == 0) return "--payload-size takes 1 to 67108864";
      options.payloadSize = number;
      ++i;
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
  controllerOptions.Finish();
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
      std::cout << kUsageHead << kControllerOptionsUsage << kUsageTail;
      return kExitUpdated;
    }
  }
  Options options;
  const std::string error = Parse(args, options);
  if (!error.empty()) {
    std::cerr << "korvid-sim-update: " << error << "\n" << kUsageHead << kControllerOptionsUsage << kUsageTail;
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
