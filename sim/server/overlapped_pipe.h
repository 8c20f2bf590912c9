// One server instance of a Windows named pipe in overlapped mode: listening,
// then connected to one client handle. The building block of the device link
// and of the control channel; all calls come from the server's event loop.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

class OverlappedPipe {
 public:
  static constexpr std::size_t kReadBytes = 4096;
  // Writes still travelling to a client; more than this means nobody reads
  // that handle, and further writes to it are dropped.
  static constexpr int kMaxPendingWrites = 8;

  OverlappedPipe() = default;
  OverlappedPipe(const OverlappedPipe&) = delete;
  OverlappedPipe& operator=(const OverlappedPipe&) = delete;
  ~OverlappedPipe();

  // Creates the instance and starts listening. `first`: fail if another
  // server already owns a pipe of this name.
  bool Listen(const std::wstring& path, bool first, DWORD bufferBytes);
  // Ends the connection, if any, and listens again on the same instance.
  bool Relisten();
  // Cancels what is in flight, waits for it, and closes the instance.
  void Close();

  // Signalled when a connection or a read completes.
  HANDLE Event() const { return io_.hEvent; }
  bool IsOpen() const { return pipe_ != INVALID_HANDLE_VALUE; }
  bool Connected() const { return connected_; }
  bool Broken() const { return broken_; }

  enum class Progress { Nothing, Connected, Message, Broken };
  // Looks at the connection or read in flight. On Message the bytes are in
  // Message()/MessageSize() until the next call, and the next read must be
  // started with StartRead() once they have been used.
  Progress Poll();
  bool StartRead();
  // Withdraws the read in flight, if any, without breaking the connection:
  // the client's next writes stay in the pipe until it is full.
  void CancelRead();
  const uint8_t* Message() const { return in_; }
  std::size_t MessageSize() const { return inSize_; }

  // Queues one message to the client; false when it was dropped (too many
  // unread) or the pipe broke.
  bool Write(const uint8_t* bytes, std::size_t size);
  uint64_t Dropped() const { return dropped_; }

 private:
  struct PendingWrite {
    OVERLAPPED io{};
    uint8_t bytes[1024];
    bool busy = false;
  };
  void ReapWrites();
  bool StartConnect();

  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  OVERLAPPED io_{};
  bool ioPending_ = false;
  bool connected_ = false;
  bool broken_ = false;
  uint8_t in_[kReadBytes];
  std::size_t inSize_ = 0;
  PendingWrite writes_[kMaxPendingWrites];
  uint64_t dropped_ = 0;
};
