#include "engine_session.h"

#include <cinttypes>

#include "access_advice.h"
#include "commands.h"
#include "device_text.h"
#include "engine.h"
#include "exit_status.h"

namespace {

constexpr unsigned kVersionWaitMs = 2000;

std::string Hex4(std::uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(value & 0xFFFF));
  return text;
}

}  // namespace

void TellNoAccess(const ControllerLink& link) {
  for (const ControllerLink::Unavailable& entry : link.UnavailableControllers()) {
    std::fprintf(stderr, "korvid-update: cannot open %s (controller %s:%s): %s.\n",
                 TerminalSafePath(entry.properties.path).c_str(), Hex4(entry.properties.vendorId).c_str(),
                 Hex4(entry.properties.productId).c_str(), entry.reason.c_str());
  }
  std::fprintf(stderr, "%s\n", hiddevice::AccessAdvice().c_str());
}

namespace {

void ListControllers(const ControllerLink& link, std::FILE* out) {
  for (const ControllerLink::Controller& controller : link.Controllers()) {
    const std::string port = hiddevice::PortPath(controller.properties);
    std::fprintf(out, "  %s%s\n", DescribeController(controller.properties).c_str(),
                 port.empty() ? "" : ("  port " + TerminalSafe(port)).c_str());
  }
}

}  // namespace

std::string FileVersionText(const FIRMWARE_HEADER_T& header) {
  char text[64];
  if (header.beta == 0)
    std::snprintf(text, sizeof text, "v%0.2f", header.version / 100.0f);
  else
    std::snprintf(text, sizeof text, "v%0.2f beta:%d", header.version / 100.0f, header.beta);
  return text;
}

std::string DescribeController(const hiddevice::DeviceProperties& properties) {
  std::string text =
      TerminalSafePath(properties.path) + "  " + Hex4(properties.vendorId) + ":" + Hex4(properties.productId);
  if (!properties.product.empty()) text += "  " + TerminalSafe(properties.product);
  return text;
}

EngineSession::EngineSession(ProgressStyle style, bool verbose, std::FILE* out, const ControllerName& named)
    : link_(named), view_(MakeProgressView(style, out)), frontEnd_(link_, *view_, verbose ? stderr : nullptr) {
  EngineSetup setup;
  setup.platform = Platform::Macos;  // English texts, firmware types 1 and 200
  setup.frontEnd = &frontEnd_;
  setup.traceSink = verbose ? &frontEnd_ : nullptr;
  EngineStartUp(setup);
}

EngineSession::~EngineSession() { Stop(); }

void EngineSession::Stop() {
  EngineShutDown();
  link_.Close();
}

std::optional<std::string> EngineSession::QueryVersion(hiddevice::DeviceId controller, bool& interrupted) {
  link_.Serve(controller);
  ControllerAttached();
  frontEnd_.ForgetDeviceVersion();
  interrupted = false;
  // Written is 0 here, as IOKit counts.
  if (SendFirmwarePacket(controller, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0) != 0) return std::nullopt;
  const ControllerLink::Wait wait =
      link_.RunUntil([this] { return frontEnd_.DeviceVersion().has_value() || link_.ServedGone(); }, kVersionWaitMs);
  interrupted = wait == ControllerLink::Wait::Interrupted;
  return frontEnd_.DeviceVersion();
}

ControllerChoice ChooseController(ControllerLink& link, const ControllerName& named, bool wait, unsigned waitSeconds,
                                  std::FILE* out) {
  ControllerChoice choice;
  // With a device named, the link opened that one alone.
  const auto pick = [&]() -> const ControllerLink::Controller* {
    return link.Controllers().empty() ? nullptr : &link.Controllers().front();
  };
  if (!named.Any() && link.Controllers().size() > 1) {
    std::fprintf(stderr, "korvid-update: %zu controllers are in BOOT mode:\n", link.Controllers().size());
    ListControllers(link, stderr);
    std::fprintf(stderr, "Name one with --device PATH or --port PORT, or update them all at once with --all.\n");
    choice.exitStatus = kExitUsage;
    return choice;
  }
  if (const ControllerLink::Controller* found = pick()) {
    choice.controller = *found;
    return choice;
  }
  if (!link.UnavailableControllers().empty() && !wait) {
    TellNoAccess(link);
    choice.exitStatus = kExitUsage;
    return choice;
  }
  if (!wait) {
    if (named.Any()) {
      std::fprintf(stderr,
                   "korvid-update: no controller in BOOT mode at %s.\n"
                   "'korvid-update list' shows the controllers connected.\n",
                   TerminalSafePath(named.Words()).c_str());
    } else {
      std::fprintf(stderr, "korvid-update: no controller in BOOT mode is connected.\n%s\n", kBootModeInstructions);
      std::fprintf(stderr, "Or wait for one with --wait.\n");
    }
    choice.exitStatus = kExitUsage;
    return choice;
  }

  std::fprintf(out, "Waiting for a controller in BOOT mode%s...\n%s\n",
               named.Any() ? (" at " + TerminalSafePath(named.Words())).c_str() : "", kBootModeInstructions);
  std::fflush(out);
  const std::size_t unavailableBefore = link.UnavailableControllers().size();
  const ControllerLink::Wait waited =
      link.RunUntil([&] { return pick() != nullptr || link.UnavailableControllers().size() > unavailableBefore; },
                    waitSeconds * 1000u);
  if (waited == ControllerLink::Wait::Interrupted) {
    std::fprintf(stderr, "korvid-update: interrupted while waiting; nothing was sent.\n");
    choice.exitStatus = kExitInterrupted;
    return choice;
  }
  if (const ControllerLink::Controller* found = pick()) {
    choice.controller = *found;
    return choice;
  }
  if (link.UnavailableControllers().size() > unavailableBefore) {
    TellNoAccess(link);
  } else {
    std::fprintf(stderr, "korvid-update: no controller in BOOT mode came within %u second%s.\n", waitSeconds,
                 waitSeconds == 1 ? "" : "s");
  }
  choice.exitStatus = kExitUsage;
  return choice;
}
