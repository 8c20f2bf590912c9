// One emulated hidraw node: a device node in the testbed whose reads, writes
// and ioctls are answered as the kernel's hidraw driver answers them for a
// USB HID device. The node does not put itself into the testbed: the device
// it belongs to adds the whole description at once (see EmulatedDevice).
//
// As hidraw keeps one queue per open file, every descriptor open on the node
// (every reader) gets each input report in a queue of its own, at most 63
// (the newest dropped beyond), and a read takes the next report of the
// descriptor it was called on; a descriptor opened later starts with
// nothing. A read returns one whole report; reports shorter than the report
// descriptor's input report never reach a queue. A program polls the pty
// behind the node, which all readers share: it holds one byte per report of
// the reader with the most queued, so poll shows POLLIN exactly while a
// report is queued when the node has one reader; with several, a reader may
// also be woken while only another has a report, and its read then fails
// with EAGAIN. Writes carry report ID 0 and the 64 report bytes; a write the
// device does not take fails after 5 s with ETIMEDOUT, as usbhid's does.
// What the device answers to a write is queued only once the program has
// read the write's result off its connection (where the node could not tell
// that connection's end from another opened at the same moment, once
// umockdev has sent it).
//
// Disconnected, the node behaves as a pulled-out device's: reports already
// queued stay readable, then reads fail with EIO; poll gives POLLIN, POLLERR
// and POLLHUP (the pty is hung up); writes and ioctls fail with ENODEV, but a
// write waiting at that moment fails with EPROTO, as does its descriptor's
// next write, as usbhid's do while the device is going.
//
// A reader ends when its program closes the descriptor or dies: umockdev
// tells of the first, but not of a program killed in the middle of a call,
// so the node also watches its own copy of the emulator's end of each
// program's connection, which hangs up either way.
//
// Handlers run on umockdev's thread, which brings each call to the desk and
// answers it there, holding the emulator's state (see CallDesk). Everything
// else here runs holding it too: on the main loop, or on umockdev's thread
// where an answered call moves the controller on.
#pragma once

#include <glib-object.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "call_desk.h"
#include "hidraw_description.h"
#include "microsecond_timer.h"
#include "pty_session_holder.h"
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
  // The result of the write that carried the last output report is on its
  // way to the program.
  virtual void OnWriteReturned() {}
};

// What the node answers its ioctls with.
struct HidrawIdentity {
  HidBus bus = HidBus::Usb;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string name;
  std::string phys;
  std::string uniq;
  const ReportDescriptor* descriptor = nullptr;
};

class HidrawNode {
 public:
  // Reports one reader has not taken yet, as hidraw keeps them (its ring of
  // 64 holds one fewer); beyond this the newest is dropped.
  static constexpr std::size_t kQueuedReports = 63;
  // usbhid's time-out for an output report the device does not take.
  static constexpr unsigned kWriteTimeoutMs = 5000;

  // `listener` may be null: the node takes writes and answers nothing.
  HidrawNode(Testbed& testbed, HidrawIdentity identity, std::string devnode, mode_t mode,
             HidrawNodeListener* listener);
  ~HidrawNode();
  HidrawNode(const HidrawNode&) = delete;
  HidrawNode& operator=(const HidrawNode&) = delete;

  // Before the device is added, so that no program can open the node before
  // it answers.
  bool AttachHandler(std::string& error);
  // Once the device is in the testbed: the pty behind the node.
  bool TakePty(std::string& error);
  // The device is pulled out (see above); before its "remove" uevents.
  void Disconnect();
  // After the device left the testbed.
  void DetachHandler();

  // An input report of `size` bytes for every descriptor open on the node
  // (none: lost), unless shorter than the descriptor's input report.
  void QueueInput(const uint8_t* bytes, std::size_t size);
  void QueueInput(const Report& report) { QueueInput(report.data(), report.size()); }
  // The device stops taking output reports: every write from now on waits
  // until usbhid's time-out, or the unplug.
  void StopTakingWrites();

