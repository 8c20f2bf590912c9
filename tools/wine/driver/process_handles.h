// What another process holds, seen from outside as a process viewer sees it.
#pragma once

#include <windows.h>

// Handles `process` still holds on threads that have ended: a thread's
// handle that was never closed. Needs PROCESS_DUP_HANDLE on `process`.
int HeldHandlesOfEndedThreads(HANDLE process);
