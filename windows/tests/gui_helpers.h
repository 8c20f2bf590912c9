// Waiting on windows of another thread in the same test process, always
// with a bound.
#pragma once

#include <windows.h>

#include <string>

// The first visible top-level window of `threadId` of the given class, or
// null after `timeoutMs`.
HWND WaitForThreadWindow(DWORD threadId, const wchar_t* className, DWORD timeoutMs);

std::wstring WindowText(HWND window);

// Starts `body(context)` on a thread of its own with COM set up, as the
// program's update worker has it.
HANDLE StartUiThread(void (*body)(void*), void* context);

// Joins the thread; on time-out closes its windows and fails the test
// (returns false) rather than hanging.
bool JoinUiThread(HANDLE thread, DWORD timeoutMs);
