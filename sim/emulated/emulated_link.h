// The controller service's device as an emulated USB device: each time the
// controller appears, a new device (a new address, new HID devices and
// hidraw minors) comes into being on its port; when it goes, the device is
// unplugged and kept aside, so that descriptors still open on it fail as on
// a pulled-out device.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controller_service.h"
#include "emulated_device.h"
#include "microsecond_timer.h"

// Where and how the controller is plugged in.
struct LinkSettings {
  unsigned port = 1;        // USB root port
  unsigned returnPort = 0;  // after leaving BOOT mode it comes back here; 0: its own port
  mode_t nodeMode = 0666;
  bool secondInterface = false;  // a keyboard-like HID interface beside the controller's
  std::string bootProduct;       // its USB product string in BOOT mode; "": the usual one
  std::string serial;
};

class EmulatedLink final : public DeviceLink, private HidrawNodeListener {
 public:
  using OutputSink = std::function<void(const Report&)>;
  // Wire violations kept per controller; beyond this many only counted.
  static constexpr std::size_t kKeptViolations = 32;
  // What a short input report holds: less than the descriptor's report.
  static constexpr std::size_t kShortReportSize = 8;

  // `retired` keeps unplugged devices alive for the emulator's lifetime.
  EmulatedLink(Testbed& testbed, std::vector<std::unique_ptr<EmulatedDevice>>& retired,
               LinkSettings settings, OutputSink sink);
  ~EmulatedLink() override;

  bool Appear(const DeviceIdentity& identity) override;
  void Vanish() override;
  void SendInput(const Report& report) override;
  // Writes to the controller's node wait from now on, until usbhid's
  // time-out or the unplug.
  void StopReading() override;

  // Input reports that are not the controller's answers, for a test to see
  // what the kernel makes of them: `count` reports numbered from 1 (bytes
  // 0-3, little-endian), or one of kShortReportSize bytes. False while the
  // controller is not plugged in.
  bool SendNumbered(unsigned count);
  bool SendShort();
  // One input report as given, for a test that plays the controller itself.
  bool SendReport(const Report& report);

  // The controller's node while it is plugged in; empty otherwise.
  std::string Devnode() const;
  const HidrawNode* Node() const { return device_ ? &device_->Node(0) : nullptr; }
  const EmulatedDevice* Device() const { return device_.get(); }
  const std::vector<std::string>& WireViolations() const { return violations_; }
  uint64_t WireViolationCount() const { return violationCount_; }
  // Why the last Appear failed.
  const std::string& LastError() const { return error_; }

 private:
  void OnOutputReport(const Report& report) override;
  void OnWireViolation(const std::string& what) override;
  void OnWriteReturned() override;

  Testbed& testbed_;
    std::vector<std::unique_ptr<EmulatedDevice>>& retired_;
  LinkSettings settings_;
  OutputSink sink_;
  std::unique_ptr<EmulatedDevice> device_;
  bool appearedInBootMode_ = false;
  // From the acknowledged report to the host seeing the device go.
  static constexpr uint64_t kGoneAfterWriteUs = 30000;
  bool takingOutput_ = false;
  std::unique_ptr<MicrosecondTimer> goneTimer_;
  bool vanishWhenWriteReturned_ = false;
  std::vector<std::string> violations_;
  uint64_t violationCount_ = 0;
  std::string error_;
};

// The USB strings of a controller's device in each mode; its HID name is
// "Korvid <product>".
extern const char kControllerManufacturer[];
std::string ControllerProductString(uint16_t productId);
