// While the updater waits on the controller, ten seconds of silence end the
// run through the failure path. The engine has no timer: the front-end feeds
// the time, and the wait counts from the first tick after the controller last
// spoke (so a late tick can only make the watchdog later, never early).
//
// Ticks come every 100 ms while the front-end runs. A tick that comes much
// later than that means the front-end itself was held (an application-modal
// alert or menu holds back both its clock and the controller's reports): that
// time is not the controller's silence, so the count starts again.
#include "engine_internal.h"

namespace {
constexpr uint64_t kControllerSilenceLimitMs = 10000;
constexpr uint64_t kHeldFrontEndGapMs = 1000;
}  // namespace

void WatchdogArm() {
  g_run.watchdogArmed = true;
  g_run.watchdogCounting = false;
}

void WatchdogDisarm() { g_run.watchdogArmed = false; }

void WatchdogHeard() { g_run.watchdogCounting = false; }

void WatchdogTick(uint64_t nowMs) {
  if (!Started()) return;
  const bool frontEndWasHeld =
      g_run.ticked && (nowMs < g_run.lastTickMs || nowMs - g_run.lastTickMs > kHeldFrontEndGapMs);
  g_run.ticked = true;
  g_run.lastTickMs = nowMs;
  if (!g_run.watchdogArmed) return;
  if (!g_run.watchdogCounting || frontEndWasHeld || nowMs < g_run.watchdogSinceMs) {
    g_run.watchdogCounting = true;
    g_run.watchdogSinceMs = nowMs;
    return;
  }
  if (nowMs - g_run.watchdogSinceMs < kControllerSilenceLimitMs) return;
  ENGINE_TRACE("no answer from the controller for %d s\n", static_cast<int>(kControllerSilenceLimitMs / 1000));
  FailRun(RunOutcome::ControllerSilent);
}
