#include "hidraw_open.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "report_descriptor.h"
#include "udev_hidraw.h"

namespace hiddevice {

namespace {

NodeInterface Judge(const std::uint8_t* bytes, std::size_t size) {
  return IsUpdateInterface(ParseReportDescriptor(bytes, size)) ? NodeInterface::Update : NodeInterface::Other;
}

NodeInterface AskInterface(int fd) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0) return NodeInterface::Unknown;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<std::uint32_t>(size) < HID_MAX_DESCRIPTOR_SIZE ? static_cast<std::uint32_t>(size)
                                                                               : HID_MAX_DESCRIPTOR_SIZE;
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return NodeInterface::Unknown;
  const std::size_t length = descriptor.size < HID_MAX_DESCRIPTOR_SIZE ? descriptor.size : HID_MAX_DESCRIPTOR_SIZE;
  return Judge(descriptor.value, length);
}

bool NotYetThere(int error) { return error == ENOENT || error == ENXIO || error == EACCES || error == EPERM; }

}  // namespace

NodeInterface DescribedInterface(const std::string& hidSyspath) {
  if (hidSyspath.empty()) return NodeInterface::Unknown;
  const int fd = open((hidSyspath + "/report_descriptor").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return NodeInterface::Unknown;
  std::uint8_t bytes[HID_MAX_DESCRIPTOR_SIZE];
  std::size_t size = 0;
  for (;;) {
    const ssize_t got = read(fd, bytes + size, sizeof bytes - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
    if (size == sizeof bytes) break;
  }
  close(fd);
  return size == 0 ? NodeInterface::Unknown : Judge(bytes, size);
}

OpenedNode OpenHidrawNode(const std::string& path, std::uint16_t vendorId, std::uint16_t productId) {
  OpenedNode node;
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    node.error = errno;
    return node;
  }
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0 || info.bustype != kBusUsb ||
      static_cast<std::uint16_t>(info.vendor) != vendorId || static_cast<std::uint16_t>(info.product) != productId) {
    close(fd);
    node.mismatch = true;
    return node;
  }
  node.interface = AskInterface(fd);
  if (node.interface == NodeInterface::Other) {
    close(fd);
    return node;
  }
  char name[256] = {};
  if (ioctl(fd, HIDIOCGRAWNAME(sizeof name - 1), name) > 0) node.name = name;
  node.fd = fd;
  return node;
}

struct NodeOpener::Shared {
  std::mutex lock;
  std::condition_variable changed;
  struct Pending {
    Request request;
    std::chrono::steady_clock::time_point due;
    std::chrono::steady_clock::time_point giveUp;
  };
  std::deque<Pending> pending;
  std::deque<int> toClose;
  std::vector<Done> done;
  bool quit = false;
  int wakeFd = -1;
  ~Shared() {
    if (wakeFd >= 0) close(wakeFd);
  }
};

NodeOpener::NodeOpener() : shared_(std::make_shared<Shared>()) {
  shared_->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::thread(&NodeOpener::Serve, shared_).detach();
}

NodeOpener::~NodeOpener() {
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->quit = true;
  }
  shared_->changed.notify_all();
}

int NodeOpener::WakeFd() const { return shared_->wakeFd; }

void NodeOpener::Open(Request request) {
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    const auto now = std::chrono::steady_clock::now();
    shared_->pending.push_back(Shared::Pending{std::move(request), now, now + std::chrono::milliseconds(kRetryForMs)});
  }
  shared_->changed.notify_all();
}

void NodeOpener::CloseLater(int fd) {
  if (fd < 0) return;
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->toClose.push_back(fd);
  }
  shared_->changed.notify_all();
}

std::vector<NodeOpener::Done> NodeOpener::TakeDone() {
  std::uint64_t count;
  while (read(shared_->wakeFd, &count, sizeof count) > 0) {
  }
  std::lock_guard<std::mutex> hold(shared_->lock);
  std::vector<Done> done;
  done.swap(shared_->done);
  return done;
}

void NodeOpener::Serve(std::shared_ptr<Shared> shared) {
  std::unique_lock<std::mutex> hold(shared->lock);
  for (;;) {
    if (shared->quit) break;
    if (!shared->toClose.empty()) {
      const int fd = shared->toClose.front();
      shared->toClose.pop_front();
      hold.unlock();
      close(fd);
      hold.lock();
      continue;
    }
    // The earliest due; those due alike in the order asked for.
    auto next = shared->pending.begin();
    for (auto it = shared->pending.begin(); it != shared->pending.end(); ++it) {
      if (it->due < next->due) next = it;
    }
    if (next == shared->pending.end()) {
      shared->changed.wait(hold);
      continue;
    }
    if (next->due > std::chrono::steady_clock::now()) {
      shared->changed.wait_until(hold, next->due);
      continue;
    }
    Shared::Pending attempt = *next;
    shared->pending.erase(next);
    hold.unlock();
    OpenedNode node = OpenHidrawNode(attempt.request.path, attempt.request.vendorId, attempt.request.productId);
    hold.lock();
    const auto now = std::chrono::steady_clock::now();
    if (node.fd < 0 && attempt.request.retry && NotYetThere(node.error) && now < attempt.giveUp) {
      attempt.due = now + std::chrono::milliseconds(kRetryEveryMs);
      shared->pending.push_back(std::move(attempt));
      continue;
    }
    if (shared->quit) {  // no one takes it any more
      if (node.fd >= 0) close(node.fd);
      break;
    }
    shared->done.push_back(Done{attempt.request.ticket, std::move(node)});
    const std::uint64_t one = 1;
    (void)!write(shared->wakeFd, &one, sizeof one);
  }
  // Results never taken, and descriptors handed over to close.
  std::vector<int> fds(shared->toClose.begin(), shared->toClose.end());
  for (const Done& done : shared->done) {
    if (done.node.fd >= 0) fds.push_back(done.node.fd);
  }
  shared->toClose.clear();
  shared->done.clear();
  hold.unlock();
  for (const int fd : fds) close(fd);
}

}  // namespace hiddevice
