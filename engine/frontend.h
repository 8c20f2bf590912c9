// The seam between the update engine and a front-end.
//
// The engine is a set of free functions over process-wide state (engine.h).
// It owns the update state; the front-end owns the device link and the user
// interface. They meet only here:
//
//   * the report writer and stream writer (engine -> device),
//   * the front-end operations (engine -> user interface),
//   * the trace sink (engine -> diagnostics),
//
// and, the other way, the entry points of engine.h that the front-end calls
// (input reports, the update request, the confirmation outcome, the clock
// tick).
//
// Threads. The engine takes no lock and starts no thread or timer. Every
// call below is made on the thread that called into the engine: the macOS
// main run loop, or on Windows the thread of whichever read loop is running
// (the dialog's thread for the version query, the update worker during an
// update). A front-end must not call into the engine from two threads at
// once. Operations that show something modal return only once it is closed.
//
// Texts are UTF-8. A string_view handed to the front-end is valid only for
// the duration of the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

// The device connection the answers go to: the HID device reference on macOS,
// the socket handle (always 0) on Windows. The engine only passes it back.
using DeviceTarget = std::uintptr_t;

// Send status in the platform's own convention (Windows: nonzero = written;
// macOS: 0 = kIOReturnSuccess). The engine hands it back unchanged.
using Status = std::int32_t;

enum class Platform { Windows, Macos };

struct UserMessage {
  std::string_view caption;  // Windows message-box caption; empty on macOS
  std::string_view text;     // the message as the user reads it
};

struct FileChoiceRequest {
  std::string_view filterText;  // Windows filter, e.g. "File type(*.dat)|*.dat||"; empty on macOS
  std::string_view extension;   // "dat": the only file type that may be chosen
};

struct ConfirmationRequest {
  std::string_view title;  // Windows: message-box caption; macOS: alert message "Note"
  std::string_view text;   // Windows: the question; macOS: the informative text
};

enum class ConfirmAnswer {
  Ok,       // the user confirmed before the call returned (Windows)
  Cancel,   // the user declined before the call returned (Windows)
  Pending,  // a sheet is up; the front-end calls ConfirmationEnded() later (macOS)
};

// How a run that had started ended, as far as the engine can tell.
enum class RunOutcome {
  Updated,             // the payload went out and the completion command was written
  ControllerFailed,    // the controller sent a failure event
  ControllerSilent,    // ten seconds without an answer while the updater waited on it
  ControllerRemoved,   // the front-end reported the controller gone (ControllerRemoved)
  WriteFailed,         // the header, a chunk or the completion could not be written
  FirmwareFileFailed,  // the firmware file could not be opened or read to the end
};

// Which update-button rule applies when the engine makes the button usable.
enum class ButtonRule {
  Always,               // enable it
  IfControllerPresent,  // enable it only while a controller is attached
};

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;

  // Report writer. Called by every send on PACKET_TYPE_HID (version request,
  // update request, header, each data piece, completion) with the 64 bytes of
  // the output report: count byte first, bytes past the count zero. Returns
  // the platform's status of the write; the engine ends a transfer whose
  // header, chunk or completion could not be written.
  virtual Status WriteReport(DeviceTarget target, const std::uint8_t (&report)[kReportSize]) = 0;

  // Stream writer, called by the Windows sends on PACKET_TYPE_RFCOMM: the
  // whole message in one write, no count byte. Returns the byte count written,
  // or -1. No read path produces RFCOMM traffic, so a front-end without a
  // socket keeps the default (-1, nothing written).
  virtual Status WriteStream(DeviceTarget target, const std::uint8_t* bytes, std::size_t size);

  // Windows text table: text `id` (0..15) in the user's language, "" if
  // unknown. Called by the Windows behaviour whenever it composes a text
  // (never on the per-chunk path). The default returns "".
  virtual std::string LoadText(int id);

  // File choice. Called by GetUpdateFileName once the controller's identity
  // was accepted. Modal; returns the chosen path, or nothing when the user
  // cancelled. The engine then reads and judges the file itself.
  virtual std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest& request) = 0;

  // Confirmation of the chosen file, its version shown. Called by
  // GetUpdateFileName after the file was accepted. Windows answers Ok or
  // Cancel before returning; macOS puts up a sheet, returns Pending and
  // reports the user's answer through ConfirmationEnded(target, ok) on the
  // same thread: later, on macOS, or already from inside this call where a
  // sheet runs as a nested modal loop (GNUstep).
  virtual ConfirmAnswer AskConfirmation(DeviceTarget target, const ConfirmationRequest& request) = 0;

  // Called by the state machine on every version report (and with "Factory
  // Version" for factory firmware on macOS): the controller's version as text.
  // Windows: the dialog title; macOS: the version field, which also gives up
  // focus and takes the text background colour.
  virtual void ShowDeviceVersion(std::string_view text) = 0;

  // A modal message with a single OK button: success, failure, the BOOT-mode
  // message and the factory-firmware warning. Returns when it is closed.
  virtual void ShowMessage(const UserMessage& message) = 0;

  // Progress of the transfer, 0..100: after every data chunk from the second
  // on, and 0 after the Windows success message.
  virtual void ShowProgress(std::uint32_t percent) = 0;

  // Make the update button usable again: after a failure, after a cancelled
  // file choice or confirmation (macOS), after the last chunk (Windows).
  virtual void EnableUpdateButton(ButtonRule rule) = 0;

  // Windows, after the success message was closed: show the "Firmware
  // upgraded!" text control.
  virtual void ShowUpgradedNotice() {}

  // The header command went out and the controller now paces the transfer.
  // Windows shortens its HID read time-out to 10 ms here.
  virtual void TransferStarted() {}

  // A run ends with its success or failure message: called once, just
  // before ShowMessage tells the user, with the reason. Runs that end
  // without either message (file choice or confirmation cancelled, file
  // refused, firmware type not accepted) are not told here.
  virtual void RunEnding(RunOutcome outcome) { (void)outcome; }
};

// Diagnostic lines that change nothing. Each call carries one whole trace
// line as the engine's texts give it (macOS lines start with "function,line::").
// May be absent (no tracing). Called on the engine's thread; must not call
// back into the engine.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Trace(std::string_view line) = 0;
};

// What a front-end tells the engine once, at start-up.
struct EngineSetup {
  Platform platform = Platform::Windows;
  FrontEnd* frontEnd = nullptr;  // required; outlives the engine's use
  TraceSink* traceSink = nullptr;
  // The state machine starts at rest (UPDATE_DATA_SENT). A front-end that
  // queries the version before it lets acknowledgements count (the Windows
  // dialog) passes false and sets UPDATE_DATA_SENT itself afterwards; until
  // then acknowledgements are ignored.
  bool startAtRest = true;
};
