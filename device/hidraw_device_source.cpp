#include "hidraw_device_source.h"

#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <vector>

#include "udev_hidraw.h"

namespace hiddevice {

namespace {

constexpr unsigned kWriteTimeoutMs = 1000;
constexpr std::size_t kReportBytes = 64;

bool Listed(const std::vector<DeviceMatch>& list, std::uint16_t vendorId, std::uint16_t productId) {
  return std::any_of(list.begin(), list.end(), [&](const DeviceMatch& match) {
    return match.vendorId == vendorId && match.productId == productId;
  });
}

// Two names of one node, by the file they name.
bool SameNode(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat first, second;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino && first.st_rdev == second.st_rdev;
}

std::string OpenFailure(int error) {
  if (error == EACCES || error == EPERM) return "permission denied";
  return std::strerror(error);
}

}  // namespace

HidrawDeviceSource::HidrawDeviceSource(EventLoop& loop, DeviceSourceClient& client, DeviceSelection selection,
                                       Uevents uevents)
    : loop_(loop), client_(client), selection_(std::move(selection)), uevents_(uevents) {}

HidrawDeviceSource::~HidrawDeviceSource() {
  *alive_ = false;
  for (auto& entry : open_) loop_.Unwatch(entry.second.fd);
  open_.clear();  // each writer closes its descriptor on its own thread
  if (opener_) loop_.Unwatch(opener_->WakeFd());
  opener_.reset();  // and so does the opener, with what it opened since
  if (monitorFd_ >= 0) loop_.Unwatch(monitorFd_);
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

void HidrawDeviceSource::Start() {
  if (udev_ != nullptr) return;
  udev_ = udev_new();
  if (udev_ == nullptr) return;
  opener_ = std::make_unique<NodeOpener>();
  loop_.Watch(opener_->WakeFd(), [this] { OnOpened(); });
  // Listening starts before the scan, so that nothing plugged in between
  // is missed; what both report is taken once.
  monitor_ = udev_monitor_new_from_netlink(udev_, uevents_ == Uevents::FromKernel ? "kernel" : "udev");
  if (monitor_ != nullptr && udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) == 0 &&
      udev_monitor_enable_receiving(monitor_) == 0) {
    monitorFd_ = udev_monitor_get_fd(monitor_);
    loop_.Watch(monitorFd_, [this] { OnMonitorEvent(); });
  }
  std::weak_ptr<bool> alive = alive_;
  loop_.After(0, [this, alive] {
    if (!alive.expired()) Scan();
  });
}

void HidrawDeviceSource::Scan() {
  udev_enumerate* enumerate = udev_enumerate_new(udev_);
  if (enumerate == nullptr) return;
  udev_enumerate_add_match_subsystem(enumerate, "hidraw");
  udev_enumerate_scan_devices(enumerate);
  // What is present now arrives before anything asked of the loop after
  // Start(): these are opened here, on the loop, before any write of ours
  // can be in the kernel.
  scanning_ = true;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (device == nullptr) continue;
    Consider(device, false);
    udev_device_unref(device);
  }
  scanning_ = false;
  udev_enumerate_unref(enumerate);
  ScheduleRescan();
}

void HidrawDeviceSource::ScheduleRescan() {
  std::weak_ptr<bool> alive = alive_;
  loop_.After(kRescanMs, [this, alive] {
    if (alive.expired()) return;
    Rescan();
    ScheduleRescan();
  });
}

// Runs every second on the loop, during transfers too: only nodes not known
// already are asked of udev.
void HidrawDeviceSource::Rescan() {
  const std::optional<std::set<std::string>> present = ListHidrawSyspaths();
  if (!present) return;  // a listing that failed says nothing of what went
  for (const std::string& syspath : *present) {
    if (Known(syspath)) continue;
    udev_device* device = udev_device_new_from_syspath(udev_, syspath.c_str());
    if (device == nullptr) continue;
    Consider(device, false);
    udev_device_unref(device);
  }
  std::vector<std::string> gone;
  for (const auto& watched : seen_) {
    if (present->count(watched.first) == 0) gone.push_back(watched.first);
  }
  for (const std::string& syspath : gone) Forget(syspath);
  for (auto it = ignored_.begin(); it != ignored_.end();) it = present->count(*it) != 0 ? std::next(it) : ignored_.erase(it);
}

