#include "overlapped_pipe.h"

#include <cstring>

OverlappedPipe::~OverlappedPipe() {
  Close();
  if (io_.hEvent != nullptr) CloseHandle(io_.hEvent);
  for (PendingWrite& write : writes_)
    if (write.io.hEvent != nullptr) CloseHandle(write.io.hEvent);
}

bool OverlappedPipe::Listen(const std::wstring& path, bool first, DWORD bufferBytes) {
  Close();
  if (io_.hEvent == nullptr) io_.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (PendingWrite& write : writes_)
    if (write.io.hEvent == nullptr) write.io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  pipe_ = CreateNamedPipeW(path.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                           PIPE_UNLIMITED_INSTANCES, bufferBytes, bufferBytes, 0, nullptr);
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  broken_ = false;
  dropped_ = 0;
  return StartConnect();
}

bool OverlappedPipe::StartConnect() {
  connected_ = false;
  ioPending_ = false;
  ResetEvent(io_.hEvent);
  if (ConnectNamedPipe(pipe_, &io_)) {
    // Overlapped connections are not supposed to finish here; take it as made.
    SetEvent(io_.hEvent);
    return true;
  }
  switch (GetLastError()) {
    case ERROR_IO_PENDING:
      ioPending_ = true;
      return true;
    case ERROR_PIPE_CONNECTED:  // the client came between creation and connection
      SetEvent(io_.hEvent);
      return true;
    default:
      broken_ = true;
      return false;
  }
}

bool OverlappedPipe::Relisten() {
  if (pipe_ == INVALID_HANDLE_VALUE) return false;
  if (ioPending_) {
    CancelIoEx(pipe_, &io_);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &io_, &ignored, TRUE);
    ioPending_ = false;
  }
  for (PendingWrite& write : writes_) {
    if (!write.busy) continue;
    CancelIoEx(pipe_, &write.io);
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &write.io, &ignored, TRUE);
    write.busy = false;
  }
  DisconnectNamedPipe(pipe_);
  broken_ = false;
  return StartConnect();
}

void OverlappedPipe::Close() {
  if (pipe_ == INVALID_HANDLE_VALUE) return;
  // The system writes into io_ and the write slots until each request has
  // completed, cancelled or not: wait for every one before they go.
  CancelIoEx(pipe_, nullptr);
  DWORD ignored = 0;
  if (ioPending_) GetOverlappedResult(pipe_, &io_, &ignored, TRUE);
  for (PendingWrite& write : writes_) {
    if (write.busy) GetOverlappedResult(pipe_, &write.io, &ignored, TRUE);
    write.busy = false;
  }
  ioPending_ = false;
  if (connected_) DisconnectNamedPipe(pipe_);
  CloseHandle(pipe_);
  pipe_ = INVALID_HANDLE_VALUE;
  connected_ = false;
}

OverlappedPipe::Progress OverlappedPipe::Poll() {
  if (pipe_ == INVALID_HANDLE_VALUE || broken_) return broken_ ? Progress::Broken : Progress::Nothing;
  if (!connected_) {
    if (ioPending_ && !HasOverlappedIoCompleted(&io_)) return Progress::Nothing;
    if (!ioPending_ && WaitForSingleObject(io_.hEvent, 0) != WAIT_OBJECT_0) return Progress::Nothing;
    DWORD ignored = 0;
    const bool made =
        !ioPending_ || GetOverlappedResult(pipe_, &io_, &ignored, FALSE) || GetLastError() == ERROR_PIPE_CONNECTED;
    ioPending_ = false;
    ResetEvent(io_.hEvent);
    if (!made) {
      broken_ = true;
      return Progress::Broken;
    }
    connected_ = true;
    return Progress::Connected;
  }
  if (!ioPending_ || !HasOverlappedIoCompleted(&io_)) return Progress::Nothing;
  DWORD bytes = 0;
  ioPending_ = false;
  if (!GetOverlappedResult(pipe_, &io_, &bytes, FALSE) && GetLastError() != ERROR_MORE_DATA) {
    broken_ = true;
    return Progress::Broken;
  }
  inSize_ = bytes;
  return Progress::Message;
}

// Reads that finish at once are handed out by the next Poll(): their event
// is set as well, so the loop wakes for them.
bool OverlappedPipe::StartRead() {
  if (pipe_ == INVALID_HANDLE_VALUE || !connected_ || broken_) return false;
  if (ioPending_) return true;
  // ReadFile resets the event as it starts; no call of our own needed.
  if (ReadFile(pipe_, in_, sizeof in_, nullptr, &io_) || GetLastError() == ERROR_IO_PENDING ||
      GetLastError() == ERROR_MORE_DATA) {
    ioPending_ = true;  // Poll() collects it, finished or not
    return true;
  }
  broken_ = true;
  return false;
}

void OverlappedPipe::CancelRead() {
  if (pipe_ == INVALID_HANDLE_VALUE || !connected_ || !ioPending_) return;
  CancelIoEx(pipe_, &io_);
  DWORD ignored = 0;
  GetOverlappedResult(pipe_, &io_, &ignored, TRUE);
  ioPending_ = false;
  // The cancelled read set the event; the loop must not keep waking for it.
  ResetEvent(io_.hEvent);
}

void OverlappedPipe::ReapWrites() {
  for (PendingWrite& write : writes_) {
    if (!write.busy || !HasOverlappedIoCompleted(&write.io)) continue;
    DWORD ignored = 0;
    GetOverlappedResult(pipe_, &write.io, &ignored, FALSE);
    write.busy = false;
  }
}

bool OverlappedPipe::Write(const uint8_t* bytes, std::size_t size) {
  if (pipe_ == INVALID_HANDLE_VALUE || !connected_ || broken_ || size > sizeof writes_[0].bytes) return false;
  ReapWrites();
  PendingWrite* slot = nullptr;
  for (PendingWrite& write : writes_)
    if (!write.busy) {
      slot = &write;
      break;
    }
  if (slot == nullptr) {
    ++dropped_;
    return false;
  }
  std::memcpy(slot->bytes, bytes, size);
  if (WriteFile(pipe_, slot->bytes, static_cast<DWORD>(size), nullptr, &slot->io)) return true;
  if (GetLastError() == ERROR_IO_PENDING) {
    slot->busy = true;
    return true;
  }
  broken_ = true;
  return false;
}