  // A call brought to the desk on umockdev's thread; answers and releases it.
  void Handle(const HandedCall& call);
  // Stops hearing from umockdev's thread, before the testbed goes: a call
  // already on its way is refused.
  void Forget();

  const std::string& Devnode() const { return devnode_; }
  bool Present() const { return plugged_ && !gone_; }
  std::size_t Openers() const { return readers_.size(); }
  // The most reports any one reader has queued.
  std::size_t Queued() const { return rung_; }
  // Input reports dropped for being shorter than the descriptor says.
  uint64_t ShortReportsDropped() const { return shortDropped_; }

 private:
  struct Reader;
  struct HeldWrite;
  struct Input {
    Report bytes;
    std::size_t size;
  };

  void AnswerIoctl(UMockdevIoctlClient* client);
  void AnswerRead(UMockdevIoctlClient* client);
  void AnswerWrite(UMockdevIoctlClient* client);
  void HoldWrite(UMockdevIoctlClient* client);
  static gboolean OnWriteTimedOut(gpointer held);
  void EndHeldWrites(int error);
  // To every reader, or with `openedBefore` to those opened before that
  // reader number (an answer held back goes to whoever was there when the
  // controller gave it, not to a program that came since).
  void Deliver(const Input& input, std::uint64_t openedBefore = UINT64_MAX);
  // Answers wait until the result of the write they answer is out.
  void ReleaseAnswersAfterCompletion(UMockdevIoctlClient* client);
  static gboolean OnCompletionOut(gpointer note);
  void CheckCompletionsRead();
  void DropCompletions();
  Reader* FindReader(UMockdevIoctlClient* client);
  void Opened(UMockdevIoctlClient* client);
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
  // Every program's side of the pty sees the other end closed.
  void HangUpPty();

  // umockdev's thread.
  static gboolean OnIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnWrite(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
  static void OnConnectedChanged(GObject* client, GParamSpec* property, gpointer self);
  static void Hand(gpointer self, UMockdevIoctlClient* client, DeviceCall call);
  // The emulator's end of the connection umockdev has just accepted: the one
  // socket bound to this node's handler path that no earlier reader had.
  int TakePeerSocket();

  Testbed& testbed_;
  HidrawIdentity identity_;
  std::string devnode_;
  mode_t mode_;
  HidrawNodeListener* listener_;
  UMockdevIoctlBase* handler_ = nullptr;
  bool plugged_ = false;
  bool gone_ = false;

  std::vector<std::unique_ptr<Reader>> readers_;
  // The handler's socket, and the inodes of the connections already taken.
  std::string handlerSocket_;
  std::vector<unsigned long> takenPeers_;
  // umockdev's own main context, where it sends the results of calls.
  GMainContext* umockdevContext_ = nullptr;
  bool forgotten_ = false;

  bool takingWrites_ = true;
  std::vector<std::unique_ptr<HeldWrite>> heldWrites_;
  // Results of writes the device took: handed to umockdev, and then written
  // to their program's connection but not yet read by it.
  unsigned completionsOnTheirWay_ = 0;
  std::vector<UMockdevIoctlClient*> completionsUnread_;  // references of our own
  std::unique_ptr<MicrosecondTimer> completionCheck_;
  struct HeldAnswer {
    Input input;
    std::uint64_t openedBefore;
  };
  std::vector<HeldAnswer> heldAnswers_;
  std::uint64_t nextReaderNumber_ = 0;
  uint64_t shortDropped_ = 0;

  int ptyMaster_ = -1;    // the testbed's: closed here only by replacing it
  int ptySlave_ = -1;     // our own opening of the program's side, to drain it
  PtySessionHolder sessionHolder_;
  std::size_t rung_ = 0;  // doorbell bytes the pty holds or will hold
  unsigned doorbellDebt_ = 0;
  guint debtWatch_ = 0;
};
