#include "emulated_link.h"

#include "protocol.h"

const char kControllerManufacturer[] = "Korvid";

std::string ControllerProductString(uint16_t productId) {
  return productId == kBootProductId ? "Controller (BOOT)" : "Controller";
}

EmulatedLink::EmulatedLink(Testbed& testbed, std::vector<std::unique_ptr<EmulatedDevice>>& retired, LinkSettings settings,
                           OutputSink sink)
    : testbed_(testbed), retired_(retired), settings_(std::move(settings)), sink_(std::move(sink)) {}

EmulatedLink::~EmulatedLink() {
  if (device_) retired_.push_back(std::move(device_));
}

bool EmulatedLink::Appear(const DeviceIdentity& identity) {
  Vanish();
  error_.clear();
  DeviceSpec spec;
  spec.vendorId = identity.vendorId;
  spec.productId = identity.productId;
  spec.manufacturer = kControllerManufacturer;
  const bool boot = identity.productId == kBootProductId;
  spec.product =
      boot && !settings_.bootProduct.empty() ? settings_.bootProduct : ControllerProductString(identity.productId);
  spec.serial = settings_.serial;
  spec.interfaces.push_back(&ControllerReportDescriptor());
  if (settings_.secondInterface) spec.interfaces.push_back(&KeyboardReportDescriptor());
  const unsigned port =
      !boot && appearedInBootMode_ && settings_.returnPort != 0 ? settings_.returnPort : settings_.port;
  appearedInBootMode_ = appearedInBootMode_ || boot;
  device_ = std::make_unique<EmulatedDevice>(testbed_, spec, port, settings_.nodeMode,
                                             std::vector<HidrawNodeListener*>{this});
  if (device_->Plug(error_)) return true;
  device_->Unplug();
  retired_.push_back(std::move(device_));
  return false;
}

void EmulatedLink::Vanish() {
  if (!device_) return;
  // A controller that leaves on a report it took (the completion command's
  // restart) has acknowledged that report first: the write that carried it
  // returns, and the host sees the device go some frames later (the kernel
  // told it about 35 ms on). Going at once took the write's result with it
  // through Wine's HID stack, whose write then never returned.
  if (takingOutput_) {
    vanishWhenWriteReturned_ = true;
    return;
  }
  vanishWhenWriteReturned_ = false;
  if (goneTimer_) goneTimer_->Cancel();
  device_->Unplug();
  retired_.push_back(std::move(device_));
}

void EmulatedLink::SendInput(const Report& report) { SendReport(report); }

bool EmulatedLink::SendReport(const Report& report) {
  if (!device_) return false;
  device_->Node(0).QueueInput(report);
  return true;
}

bool EmulatedLink::SendNumbered(unsigned count) {
  if (!device_) return false;
  for (unsigned n = 1; n <= count; ++n) {
    Report report{};
    for (int byte = 0; byte < 4; ++byte) report[byte] = static_cast<uint8_t>(n >> (8 * byte));
    SendReport(report);
  }
  return true;
}

bool EmulatedLink::SendShort() {
  if (!device_) return false;
  const uint8_t report[kShortReportSize] = {0x05, 0x00, 0x16, 0x01, 0x00, 0x14};  // an acknowledgement, cut short
  device_->Node(0).QueueInput(report, sizeof report);
  return true;
}

std::string EmulatedLink::Devnode() const {
  return device_ && device_->Node(0).Present() ? device_->Node(0).Devnode() : std::string();
}

void EmulatedLink::OnOutputReport(const Report& report) {
  takingOutput_ = true;
  sink_(report);
  takingOutput_ = false;
}

void EmulatedLink::OnWriteReturned() {
  if (!vanishWhenWriteReturned_) return;
  if (!goneTimer_) goneTimer_ = std::make_unique<MicrosecondTimer>([this] { Vanish(); });
  goneTimer_->WakeAt(MonotonicUs() + kGoneAfterWriteUs);
}

void EmulatedLink::OnWireViolation(const std::string& what) {
  ++violationCount_;
  if (violations_.size() < kKeptViolations) violations_.push_back(what);
}

void EmulatedLink::StopReading() {
  if (device_) device_->Node(0).StopTakingWrites();
}
