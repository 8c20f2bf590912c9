#include "call_mailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace {
constexpr std::size_t kUsualCalls = 64;
}

CallMailbox::CallMailbox() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  posted_.reserve(kUsualCalls);
  taken_.reserve(kUsualCalls);
}

CallMailbox::~CallMailbox() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void CallMailbox::Post(const HandedCall& call) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = posted_.empty();
    posted_.push_back(call);
  }
  // One wake-up per batch: the taker takes everything posted so far.
  if (wake) {
    const uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
  }
}

const std::vector<HandedCall>& CallMailbox::Take() {
  uint64_t count;
  ssize_t ignored = read(wakeFd_, &count, sizeof count);
  (void)ignored;
  taken_.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  taken_.swap(posted_);
  return taken_;
}
