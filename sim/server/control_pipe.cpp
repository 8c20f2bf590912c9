#include "control_pipe.h"

#include <algorithm>

namespace {

constexpr int kInstances = 2;
constexpr DWORD kBufferBytes = 4096;
constexpr std::size_t kMaxReplyBytes = 1023;

// Waits for one overlapped request on `handle` until `deadline` (GetTickCount64).
bool Finish(HANDLE handle, OVERLAPPED& io, DWORD& bytes, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  const DWORD wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  if (WaitForSingleObject(io.hEvent, wait) != WAIT_OBJECT_0) {
    CancelIoEx(handle, &io);
    GetOverlappedResult(handle, &io, &bytes, TRUE);
    return false;
  }
  return GetOverlappedResult(handle, &io, &bytes, FALSE) || GetLastError() == ERROR_MORE_DATA;
}

}  // namespace

bool ControlChannel::Open(const std::wstring& path) {
  path_ = path;
  for (int i = 0; i < kInstances; ++i) {
    auto instance = std::make_unique<OverlappedPipe>();
    if (!instance->Listen(path_, i == 0, kBufferBytes)) return false;
    instances_.push_back(std::move(instance));
  }
  return true;
}

void ControlChannel::AppendWaitHandles(std::vector<HANDLE>& handles) const {
  for (const auto& instance : instances_)
    if (instance->IsOpen()) handles.push_back(instance->Event());
}

void ControlChannel::Service(const Handler& handler) {
  for (auto& instance : instances_) {
    switch (instance->Poll()) {
      case OverlappedPipe::Progress::Connected:
        instance->StartRead();
        break;
      case OverlappedPipe::Progress::Message: {
        const std::string line(reinterpret_cast<const char*>(instance->Message()), instance->MessageSize());
        std::string reply = handler(line);
        if (reply.size() > kMaxReplyBytes) reply.resize(kMaxReplyBytes);
        reply += '\n';
        instance->Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
        instance->StartRead();  // ends when the client closes its handle
        break;
      }
      case OverlappedPipe::Progress::Broken:
        instance->Relisten();
        break;
      case OverlappedPipe::Progress::Nothing:
        break;
    }
  }
}

bool ControlChannel::RepliesInFlight() const {
  return std::any_of(instances_.begin(), instances_.end(), [](const auto& instance) { return instance->Connected(); });
}

std::optional<std::string> SendControlCommand(const std::wstring& path, const std::string& command, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD error = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) return std::nullopt;
    if (error == ERROR_PIPE_BUSY)
      WaitNamedPipeW(path.c_str(), static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 1000)));
    else
      Sleep(20);  // the server is not up yet
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);

  OVERLAPPED io{};
  io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::optional<std::string> reply;
  DWORD bytes = 0;
  const bool written = (WriteFile(pipe, command.data(), static_cast<DWORD>(command.size()), nullptr, &io) ||
                        GetLastError() == ERROR_IO_PENDING) &&
                       Finish(pipe, io, bytes, deadline);
  if (written) {
    char buffer[kBufferBytes];
    ResetEvent(io.hEvent);
    if ((ReadFile(pipe, buffer, sizeof buffer, nullptr, &io) || GetLastError() == ERROR_IO_PENDING ||
         GetLastError() == ERROR_MORE_DATA) &&
        Finish(pipe, io, bytes, deadline)) {
      std::string text(buffer, bytes);
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      reply = text;
    }
  }
  CloseHandle(io.hEvent);
  CloseHandle(pipe);
  return reply;
}
