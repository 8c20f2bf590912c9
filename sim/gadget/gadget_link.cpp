#include "gadget_link.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol.h"

std::string GadgetProductString(uint16_t productId) {
  return productId == kBootProductId ? "Controller (BOOT)" : "Controller";
}

GadgetLink::GadgetLink(ConfigfsGadget& gadget, std::string udc, std::size_t function, OutputSink sink)
    : gadget_(gadget), udc_(std::move(udc)), function_(function), sink_(std::move(sink)) {}

bool GadgetLink::Appear(const DeviceIdentity& identity) {
  Vanish();
  error_.clear();
  reading_ = true;
  if (!gadget_.SetIdentity(identity.productId, GadgetProductString(identity.productId), error_) ||
      !gadget_.Bind(udc_, error_))
    return false;
  // f_hid makes its character device while binding, so it is there now.
  node_ = gadget_.HidgNode(function_);
  fd_ = node_.empty() ? -1 : open(node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = "cannot open the gadget's HID function " + (node_.empty() ? std::string("(no node)") : node_) + ": " +
             std::strerror(errno);
    gadget_.Unbind();
    return false;
  }
  return true;
}

void GadgetLink::Vanish() {
  // Closed before the unbind: f_hid frees its state on unbind, and a file
  // still open on it would outlive what it points to.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  queued_.clear();
  gadget_.Unbind();
}

void GadgetLink::SendInput(const Report& report) { SendRaw(std::vector<uint8_t>(report.begin(), report.end())); }

void GadgetLink::SendRaw(std::vector<uint8_t> bytes) {
  if (fd_ < 0) return;
  if (queued_.size() >= kQueuedInputLimit) queued_.pop_front();
  queued_.push_back(std::move(bytes));
  WriteInput();
}

void GadgetLink::AddPollFds(std::vector<pollfd>& fds) const {
  short events = 0;
  if (reading_) events |= POLLIN;
  if (!queued_.empty()) events |= POLLOUT;
  fds.push_back(pollfd{fd_, events, 0});
}

void GadgetLink::HandleEvents(const pollfd* fds, std::size_t count) {
  if (count == 0 || fds[0].fd != fd_ || fd_ < 0) return;
  if (fds[0].revents & POLLIN) ReadOutput();
  if (fd_ >= 0 && (fds[0].revents & POLLOUT)) WriteInput();
}

void GadgetLink::ReadOutput() {
  uint8_t bytes[1024];
  for (;;) {
    if (!reading_ || fd_ < 0) return;
    const ssize_t got = read(fd_, bytes, sizeof bytes);
    if (got < 0) return;  // EAGAIN: all taken
    if (static_cast<std::size_t>(got) != kReportSize) {
      oddReads_.push_back(static_cast<std::size_t>(got));
      continue;
    }
    Report report;
    std::memcpy(report.data(), bytes, kReportSize);
    sink_(report);  // may unbind the gadget (unplug, restart)
  }
}

void GadgetLink::WriteInput() {
  // f_hid holds one input report at a time: EAGAIN until the host fetched it.
  while (fd_ >= 0 && !queued_.empty()) {
    const std::vector<uint8_t>& bytes = queued_.front();
    if (write(fd_, bytes.data(), bytes.size()) < 0) return;
    queued_.pop_front();
  }
}
