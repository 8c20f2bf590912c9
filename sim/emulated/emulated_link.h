// The controller service's device as emulated hidraw nodes: each time the
// controller appears, a new node (a new minor, a new HID device) comes into
// being; when it goes, the node is unplugged and kept aside, so that
// descriptors still open on it fail as on a pulled-out device.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controller_service.h"
#include "hidraw_node.h"

class EmulatedLink final : public DeviceLink, private HidrawNodeListener {
 public:
  using OutputSink = std::function<void(const Report&)>;
  // Wire violations kept per controller; beyond this many only counted.
  static constexpr std::size_t kKeptViolations = 32;

  // `retired` keeps unplugged nodes alive for the emulator's lifetime.
  EmulatedLink(Testbed& testbed, CallMailbox& mailbox, std::vector<std::unique_ptr<HidrawNode>>& retired, unsigned port,
               mode_t nodeMode, OutputSink sink);
  ~EmulatedLink() override;

  bool Appear(const DeviceIdentity& identity) override;
  void Vanish() override;
  void SendInput(const Report& report) override;
  // Writes to the node wait from now on, until it goes.
  void StopReading() override;

  // The node of the controller while it is plugged in; empty otherwise.
  std::string Devnode() const;
  const HidrawNode* Node() const { return node_.get(); }
  const std::vector<std::string>& WireViolations() const { return violations_; }
  uint64_t WireViolationCount() const { return violationCount_; }
  // Why the last Appear failed.
  const std::string& LastError() const { return error_; }

 private:
  void OnOutputReport(const Report& report) override;
  void OnWireViolation(const std::string& what) override;

  Testbed& testbed_;
  CallMailbox& mailbox_;
  std::vector<std::unique_ptr<HidrawNode>>& retired_;
  unsigned port_;
  mode_t nodeMode_;
  OutputSink sink_;
  std::unique_ptr<HidrawNode> node_;
  std::vector<std::string> violations_;
  uint64_t violationCount_ = 0;
  std::string error_;
};

// The name a controller's device carries in each mode.
std::string ControllerProductName(uint16_t productId);
