// One emulated hidraw node: a HID device in the testbed whose reads, writes
// and ioctls are answered as the kernel's hidraw driver answers them.
//
// As hidraw keeps one queue per open file, every descriptor open on the node
// (every reader) gets each input report in a queue of its own, and a read
// takes the next report of the descriptor it was called on; a descriptor
// opened later starts with nothing. A read returns one whole 64-byte report.
// A program polls the pty behind the node, which all readers share: it holds
// one byte per report of the reader with the most queued, so poll shows
// POLLIN exactly while a report is queued when the node has one reader; with
// several, a reader may also be woken while only another has a report, and
// its read then fails with EAGAIN. Writes carry report ID 0 and the 64 report
// bytes. After Unplug every call on a descriptor still open fails with
// ENODEV, as on a device that was pulled out.
//
// A reader ends when its program closes the descriptor or dies: umockdev
// tells of the first, but not of a program killed in the middle of a call,
// so the node also watches its own copy of the emulator's end of each
// program's connection, which hangs up either way.
//
// Handlers run on umockdev's thread and only hand each call to the mailbox;
// everything else here runs on the main loop.
#pragma once

#include <glib-object.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <memory>
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
  // Reports one reader has not taken yet, as hidraw keeps them; beyond this
  // the oldest goes.
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

  // An input report for every descriptor open on the node (none: lost).
  void QueueInput(const Report& report);
  // The device stops taking output reports: every write from now on waits,
  // as in the kernel, until the device goes (then it fails with ENODEV).
  void StopTakingWrites();

  // A call handed over from umockdev's thread; answers and releases it.
  void Handle(const HandedCall& call);
  // Stops hearing from umockdev's thread, before the testbed goes.
  void Forget();

  const std::string& Devnode() const { return description_.devnode; }
  bool Present() const { return plugged_ && !gone_; }
  std::size_t Openers() const { return readers_.size(); }
  // The most reports any one reader has queued.
  std::size_t Queued() const { return rung_; }

 private:
  void AnswerIoctl(UMockdevIoctlClient* client);
  void AnswerRead(UMockdevIoctlClient* client);
  void AnswerWrite(UMockdevIoctlClient* client);
  void FailHeldWrites();
  struct Reader;
  Reader* FindReader(UMockdevIoctlClient* client);
  void Opened(UMockdevIoctlClient* client, int peer);
  void Closed(UMockdevIoctlClient* client);
  static gboolean OnPeerHungUp(gint fd, GIOCondition condition, gpointer reader);
  void DropReader(std::vector<std::unique_ptr<Reader>>::iterator it);

  // Brings the pty to one byte per report of the fullest reader.
  void SyncDoorbell();
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
  void Hand(UMockdevIoctlClient* client, DeviceCall call, int peer = -1);
  // The emulator's end of the connection umockdev has just accepted: the one
  // socket bound to this node's handler path that no earlier reader had.
  int TakePeerSocket();

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

  std::vector<std::unique_ptr<Reader>> readers_;
  // umockdev's thread: the handler's socket, set before it is attached, and
  // the inodes of the connections already taken.
  std::string handlerSocket_;
  std::vector<unsigned long> takenPeers_;

  bool takingWrites_ = true;
  std::vector<UMockdevIoctlClient*> heldWrites_;  // references of our own

  int ptyMaster_ = -1;    // the testbed's: never closed here
  int ptySlave_ = -1;     // our own opening of the program's side, to drain it
  std::size_t rung_ = 0;  // doorbell bytes the pty holds or will hold
  unsigned doorbellDebt_ = 0;
  guint debtWatch_ = 0;
};
