#include "gui_helpers.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdio>

namespace {

struct Search {
  const wchar_t* className;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (IsWindowVisible(window) && std::wstring(name) == search->className) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CloseWindowOfThread(HWND window, LPARAM) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

struct ThreadStart {
  void (*body)(void*);
  void* context;
};

DWORD WINAPI RunUiThread(LPVOID parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  start.body(start.context);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}

}  // namespace

HWND WaitForThreadWindow(DWORD threadId, const wchar_t* className, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  do {
    Search search{className, nullptr};
    EnumThreadWindows(threadId, &MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
  return text;
}

HANDLE StartUiThread(void (*body)(void*), void* context) {
  return CreateThread(nullptr, 0, &RunUiThread, new ThreadStart{body, context}, 0, nullptr);
}

bool JoinUiThread(HANDLE thread, DWORD timeoutMs) {
  if (thread == nullptr) {
    ADD_FAILURE() << "thread not started";
    return false;
  }
  const bool inTime = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
  if (!inTime) {
    ADD_FAILURE() << "the thread's window did not close within " << timeoutMs << " ms";
    EnumThreadWindows(GetThreadId(thread), &CloseWindowOfThread, 0);
    if (WaitForSingleObject(thread, 5000) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "thread stuck; ending the test program\n");
      std::fflush(stderr);
      ExitProcess(3);
    }
  }
  CloseHandle(thread);
  return inTime;
}
