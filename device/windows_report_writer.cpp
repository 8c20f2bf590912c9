#include "windows_report_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace hiddevice {

struct ReportWriter::Shared {
  std::mutex lock;
  std::condition_variable changed;
  HANDLE device = INVALID_HANDLE_VALUE;
  HANDLE written = nullptr;  // the overlapped write's event
  std::uint8_t bytes[kMaxBytes];
  std::size_t size = 0;
  unsigned timeoutMs = 0;
  bool requested = false;  // a write waits for the thread
  bool busy = false;       // the thread is in the system with it
  bool done = false;       // its result is in
  bool ok = false;
  DWORD error = 0;
  bool quit = false;
};

namespace {

// What a HID interface's write fails with once its device has gone.
bool MeansGone(DWORD error) {
  return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_FILE_NOT_FOUND || error == ERROR_DEV_NOT_EXIST ||
         error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_INVALID_HANDLE;
}

// One overlapped write, cancelled once `timeoutMs` has passed without it
// completing; the system's error, 0 when it was written whole.
DWORD WriteOnce(HANDLE device, HANDLE event, const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD written = 0;
  bool cancelled = false;
  if (!WriteFile(device, bytes, static_cast<DWORD>(size), nullptr, &overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) cancelled = CancelIo(device) != 0;
  }
  // The request owns `bytes` and `overlapped` until it has completed.
  if (!GetOverlappedResult(device, &overlapped, &written, TRUE)) {
    const DWORD error = GetLastError();
    // Given up at the bound, however near the caller's own wait it ended.
    return cancelled && error == ERROR_OPERATION_ABORTED ? ERROR_TIMEOUT : error;
  }
  return written == size ? 0 : ERROR_WRITE_FAULT;
}

}  // namespace

ReportWriter::ReportWriter(HANDLE device) : shared_(new Shared) {
  shared_->device = device;
  shared_->written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread(&ReportWriter::Serve, shared_).detach();
}

ReportWriter::~ReportWriter() {
  {
    std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->quit = true;
  }
  shared_->changed.notify_all();
}

void ReportWriter::Serve(Shared* shared) {
  std::unique_lock<std::mutex> hold(shared->lock);
  for (;;) {
    shared->changed.wait(hold, [shared] { return shared->requested || shared->quit; });
    if (!shared->requested) break;
    shared->requested = false;
    shared->busy = true;
    std::uint8_t bytes[kMaxBytes];
    const std::size_t size = shared->size;
    const unsigned timeoutMs = shared->timeoutMs;
    std::memcpy(bytes, shared->bytes, size);
    hold.unlock();

    const DWORD error = shared->written == nullptr ? ERROR_NOT_ENOUGH_MEMORY
                                                   : WriteOnce(shared->device, shared->written, bytes, size, timeoutMs);

    hold.lock();
    shared->busy = false;
    shared->done = true;
    shared->ok = error == 0;
    shared->error = error;
    shared->changed.notify_all();
  }
  hold.unlock();
  if (shared->device != INVALID_HANDLE_VALUE) CloseHandle(shared->device);
  if (shared->written != nullptr) CloseHandle(shared->written);
  delete shared;
}

ReportWriter::Result ReportWriter::Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  if (size > kMaxBytes) size = kMaxBytes;
  std::unique_lock<std::mutex> hold(shared_->lock);
  if (shared_->busy || shared_->requested) {  // an earlier write is still in flight
    lastError_ = ERROR_TIMEOUT;
    return Result::Failed;
  }
  std::memcpy(shared_->bytes, bytes, size);
  shared_->size = size;
  shared_->timeoutMs = timeoutMs;
  shared_->done = false;
  shared_->requested = true;
  shared_->changed.notify_all();
  const bool finished =
      shared_->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return shared_->done; });
  if (!finished) {
    lastError_ = ERROR_TIMEOUT;
    return Result::Failed;
  }
  shared_->done = false;
  if (shared_->ok) return Result::Written;
  lastError_ = shared_->error;
  return MeansGone(shared_->error) ? Result::Gone : Result::Failed;
}

}  // namespace hiddevice
