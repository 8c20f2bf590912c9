#include "emulated_link.h"

#include "protocol.h"

std::string ControllerProductName(uint16_t productId) {
  return productId == kBootProductId ? "Korvid Controller (BOOT)" : "Korvid Controller";
}

EmulatedLink::EmulatedLink(Testbed& testbed, CallMailbox& mailbox, std::vector<std::unique_ptr<HidrawNode>>& retired,
                           unsigned port, mode_t nodeMode, OutputSink sink)
    : testbed_(testbed),
      mailbox_(mailbox),
      retired_(retired),
      port_(port),
      nodeMode_(nodeMode),
      sink_(std::move(sink)) {}

EmulatedLink::~EmulatedLink() {
  if (node_) retired_.push_back(std::move(node_));
}

bool EmulatedLink::Appear(const DeviceIdentity& identity) {
  Vanish();
  error_.clear();
  HidIdentity hid{HidBus::Usb, identity.vendorId, identity.productId, ControllerProductName(identity.productId)};
  node_ =
      std::make_unique<HidrawNode>(testbed_, mailbox_, hid, port_, nodeMode_, static_cast<HidrawNodeListener*>(this));
  if (node_->Plug(error_)) return true;
  node_->Unplug();
  retired_.push_back(std::move(node_));
  return false;
}

void EmulatedLink::Vanish() {
  if (!node_) return;
  node_->Unplug();
  retired_.push_back(std::move(node_));
}

void EmulatedLink::SendInput(const Report& report) {
  if (node_) node_->QueueInput(report);
}

std::string EmulatedLink::Devnode() const { return node_ && node_->Present() ? node_->Devnode() : std::string(); }

void EmulatedLink::OnOutputReport(const Report& report) { sink_(report); }

void EmulatedLink::OnWireViolation(const std::string& what) {
  ++violationCount_;
  if (violations_.size() < kKeptViolations) violations_.push_back(what);
}

void EmulatedLink::StopReading() {
  if (node_) node_->StopTakingWrites();
}