bool HidrawDeviceSource::Known(const std::string& syspath) const {
  if (ignored_.count(syspath) != 0 || seen_.count(syspath) != 0 || otherInterfaces_.count(syspath) != 0 ||
      unavailable_.count(syspath) != 0)
    return true;
  for (const auto& entry : open_) {
    if (entry.second.syspath == syspath) return true;
  }
  for (const auto& entry : pending_) {
    if (entry.second.syspath == syspath) return true;
  }
  return false;
}

void HidrawDeviceSource::OnMonitorEvent() {
  udev_device* device = udev_monitor_receive_device(monitor_);
  if (device == nullptr) return;
  const char* action = udev_device_get_action(device);
  const char* syspath = udev_device_get_syspath(device);
  if (action != nullptr && syspath != nullptr) {
    if (std::strcmp(action, "remove") == 0) {
      Forget(syspath);
    } else if (std::strcmp(action, "add") == 0) {
      Consider(device, false);
    } else if (std::strcmp(action, "change") == 0) {
      // Access to a node may have been granted since (a rule, a login).
      Consider(device, true);
    }
  }
  udev_device_unref(device);
}

void HidrawDeviceSource::Consider(udev_device* device, bool retryUnavailable) {
  const std::optional<HidrawNode> node = DescribeHidrawNode(device);
  if (!node) return;  // perhaps not described yet: asked again at the next listing
  // The bus and identifiers are in the HID device's name, part of the
  // syspath: a node judged not ours stays so.
  if (node->bus != kBusUsb) {
    ignored_.insert(node->syspath);
    return;
  }
  for (const auto& entry : open_) {
    if (entry.second.syspath == node->syspath) return;  // known already
  }
  for (const auto& entry : pending_) {
    if (entry.second.syspath == node->syspath) return;  // being opened
  }
  if (seen_.count(node->syspath) != 0 || otherInterfaces_.count(node->syspath) != 0) return;

  DeviceProperties properties;
  properties.vendorId = node->vendorId;
  properties.productId = node->productId;
  properties.product = node->name;
  properties.path = node->devnode;
  properties.port = node->port;
  properties.serial = node->uniq;
  if (Listed(selection_.open, node->vendorId, node->productId)) {
    if ((!selection_.onlyPath.empty() && !SameNode(node->devnode, selection_.onlyPath)) ||
        (!selection_.onlyPortPath.empty() && PortPath(properties) != selection_.onlyPortPath)) {
      ignored_.insert(node->syspath);
      return;
    }
    // Another interface of the controller's USB device carries the same
    // identifiers: its descriptor, readable without opening, tells.
    if (DescribedInterface(node->hidSyspath) == NodeInterface::Other) {
      otherInterfaces_.insert(node->syspath);
      return;
    }
    const bool toldBefore = unavailable_.count(node->syspath) != 0;
    if (toldBefore && !retryUnavailable) return;
    const PendingOpen pending{properties, node->syspath, !toldBefore};
    if (scanning_) {
      Opened(pending, OpenHidrawNode(properties.path, node->vendorId, node->productId));
      return;
    }
    const std::uint64_t ticket = nextTicket_++;
    pending_[ticket] = pending;
    NodeOpener::Request request;
    request.ticket = ticket;
    request.path = properties.path;
    request.vendorId = node->vendorId;
    request.productId = node->productId;
    request.retry = uevents_ == Uevents::FromKernel;
    opener_->Open(std::move(request));
  } else if (Listed(selection_.watch, node->vendorId, node->productId) ||
             Listed(selection_.watchUpdateInterface, node->vendorId, node->productId)) {
    if (Listed(selection_.watchUpdateInterface, node->vendorId, node->productId) &&
        DescribedInterface(node->hidSyspath) == NodeInterface::Other) {
      otherInterfaces_.insert(node->syspath);
      return;
    }
    seen_[node->syspath] = properties;
    client_.DeviceSeen(properties);
  } else {
    ignored_.insert(node->syspath);
  }
}

