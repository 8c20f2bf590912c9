// Hands what programs do on an emulated device over from umockdev's thread,
// where its handlers run, to the main loop, which alone touches the
// emulator's state and answers. The vectors keep their capacity, so a
// handed call allocates nothing once the first few have passed.
#pragma once

#include <mutex>
#include <vector>

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
  UMockdevIoctlClient* client;  // a reference the taker releases, or null
  DeviceCall call;
  // Opened: the emulator's own copy of its end of the program's connection,
  // which the taker owns, or -1.
  int peer = -1;
};

class CallMailbox {
 public:
  CallMailbox();
  ~CallMailbox();
  CallMailbox(const CallMailbox&) = delete;
  CallMailbox& operator=(const CallMailbox&) = delete;

  bool Ready() const { return wakeFd_ >= 0; }
  // Readable while calls wait; the main loop watches it.
  int WakeFd() const { return wakeFd_; }

  // Any thread.
  void Post(const HandedCall& call);
  // Main loop: the calls posted since the last take, oldest first. Valid
  // until the next take.
  const std::vector<HandedCall>& Take();

 private:
  int wakeFd_ = -1;
  std::mutex mutex_;
  std::vector<HandedCall> posted_;
  std::vector<HandedCall> taken_;
};
