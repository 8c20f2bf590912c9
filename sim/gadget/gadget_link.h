// The controller service's device as a USB gadget on a dummy_hcd port: the
// host's usbhid and hidraw see a real USB HID device. Appearing binds the
// gadget to its UDC (with the product id of the controller's mode), vanishing
// unbinds it; output reports come from /dev/hidgN, input reports go to it.
#pragma once

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "configfs_gadget.h"
#include "controller_service.h"

class GadgetLink final : public DeviceLink {
 public:
  using OutputSink = std::function<void(const Report&)>;
  // Input reports the host has not fetched yet; a controller that keeps
  // answering an absent reader loses the oldest, as its firmware would.
  static constexpr std::size_t kQueuedInputLimit = 256;

  // `function`: which of the gadget's HID functions is the controller's.
  GadgetLink(ConfigfsGadget& gadget, std::string udc, std::size_t function, OutputSink sink);
  ~GadgetLink() override { Vanish(); }

  bool Appear(const DeviceIdentity& identity) override;
  void Vanish() override;
  void SendInput(const Report& report) override;
  // The host's writes are left unread: f_hid's few OUT requests fill, then
  // the endpoint NAKs and the host's write waits until it gives up.
  void StopReading() override { reading_ = false; }
  // An input report of any size, shorter or longer than the descriptor's.
  void SendRaw(std::vector<uint8_t> bytes);

  void AddPollFds(std::vector<pollfd>& fds) const;
  void HandleEvents(const pollfd* fds, std::size_t count);

  const std::string& Udc() const { return udc_; }
  std::string Node() const { return fd_ >= 0 ? node_ : std::string("-"); }
  std::size_t Queued() const { return queued_.size(); }
  // Output reads that were not one whole 64-byte report, with their sizes.
  const std::vector<std::size_t>& OddReads() const { return oddReads_; }
  const std::string& LastError() const { return error_; }

 private:
  void ReadOutput();
  void WriteInput();

  ConfigfsGadget& gadget_;
  std::string udc_;
  std::size_t function_;
  OutputSink sink_;
  int fd_ = -1;
  std::string node_;
  bool reading_ = true;
  std::deque<std::vector<uint8_t>> queued_;
  std::vector<std::size_t> oddReads_;
  std::string error_;
};

// The product string a controller's USB device carries in each mode; the
// host names the HID device "<manufacturer> <product>".
std::string GadgetProductString(uint16_t productId);