void HidrawDeviceSource::OnOpened() {
  for (NodeOpener::Done& done : opener_->TakeDone()) {
    const auto found = pending_.find(done.ticket);
    if (found == pending_.end()) {  // removed while it was being opened
      opener_->CloseLater(done.node.fd);
      continue;
    }
    const PendingOpen pending = found->second;
    pending_.erase(found);
    Opened(pending, std::move(done.node));
  }
}

void HidrawDeviceSource::Opened(const PendingOpen& pending, OpenedNode node) {
  if (node.fd < 0) {
    // Not what udev said it was, or another interface of the controller:
    // left alone until it goes, not opened again at every listing.
    if (node.mismatch || node.interface == NodeInterface::Other) {
      otherInterfaces_.insert(pending.syspath);
      return;
    }
    const int error = node.error;
    if (error == ENOENT || error == ENODEV || error == ENXIO) return;  // gone again already
    unavailable_.insert(pending.syspath);
    if (pending.tellUnavailable) client_.DeviceUnavailable(pending.properties, OpenFailure(error));
    return;
  }
  DeviceProperties properties = pending.properties;
  if (!node.name.empty()) properties.product = node.name;

  unavailable_.erase(pending.syspath);
  const DeviceId id = nextId_++;
  OpenDevice& device = open_[id];
  device.fd = node.fd;
  device.syspath = pending.syspath;
  device.writer = std::make_unique<BoundedWriter>(node.fd);
  loop_.Watch(node.fd, [this, id] { OnReadable(id); });
  client_.DeviceArrived(id, properties);
}

void HidrawDeviceSource::OnReadable(DeviceId id) {
  // One report per readiness notice: the loop comes back at once while more
  // are queued, and a read that finds nothing costs as much as a poll and
  // much more where the node is emulated.
  const auto found = open_.find(id);
  if (found == open_.end()) return;
  std::uint8_t report[4096];  // a longer report than ours is handed on whole
  ssize_t got;
  do {
    got = read(found->second.fd, report, sizeof report);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    client_.InputReport(id, report, static_cast<std::size_t>(got));
    return;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
  // End of file, a removed device, or an error no read will get past:
  // the device is of no more use.
  Remove(id);
}

void HidrawDeviceSource::Remove(DeviceId id) {
  const auto found = open_.find(id);
  if (found == open_.end()) return;
  loop_.Unwatch(found->second.fd);
  open_.erase(found);  // its writer closes the descriptor once no write is in the kernel
  client_.DeviceRemoved(id);
}

void HidrawDeviceSource::Forget(const std::string& syspath) {
  ignored_.erase(syspath);
  unavailable_.erase(syspath);
  otherInterfaces_.erase(syspath);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->second.syspath == syspath) {
      pending_.erase(it);  // what the opener brings for it is closed unseen
      return;
    }
  }
  for (const auto& entry : open_) {
    if (entry.second.syspath == syspath) {
      Remove(entry.first);
      return;
    }
  }
  const auto seen = seen_.find(syspath);
  if (seen == seen_.end()) return;
  const DeviceProperties properties = seen->second;
  seen_.erase(seen);
  client_.DeviceUnseen(properties);
}

WriteResult HidrawDeviceSource::WriteReport(DeviceId id, const std::uint8_t* report, std::size_t length) {
  const auto found = open_.find(id);
  if (found == open_.end()) return WriteResult::Gone;
  std::uint8_t numbered[1 + kReportBytes] = {};  // report ID 0: the reports are unnumbered
  std::memcpy(numbered + 1, report, std::min(length, kReportBytes));
  switch (found->second.writer->Write(numbered, sizeof numbered, kWriteTimeoutMs)) {
    case BoundedWriter::Result::Written:
      return WriteResult::Written;
    case BoundedWriter::Result::Gone: {
      // Told from the loop, never from inside the client's own call.
      std::weak_ptr<bool> alive = alive_;
      loop_.After(0, [this, alive, id] {
        if (!alive.expired()) Remove(id);
      });
      return WriteResult::Gone;
    }
    case BoundedWriter::Result::Failed:
      break;
  }
  return WriteResult::Failed;
}

}  // namespace hiddevice
