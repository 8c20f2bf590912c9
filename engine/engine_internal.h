// Engine-private wiring: the bound front-end, the platform's behaviour, the
// watchdog and the trace helpers. Not for front-ends.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "engine.h"
#include "platform_behaviour.h"

struct EngineBinding {
  const PlatformBehaviour* platform = nullptr;
  FrontEnd* frontEnd = nullptr;
  TraceSink* traceSink = nullptr;
};

// Set by EngineStartUp; read everywhere in the engine.
extern EngineBinding g_engine;

// Engine-private facts about the current run, beside the named records.
struct RunState {
  bool transferActive = false;       // a confirmed transfer that has not ended: ACKs in states 1 and 2 count
  bool payloadComplete = false;      // the payload went out; the next ACK finishes the transfer
  bool confirmationPending = false;  // an asynchronous confirmation is on screen
  uint8_t identityPacketType = 0;    // packet type of the identity that led to it
  bool watchdogArmed = false;        // the updater is waiting on the controller
  bool watchdogCounting = false;     // a tick has fixed the start of the wait
  uint64_t watchdogSinceMs = 0;
  bool ticked = false;               // the front-end's clock has ticked at least once
  uint64_t lastTickMs = 0;
};
extern RunState g_run;

inline bool Started() { return g_engine.platform != nullptr; }
inline const PlatformBehaviour& Behaviour() { return *g_engine.platform; }
inline FrontEnd& Ui() { return *g_engine.frontEnd; }

#if defined(__GNUC__)
#define ENGINE_PRINTF_FORMAT(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define ENGINE_PRINTF_FORMAT(format_index, first_arg)
#endif

// Traces. EngineTrace adds the macOS "function,line::" prefix; the plain form
// never does. Nothing is formatted when no sink is bound.
void EngineTrace(const char* function, int line, const char* format, ...) ENGINE_PRINTF_FORMAT(3, 4);
void EngineTracePlain(const char* format, ...) ENGINE_PRINTF_FORMAT(1, 2);
#define ENGINE_TRACE(...) EngineTrace(__func__, __LINE__, __VA_ARGS__)
inline bool TracingOn() { return g_engine.traceSink != nullptr; }

// A path as UTF-8 for a trace; never throws (a Windows name that is not valid
// UTF-16 is shown as "?").
std::string PathForTrace(const std::filesystem::path& path);

// Text of the Windows text table, as the front-end supplies it.
std::string LoadText(int id);

// printf into a std::string; for user-visible texts, never on the per-chunk path.
std::string FormatText(const char* format, ...) ENGINE_PRINTF_FORMAT(1, 2);

// A command frame sent: the status the platform's convention gives, and
// whether the whole frame really reached the link.
struct FrameResult {
  Status status;
  bool written;
};
FrameResult SendFirmwareFrame(DeviceTarget target, uint8_t packetType, uint8_t cmd, const uint8_t* data,
                              int32_t length);
bool SendHeaderFrame(DeviceTarget target, uint8_t packetType, const FirmwareTransfer& transfer);

// The watchdog watches the controller while the updater waits on it.
void WatchdogArm();     // start (or restart) waiting on the controller
void WatchdogDisarm();  // the user has the turn, or the run is over
void WatchdogHeard();   // the controller spoke: restart the count if armed

// Marks the run as over and stops the watchdog.
void EndRun();

// Ends the run through the failure path, telling the front-end why.
void FailRun(RunOutcome why);

// The user confirmed the file: state 1, header command, wait for the controller.
void BeginTransfer(DeviceTarget target, uint8_t packetType);
