// One USB gadget of the kernel's configfs gadget framework, made of f_hid
// functions: what a controller looks like on a real USB port when the host
// side is dummy_hcd. Binding it to a UDC plugs it in; unbinding pulls it out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct HidFunctionSpec {
  std::vector<uint8_t> reportDescriptor;
  unsigned reportLength = 64;
  unsigned subclass = 0;
  unsigned protocol = 0;
};

struct GadgetSpec {
  std::string name;  // the folder below usb_gadget/
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::vector<HidFunctionSpec> functions;
};

class ConfigfsGadget {
 public:
  ConfigfsGadget() = default;
  ~ConfigfsGadget() { Remove(); }
  ConfigfsGadget(const ConfigfsGadget&) = delete;
  ConfigfsGadget& operator=(const ConfigfsGadget&) = delete;

  // Makes the gadget's folders, strings, functions and its one configuration.
  bool Create(const GadgetSpec& spec, std::string& error);
  // Only while unbound: the ids and strings the host reads at enumeration.
  bool SetIdentity(uint16_t productId, const std::string& product, std::string& error);
  bool Bind(const std::string& udc, std::string& error);
  void Unbind();
  bool Bound() const { return !udc_.empty(); }
  // Takes everything down again, in the reverse order configfs demands.
  void Remove();

  // /dev/hidgN of function `index`, from its device number.
  std::string HidgNode(std::size_t index) const;

 private:
  std::string root_;
  std::string udc_;
  std::size_t functions_ = 0;
};

// The UDCs of the system (dummy_udc.0, ...), in name order.
std::vector<std::string> ListUdcs();
