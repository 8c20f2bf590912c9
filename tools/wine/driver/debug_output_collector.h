// Collects what the processes of this Wine prefix write with
// OutputDebugString, through the system's shared debug-output buffer
// (DBWIN_BUFFER), as a debug-output viewer does: no debugger is attached, so
// the program runs as it would for a user. Each line goes to the file as
// "PID: text" in UTF-8. Only one collector can run per session.
#pragma once

#include <windows.h>

#include <string>

class DebugOutputCollector {
 public:
  ~DebugOutputCollector();
  bool Start(const std::wstring& file);

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();

  HANDLE file_ = INVALID_HANDLE_VALUE;
  HANDLE bufferReady_ = nullptr;
  HANDLE dataReady_ = nullptr;
  HANDLE mapping_ = nullptr;
  const char* view_ = nullptr;
  HANDLE stop_ = nullptr;
  HANDLE thread_ = nullptr;
};
