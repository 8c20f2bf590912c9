#include "controller_options.h"

#include <cerrno>
#include <cstdlib>

const char kControllerOptionsUsage[] =
    "  --device-version N         controller firmware version in hundredths (default 100)\n"
    "  --device-beta N            controller beta number (default 0)\n"
    "  --factory                  controller runs factory firmware (all-ones version)\n"
    "  --firmware-type N          firmware type in the controller's identity (default 1)\n"
    "  --version-unanswered N     controller leaves its first N version requests unanswered\n"
    "  --fail-at-chunk N          controller answers data command N with a failure event\n"
    "  --fail-code 21|24          the failure event (default 21)\n"
    "  --fail-at STEP             failure event at version|identity|header|completion\n"
    "  --silent-at-chunk N        controller goes silent after data command N\n"
    "  --silent-at STEP           controller goes silent at version|identity|header|completion\n"
    "  --unplug-at-chunk N        controller is unplugged after data command N\n"
    "  --write-fail-at-chunk N    the write of data command N fails\n";

namespace {

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

}  // namespace

bool ParseWholeNumber(const char* text, unsigned long max, unsigned long& value) {
  if (text == nullptr || *text == '\0' || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long parsed = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

bool ControllerOptionParser::Take(const std::vector<std::string>& args, std::size_t& i, std::string& error) {
  const std::string& arg = args[i];
  const char* value = i + 1 < args.size() ? args[i + 1].c_str() : nullptr;
  unsigned long number = 0;
  auto takeNumber = [&](unsigned long max) {
    if (!ParseWholeNumber(value, max, number)) return false;
    ++i;
    return true;
  };
  auto planChunkFault = [&](FaultKind kind, const char* complaint) {
    if (!takeNumber(0xFFFFFFFF) || number == 0) {
      error = complaint;
      return;
    }
    config_.fault = FaultPlan{kind, ControllerStep::Chunk, static_cast<uint32_t>(number)};
  };

  if (arg == "--device-version") {
    if (!takeNumber(0xFFFF)) error = "--device-version takes 0 to 65535";
    config_.version = static_cast<uint16_t>(number);
  } else if (arg == "--device-beta") {
    if (!takeNumber(0xFFFF)) error = "--device-beta takes 0 to 65535";
    config_.beta = static_cast<uint16_t>(number);
  } else if (arg == "--factory") {
    config_.factoryFirmware = true;
  } else if (arg == "--firmware-type") {
    if (!takeNumber(0xFFFFFFFF)) error = "--firmware-type takes a 32-bit number";
    config_.firmwareType = static_cast<uint32_t>(number);
  } else if (arg == "--version-unanswered") {
    if (!takeNumber(0xFFFFFFFF)) error = "--version-unanswered takes a count";
    config_.unansweredVersionRequests = static_cast<uint32_t>(number);
  } else if (arg == "--fail-at-chunk") {
    planChunkFault(FaultKind::Fail21, "--fail-at-chunk takes a chunk number from 1");
    failPlanned_ = true;
  } else if (arg == "--fail-at") {
    ControllerStep step;
    if (value == nullptr || !ParseStep(value, step)) {
      error = "--fail-at takes version, identity, header or completion";
    } else {
      config_.fault = FaultPlan{FaultKind::Fail21, step, 0};
      failPlanned_ = true;
      ++i;
    }
  } else if (arg == "--silent-at") {
    ControllerStep step;
    if (value == nullptr || !ParseStep(value, step)) {
      error = "--silent-at takes version, identity, header or completion";
    } else {
      config_.fault = FaultPlan{FaultKind::Silence, step, 0};
      ++i;
    }
  } else if (arg == "--fail-code") {
    if (!takeNumber(255) || (number != 21 && number != 24))
      error = "--fail-code takes 21 or 24";
    else
      failCode_ = static_cast<int>(number);
  } else if (arg == "--silent-at-chunk") {
    planChunkFault(FaultKind::Silence, "--silent-at-chunk takes a chunk number from 1");
  } else if (arg == "--unplug-at-chunk") {
    planChunkFault(FaultKind::Unplug, "--unplug-at-chunk takes a chunk number from 1");
  } else if (arg == "--write-fail-at-chunk") {
    planChunkFault(FaultKind::WriteFailure, "--write-fail-at-chunk takes a chunk number from 1");
  } else {
    return false;
  }
  return true;
}

void ControllerOptionParser::Finish() {
  if (failPlanned_ && failCode_ == 24) config_.fault.kind = FaultKind::Fail24;
}
