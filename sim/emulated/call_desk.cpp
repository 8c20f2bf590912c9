#include "call_desk.h"

#include <glib.h>
#include <umockdev.h>

#include <cerrno>
#include <mutex>

namespace {

struct Desk {
  std::mutex lock;
  CallDesk::Answerer answerer;
  bool open = false;
};

// Never destroyed: umockdev's thread may still be waiting for the lock while
// the process ends.
Desk& TheDesk() {
  static Desk* desk = new Desk;
  return *desk;
}

// The main loop's poll, with the state left to umockdev's thread meanwhile.
gint PollWithDeskOpen(GPollFD* fds, guint count, gint timeout) {
  Desk& desk = TheDesk();
  desk.lock.unlock();
  const gint ready = g_poll(fds, count, timeout);
  desk.lock.lock();
  return ready;
}

}  // namespace

CallDesk::CallDesk(Answerer answerer) {
  Desk& desk = TheDesk();
  desk.lock.lock();
  desk.answerer = std::move(answerer);
  desk.open = true;
  g_main_context_set_poll_func(nullptr, &PollWithDeskOpen);
}

CallDesk::~CallDesk() { Close(); }

void CallDesk::Close() {
  Desk& desk = TheDesk();
  if (!desk.open) return;
  desk.open = false;
  desk.answerer = nullptr;
  g_main_context_set_poll_func(nullptr, &g_poll);
  desk.lock.unlock();
}

void CallDesk::Bring(const HandedCall& call) {
  Desk& desk = TheDesk();
  std::lock_guard<std::mutex> held(desk.lock);
  if (desk.open) return desk.answerer(call);
  RefuseCall(call);
}

void RefuseCall(const HandedCall& call) {
  if (call.client == nullptr) return;
  if (call.call == DeviceCall::Ioctl || call.call == DeviceCall::Read || call.call == DeviceCall::Write)
    umockdev_ioctl_client_complete(call.client, -1, ENODEV);
  g_object_unref(call.client);
}
