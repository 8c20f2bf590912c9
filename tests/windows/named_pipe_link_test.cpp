// The named-pipe link as a HID device behaves to a client's handles: a
// report goes to every handle open when it is sent, and a handle that
// nobody reads holds up no other.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "pipe_device.h"

namespace {

class ClientHandles {
 public:
  explicit ClientHandles(std::wstring path) : path_(std::move(path)) {
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void OpenWrite() {
    write_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  }
  void OpenRead() {
    read_ = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
  }
  ~ClientHandles() {
    for (HANDLE handle : {write_, read_})
      if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    CloseHandle(event_);
  }
  bool Open() const { return write_ != INVALID_HANDLE_VALUE && read_ != INVALID_HANDLE_VALUE; }

  bool Write(uint8_t tag) {
    BYTE wire[65] = {0, tag};
    DWORD written = 0;
    return WriteFile(write_, wire, sizeof wire, &written, nullptr) && written == sizeof wire;
  }
  // The tag of the next input report, or -1 when none came within `ms`.
  int Read(DWORD ms) {
    BYTE wire[65] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    DWORD bytes = 0;
    if (!ReadFile(read_, wire, sizeof wire, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) return -1;
    if (WaitForSingleObject(event_, ms) != WAIT_OBJECT_0) {
      CancelIo(read_);
      GetOverlappedResult(read_, &overlapped, &bytes, TRUE);
      return -1;
    }
    if (!GetOverlappedResult(read_, &overlapped, &bytes, FALSE) || bytes != sizeof wire || wire[0] != 0) return -1;
    return wire[1];
  }

 private:
  std::wstring path_;
  HANDLE write_ = INVALID_HANDLE_VALUE;
  HANDLE read_ = INVALID_HANDLE_VALUE;
  HANDLE event_;
};

std::wstring Unique(const std::wstring& prefix) { return prefix + L"-link-" + std::to_wstring(GetCurrentProcessId()); }

TEST(NamedPipeLink, AnAnswerReachesTheReadHandleOpenedJustBeforeTheRequest) {
  PipeDevice device(Unique(L"a"), {0x2DC8, 0x5750}, PipeDevice::Answer::Echo);
  ASSERT_TRUE(device.Up());
  // As update.exe opens the device: its write handle first, then its read
  // handle and at once the request. The link has taken the write handle
  // before; it sees the read handle and the request together.
  for (int cycle = 1; cycle <= 5; ++cycle) {
    ClientHandles client(device.Path());
    client.OpenWrite();
    Sleep(120);  // the device's loop wakes at least every 50 ms
    device.WhileHeld([&] {
      client.OpenRead();
      ASSERT_TRUE(client.Open()) << "cycle " << cycle;
      ASSERT_TRUE(client.Write(static_cast<uint8_t>(cycle)));
    });
    ASSERT_EQ(client.Read(2000), cycle) << "the answer to cycle " << cycle << " was lost";
  }
}

TEST(NamedPipeLink, AHandleNobodyReadsHoldsUpNoOther) {
  PipeDevice device(Unique(L"b"), {0x2DC8, 0x5750});
  ASSERT_TRUE(device.Up());
  ClientHandles reader(device.Path());
  ClientHandles idle(device.Path());  // open, never read
  for (ClientHandles* client : {&reader, &idle}) {
    client->OpenWrite();
    client->OpenRead();
  }
  ASSERT_TRUE(reader.Open() && idle.Open());
  ASSERT_TRUE(reader.Write(0)) << "the link sees the handles once a report came";
  ASSERT_TRUE(device.WaitForReports(1, 2000));
  for (int tag = 1; tag <= 60; ++tag) {
    Report report{};
    report[0] = static_cast<uint8_t>(tag);
    device.Send(report);
    ASSERT_EQ(reader.Read(2000), tag) << "report " << tag << " did not reach the reading handle in order";
  }
}

}  // namespace
