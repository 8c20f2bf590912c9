// Where umockdev's thread brings what programs do on an emulated device.
//
// The emulator's state belongs to whoever holds the desk's lock. The main
// loop holds it all the time except while it waits in poll; umockdev's
// thread, where the handlers run, takes it to answer each call there and
// then. An answer given in place costs no hop to the main loop and back: the
// result goes out on umockdev's thread as soon as it is known, and that hop
// (two wake-ups and their system calls on each side) was most of what a
// report cost the emulator.
//
// One desk per process: GLib's poll function takes no data of its own.
#pragma once

#include <functional>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
class HidrawNode;

enum class DeviceCall {
  Ioctl,
  Read,
  Write,
  Opened,  // a program opened the node
  Closed,  // ... and closed it again
  // umockdev has sent the results of the calls completed before: what the
  // device answers to them may now be read (no client).
  CompletionsOut,
};

struct HandedCall {
  HidrawNode* node;
  UMockdevIoctlClient* client;  // a reference the answerer releases, or null
  DeviceCall call;
};

// Fails the call as on a device that is gone, and releases it.
void RefuseCall(const HandedCall& call);

class CallDesk {
 public:
  using Answerer = std::function<void(const HandedCall&)>;

  // On the main thread, which holds the lock from now on, before the
  // testbed and its thread exist.
  explicit CallDesk(Answerer answerer);
  // Closes the desk if it is still open.
  ~CallDesk();
  CallDesk(const CallDesk&) = delete;
  CallDesk& operator=(const CallDesk&) = delete;

  // umockdev's thread: waits for the lock and answers the call. Once the
  // desk is closed, a call is refused as by a device that is gone, and no
  // node is touched: they may no longer exist.
  static void Bring(const HandedCall& call);

  // Main thread, once no node will be answered again: from now on umockdev's
  // thread, which outlives the testbed, only hears refusals.
  void Close();
};
