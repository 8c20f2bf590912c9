#include "windows_report_writer.h"

namespace hiddevice {

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

ReportWriter::ReportWriter(HANDLE device) : ReportWriter(device, CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ReportWriter::ReportWriter(HANDLE device, HANDLE written)
    : thread_(
          [device, written](const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) -> unsigned long {
            return written == nullptr ? ERROR_NOT_ENOUGH_MEMORY : WriteOnce(device, written, bytes, size, timeoutMs);
          },
          [device, written] {
            if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
            if (written != nullptr) CloseHandle(written);
          }) {}

ReportWriter::Result ReportWriter::Write(const std::uint8_t* bytes, std::size_t size, unsigned timeoutMs) {
  const std::optional<unsigned long> error = thread_.Write(bytes, size, timeoutMs);
  if (!error) {
    lastError_ = ERROR_TIMEOUT;
    return Result::Failed;
  }
  if (*error == 0) return Result::Written;
  lastError_ = static_cast<DWORD>(*error);
  return MeansGone(lastError_) ? Result::Gone : Result::Failed;
}

}  // namespace hiddevice
