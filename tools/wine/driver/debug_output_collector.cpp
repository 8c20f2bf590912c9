#include "debug_output_collector.h"

#include <cstring>
#include <string>

namespace {

constexpr DWORD kBufferBytes = 4096;

}  // namespace

DebugOutputCollector::~DebugOutputCollector() {
  if (thread_ != nullptr) {
    SetEvent(stop_);
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }
  if (view_ != nullptr) UnmapViewOfFile(view_);
  for (HANDLE handle : {mapping_, bufferReady_, dataReady_, stop_})
    if (handle != nullptr) CloseHandle(handle);
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

bool DebugOutputCollector::Start(const std::wstring& file) {
  file_ = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  bufferReady_ = CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY");
  dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
  mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferBytes, L"DBWIN_BUFFER");
  if (file_ == INVALID_HANDLE_VALUE || bufferReady_ == nullptr || dataReady_ == nullptr || mapping_ == nullptr)
    return false;
  view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kBufferBytes));
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (view_ == nullptr || stop_ == nullptr) return false;
  thread_ = CreateThread(nullptr, 0, &DebugOutputCollector::ThreadMain, this, 0, nullptr);
  return thread_ != nullptr;
}

DWORD WINAPI DebugOutputCollector::ThreadMain(void* self) {
  static_cast<DebugOutputCollector*>(self)->Run();
  return 0;
}

void DebugOutputCollector::Run() {
  const HANDLE events[] = {stop_, dataReady_};
  while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    DWORD processId = 0;
    std::memcpy(&processId, view_, sizeof processId);
    // The buffer holds the text in the writer's ANSI code page.
    std::string narrow(view_ + sizeof processId, strnlen(view_ + sizeof processId, kBufferBytes - sizeof processId));
    SetEvent(bufferReady_);
    std::wstring wide(narrow.size(), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()),
                                                             wide.data(), static_cast<int>(wide.size()))));
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
    // One line per trace: line breaks inside it are written as \n.
    for (std::size_t at = 0; (at = wide.find_first_of(L"\r\n", at)) != std::wstring::npos; at += 2)
      wide.replace(at, 1, wide[at] == L'\n' ? L"\\n" : L"\\r");
    std::string line = std::to_string(processId) + ": ";
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    const std::size_t at = line.size();
    line.resize(at + static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), line.data() + at, size, nullptr,
                        nullptr);
    line += '\n';
    DWORD written = 0;
    WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}
