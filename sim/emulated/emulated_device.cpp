#include "emulated_device.h"

EmulatedDevice::EmulatedDevice(Testbed& testbed, DeviceSpec spec, unsigned port, mode_t mode,
                               const std::vector<HidrawNodeListener*>& listeners)
    : testbed_(testbed) {
  if (spec.bus != HidBus::Usb) spec.interfaces.resize(1);
  DevicePlacement placement;
  placement.port = port;
  if (spec.bus == HidBus::Usb) placement.devnum = testbed.TakeUsbDevnum();
  for (std::size_t i = 0; i < spec.interfaces.size(); ++i) {
    placement.hidSequences.push_back(testbed.TakeHidSequence());
    placement.minors.push_back(testbed.TakeMinor());
  }
  description_ = DescribeDevice(spec, placement);
  for (std::size_t i = 0; i < spec.interfaces.size(); ++i) {
    const HidrawDescription& node = description_.nodes[i];
    HidrawIdentity identity{spec.bus,  spec.vendorId, spec.productId,    description_.name,
                            node.phys, spec.serial,   spec.interfaces[i]};
    nodes_.push_back(std::make_unique<HidrawNode>(testbed, identity, node.devnode, mode,
                                                  i < listeners.size() ? listeners[i] : nullptr));
  }
}

bool EmulatedDevice::Plug(std::string& error) {
  for (auto& node : nodes_)
    if (!node->AttachHandler(error)) return false;
  // Adding sends the "add" uevents, each node's once its /dev entry exists.
  if (!testbed_.Add(description_.text, error)) return false;
  plugged_ = true;
  for (auto& node : nodes_)
    if (!node->TakePty(error)) return false;
  return true;
}

void EmulatedDevice::Unplug() {
  if (!plugged_) return;
  plugged_ = false;
  for (auto& node : nodes_) node->Disconnect();
  // Children first, as the kernel tells them; each one removed by itself,
  // since removing only a parent would leave the nodes' /dev entries and
  // class links behind.
  std::vector<std::string> gone;
  for (const HidrawDescription& node : description_.nodes) {
    gone.push_back(node.hidrawSyspath);
    gone.push_back(node.hidSyspath);
    if (!node.interfaceSyspath.empty()) gone.push_back(node.interfaceSyspath);
  }
  if (!description_.usbSyspath.empty()) gone.push_back(description_.usbSyspath);
  for (const std::string& syspath : gone) testbed_.Uevent(syspath, "remove");
  for (const std::string& syspath : gone) testbed_.Remove(syspath);
  for (auto& node : nodes_) node->DetachHandler();
}

void EmulatedDevice::Forget() {
  for (auto& node : nodes_) node->Forget();
}
