// One device as plugged in: a USB device with one hidraw node per HID
// interface (or a Bluetooth HID device with one node), added to the testbed
// whole and pulled out whole, as the kernel adds and removes them.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "call_desk.h"
#include "hidraw_description.h"
#include "hidraw_node.h"
#include "testbed.h"

class EmulatedDevice {
 public:
  // `listeners` per interface (missing or null: takes writes, answers nothing).
  EmulatedDevice(Testbed& testbed, DeviceSpec spec, unsigned port, mode_t mode,
                 const std::vector<HidrawNodeListener*>& listeners);
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Handlers first, then the devices, then their "add" uevents, so that no
  // program can open a node before it answers.
  bool Plug(std::string& error);
  // Every node disconnected, the "remove" uevents, children first, and the
  // devices gone from the testbed. The nodes keep answering descriptors
  // still open.
  void Unplug();
  void Forget();

  HidrawNode& Node(std::size_t interface) { return *nodes_[interface]; }
  const HidrawNode& Node(std::size_t interface) const { return *nodes_[interface]; }
  std::size_t Nodes() const { return nodes_.size(); }
  const DeviceDescription& Description() const { return description_; }

 private:
  Testbed& testbed_;
  DeviceDescription description_;
  std::vector<std::unique_ptr<HidrawNode>> nodes_;
  bool plugged_ = false;
};
