// The umockdev testbed: a folder of its own standing in for /sys and /dev
// for every program started under it. Called only holding the emulator's
// state (see CallDesk).
#pragma once

#include <memory>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

class Testbed {
 public:
  // Makes the testbed folder (and sets UMOCKDEV_DIR to it in this process);
  // nullptr with `error` set when it cannot.
  static std::unique_ptr<Testbed> Create(std::string& error);
  // Removes the folder and everything in it.
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  const std::string& Root() const { return root_; }

  // Reads, writes and ioctls on `devnode` go to `handler` from now on, on
  // umockdev's own thread.
  bool AttachHandler(const std::string& devnode, UMockdevIoctlBase* handler, std::string& error);
  void DetachHandler(const std::string& devnode);
  // The socket through which programs reach the handler of `devnode`.
  std::string HandlerSocket(const std::string& devnode) const { return root_ + "/ioctl" + devnode; }

  // Devices from a textual description; their nodes are ptys.
  bool Add(const std::string& description, std::string& error);
  // Removes the device at `syspath` with everything below it.
  void Remove(const std::string& syspath);
  void Uevent(const std::string& syspath, const char* action);
  // The master side of the pty behind `devnode`; owned by the testbed.
  int PtyMaster(const std::string& devnode);

  // Hidraw minors and HID device numbers, never given twice, as the kernel
  // gives a returning device new ones.
  unsigned TakeMinor() { return nextMinor_++; }
  unsigned TakeHidSequence() { return ++lastHidSequence_; }
  // USB addresses on bus 1 (the root hub has 1), a new one each time a
  // device is enumerated.
  unsigned TakeUsbDevnum() { return lastUsbDevnum_ = lastUsbDevnum_ % 127 + 1; }

 private:
  Testbed(UMockdevTestbed* testbed, std::string root) : testbed_(testbed), root_(std::move(root)) {}

  UMockdevTestbed* testbed_;
  std::string root_;
  unsigned nextMinor_ = 0;
  unsigned lastHidSequence_ = 0;
  unsigned lastUsbDevnum_ = 1;
};
