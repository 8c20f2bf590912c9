// A service's next due time as ppoll's time-out: null (wait for a
// descriptor or a signal) when nothing is due.
#pragma once

#include <time.h>

#include <cstdint>

#include "controller_service.h"

inline timespec* PollTimeout(std::uint64_t dueUs, std::uint64_t nowUs, timespec& storage) {
  if (dueUs == ControllerService::kNever) return nullptr;
  const std::uint64_t left = dueUs > nowUs ? dueUs - nowUs : 0;
  storage.tv_sec = static_cast<time_t>(left / 1000000u);
  storage.tv_nsec = static_cast<long>(left % 1000000u) * 1000;
  return &storage;
}
