// Opening a hidraw node and asking it what it is, off the event loop.
//
// While any write to a hidraw node waits in the kernel (through usbhid up to
// about five seconds, for a device that takes nothing), hidraw's global lock
// holds every open() and last close() of every hidraw node of the system,
// and the ioctls queued behind them. A program's loop therefore opens, asks
// and closes nodes on a thread of its own: NodeOpener.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hiddevice {

enum class NodeInterface {
  Update,   // its report descriptor has the controller's vendor reports
  Other,    // a readable descriptor without them: another interface of the device
  Unknown,  // the descriptor could not be read: taken as the controller's
};

struct OpenedNode {
  int fd = -1;
  int error = 0;                                     // errno of open() when there is no fd
  bool mismatch = false;                             // opened, but not the device udev described: closed again
  NodeInterface interface = NodeInterface::Unknown;  // Other: closed again
  std::string name;                                  // the name the node gives, "" when none
};

// The interface as the HID device's report descriptor in sysfs tells it,
// which anyone may read, before the node is opened (Unknown when there is
// none to read).
NodeInterface DescribedInterface(const std::string& hidSyspath);

// Opens `path` read-write without blocking on reads, checks that it is a USB
// device with these identifiers and reads its name and report descriptor.
// Blocks while the kernel's hidraw lock is held.
OpenedNode OpenHidrawNode(const std::string& path, std::uint16_t vendorId, std::uint16_t productId);

class NodeOpener {
 public:
  struct Request {
    std::uint64_t ticket = 0;
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    // Heard from the kernel ahead of any rule: a node that is not there yet,
    // or not yet ours to open, is tried again for a while.
    bool retry = false;
  };
  struct Done {
    std::uint64_t ticket;
    OpenedNode node;
  };

  static constexpr unsigned kRetryEveryMs = 100;
  static constexpr unsigned kRetryForMs = 2000;

  NodeOpener();
  // Never waits for an open in the kernel: the thread ends on its own and
  // closes what it opened after this.
  ~NodeOpener();
  NodeOpener(const NodeOpener&) = delete;
  NodeOpener& operator=(const NodeOpener&) = delete;

  // Readable while results wait for TakeDone().
  int WakeFd() const;
  void Open(Request request);
  // Closes a descriptor on the opener's thread.
  void CloseLater(int fd);
  std::vector<Done> TakeDone();

 private:
  struct Shared;
  static void Serve(std::shared_ptr<Shared> shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace hiddevice
