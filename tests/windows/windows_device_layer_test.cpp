// The Windows device layer's own machinery, under Wine: the event loop's
// handles, timers and message pump, and the bound on report writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "windows_event_loop.h"
#include "windows_report_writer.h"

using hiddevice::ReportWriter;
using hiddevice::WindowsEventLoop;

namespace {

int Watched(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)); }

struct Event {
  HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Event() { CloseHandle(handle); }
};

LRESULT CALLBACK StopOnUserMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) {
    reinterpret_cast<WindowsEventLoop*>(GetWindowLongPtrW(window, GWLP_USERDATA))->Stop();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A pipe whose writing end is opened for overlapped writes, as the HID
// interfaces are; its reader reads only when asked to.
struct OverlappedPipe {
  HANDLE writer = INVALID_HANDLE_VALUE;
  HANDLE reader = INVALID_HANDLE_VALUE;
  OverlappedPipe() {
    static int count = 0;
    const std::wstring name = L"\\\\.\\pipe\\korvid-writer-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++count);
    writer = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1, 1, 0, nullptr);
    reader = CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~OverlappedPipe() {
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  }
  std::string Read(std::size_t size) {
    std::string bytes(size, '\0');
    DWORD got = 0;
    std::size_t at = 0;
    while (at < size && ReadFile(reader, &bytes[at], static_cast<DWORD>(size - at), &got, nullptr) && got > 0)
      at += got;
    bytes.resize(at);
    return bytes;
  }
};

}  // namespace

TEST(WindowsEventLoop, TimersRunByDueTimeThenOrderAskedAndStopEndsRun) {
  WindowsEventLoop loop;
  std::vector<std::string> ran;
  loop.After(60, [&] { ran.push_back("60"); });
  loop.After(0, [&] { ran.push_back("0a"); });
  loop.After(0, [&] {
    ran.push_back("0b");
    loop.After(0, [&] { ran.push_back("0c asked from 0b"); });
  });
  loop.After(20, [&] { ran.push_back("20"); });
  loop.After(100, [&] { loop.Stop(); });
  loop.After(5000, [&] { ran.push_back("after the stop"); });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(ran, (std::vector<std::string>{"0a", "0b", "0c asked from 0b", "20", "60"}));
}

TEST(WindowsEventLoop, EverySignalledHandleIsServedAndHandlersMayUnwatch) {
  WindowsEventLoop loop;
  Event first, second, third;
  int firstCalls = 0, secondCalls = 0, thirdCalls = 0;
  // Whichever is served first unwatches the other's partner, so the
  // handles' order in the wait cannot decide what this test sees.
  loop.Watch(Watched(first.handle), [&] {
    ++firstCalls;
    ResetEvent(first.handle);
    loop.Unwatch(Watched(first.handle));
    SetEvent(first.handle);  // set again, but no longer watched: no call
  });
  loop.Watch(Watched(second.handle), [&] {
    ++secondCalls;
    ResetEvent(second.handle);
  });
  loop.Watch(Watched(third.handle), [&] {
    ++thirdCalls;
    ResetEvent(third.handle);
  });
  SetEvent(first.handle);
  SetEvent(second.handle);
  SetEvent(third.handle);
  loop.After(50, [&] { SetEvent(third.handle); });
  loop.After(150, [&] { loop.Stop(); });
  EXPECT_EQ(loop.Run(), 0);
  EXPECT_EQ(firstCalls, 1);
  EXPECT_EQ(secondCalls, 1);
  EXPECT_EQ(thirdCalls, 2);  // once set at the start, once by the timer
}

TEST(WindowsEventLoop, WindowMessagesAreDispatchedWhileItWaits) {
  WindowsEventLoop loop;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = StopOnUserMessage;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"KorvidLoopTest";
  RegisterClassExW(&windowClass);
  const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&loop));
  bool timedOut = false;
  loop.After(10000, [&] {
    timedOut = true;
    loop.Stop();
  });
  std::thread poster([window] {
    Sleep(30);
    PostMessageW(window, WM_USER, 0, 0);
  });
  EXPECT_EQ(loop.Run(), 0);
  poster.join();
  EXPECT_FALSE(timedOut) << "the posted message never reached the window";
  DestroyWindow(window);
}

TEST(WindowsEventLoop, OnlyInterruptAndTerminateCanStopIt) {
  EXPECT_TRUE(WindowsEventLoop::StopOnSignal(SIGINT));
  EXPECT_TRUE(WindowsEventLoop::StopOnSignal(SIGTERM));
  EXPECT_FALSE(WindowsEventLoop::StopOnSignal(SIGSEGV));
}

TEST(ReportWriter, WritesWholeReportsAndGivesUpOnOneNotTakenWithinTheBound) {
  OverlappedPipe pipe;
  ASSERT_NE(pipe.writer, INVALID_HANDLE_VALUE);
  ASSERT_NE(pipe.reader, INVALID_HANDLE_VALUE);
  ReportWriter writer(pipe.writer);
  std::uint8_t report[65];
  for (std::size_t i = 0; i < sizeof report; ++i) report[i] = static_cast<std::uint8_t>(i);

  std::string got;
  std::thread reader([&] { got = pipe.Read(sizeof report); });
  EXPECT_EQ(writer.Write(report, sizeof report, 5000), ReportWriter::Result::Written);
  reader.join();
  EXPECT_EQ(got, std::string(reinterpret_cast<const char*>(report), sizeof report));

  // Nobody reads now: the write stays in the pipe until the bound.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(writer.Write(report, sizeof report, 300), ReportWriter::Result::Failed);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(290));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_EQ(writer.LastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}
