#include "process_handles.h"

namespace {

// Handle values are multiples of 4; a small program stays far below this.
constexpr ULONG_PTR kHighestHandleValue = 0x4000;

}  // namespace

int HeldHandlesOfEndedThreads(HANDLE process) {
  int held = 0;
  for (ULONG_PTR value = 4; value <= kHighestHandleValue; value += 4) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
      continue;
    // Only a thread handle has a thread id; an ended thread is signalled.
    if (GetThreadId(copy) != 0 && WaitForSingleObject(copy, 0) == WAIT_OBJECT_0) ++held;
    CloseHandle(copy);
  }
  return held;
}
