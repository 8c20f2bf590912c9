// One emulated hidraw node: a HID device in the testbed whose reads, writes
// and ioctls are answered as the kernel's hidraw driver answers them.
//
// Each read returns one whole 64-byte input report; a program's poll sees
// POLLIN exactly while a report is queued, because one byte per queued
// report waits in the pty behind the node (the program polls that pty; the
// node drains a byte per report read). The queue is the node's, not each
// reader's: a program opening the node empties it. Writes carry report ID 0 and the 64
// report bytes. After Unplug every call on a descriptor still open fails
// with ENODEV, as on a device that was pulled out.
//
// Handlers run on umockdev's thread and only hand each call to the mailbox;
// everything else here runs on the main loop.
#pragma once

#include <glib-object.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "call_mailbox.h"
#include "hidraw_description.h"
#include "simulated_controller.h"
#include "testbed.h"

// What the node's owner hears of what programs wrote.
class HidrawNodeListener {
 public:
  virtual ~HidrawNodeListener() = default;
  // A sound output report: report ID 0 and 64 bytes, the ID stripped.
  virtual void OnOutputReport(const Report& report) = 0;
  // A write the kernel would let through but the controller never sees so.
  virtual void OnWireViolation(const std::string& what) = 0;
};

class HidrawNode {
 public:
  // Reports a reader has not taken yet, as hidraw keeps them; beyond this the
  // oldest goes.
  static constexpr std::size_t kQueuedReports = 64;

  // `listener` may be null: the node takes writes and answers nothing.
  HidrawNode(Testbed& testbed, CallMailbox& mailbox, HidIdentity identity, unsigned port, mode_t mode,
             HidrawNodeListener* listener);
  ~HidrawNode();
  HidrawNode(const HidrawNode&) = delete;
  HidrawNode& operator=(const HidrawNode&) = delete;

  // Handlers first, then the device, then its "add" uevents, so that no
  // program can open the node before it answers.
  bool Plug(std::string& error);
  // "remove" uevents and the device gone; open descriptors fail with ENODEV.
  void Unplug();

  // An input report for the programs that hold the node open (none: lost).
  void QueueInput(const Report& report);

  // A call handed over from umockdev's thread; answers and releases it.
  void Handle(const HandedCall& call);
  // Stops hearing from umockdev's thread, before the testbed goes.
  void Forget();

  const std::string& Devnode() const { return description_.devnode; }
  bool Present() const { return plugged_ && !gone_; }
  std::size_t Openers() const { return openers_.size(); }
  std::size_t Queued() const { return queued_; }

 private:
  void AnswerIoctl(UMockdevIoctlClient* client);
  void AnswerRead(UMockdevIoctlClient* client);
  void AnswerWrite(UMockdevIoctlClient* client);
  void Opened(UMockdevIoctlClient* client);
  void Closed(UMockdevIoctlClient* client);
  void ForgetQueued();

  void RingDoorbell();
  // Drains the bytes of reports no longer queued; those still on their way
  // into the pty are drained as they arrive.
  void DrainDoorbell(unsigned bytes);
  void PayDoorbellDebt();
  static gboolean OnDoorbellReadable(gint fd, GIOCondition condition, gpointer self);

  // umockdev's thread.
  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnectedChanged(GObject* client, GParamSpec* property, gpointer self);
  void Hand(UMockdevIoctlClient* client, DeviceCall call);

  Testbed& testbed_;
  CallMailbox& mailbox_;
  HidIdentity identity_;
  unsigned port_;
  mode_t mode_;
  HidrawNodeListener* listener_;
  HidrawDescription description_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool plugged_ = false;
  bool gone_ = false;

  std::vector<UMockdevIoctlClient*> openers_;  // one reference each

  std::array<Report, kQueuedReports> queue_{};
  std::size_t head_ = 0;
  std::size_t queued_ = 0;

  int ptyMaster_ = -1;  // the testbed's: never closed here
  int ptySlave_ = -1;   // our own opening of the program's side, to drain it
  unsigned doorbellDebt_ = 0;
  guint debtWatch_ = 0;
};
