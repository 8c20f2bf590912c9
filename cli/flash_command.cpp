// korvid-update flash FILE: one controller, the engine's whole run.
#include <cctype>
#include <string>

#include "answer_reader.h"
#include "commands.h"
#include "device_text.h"
#include "engine.h"
#include "engine_session.h"
#include "exit_status.h"
#include "firmware_header.h"
#include "run_record.h"
#include "sha256.h"

namespace {

constexpr unsigned kWatchdogTickMs = 100;
constexpr unsigned kApplicationModeWaitMs = 10000;

// The run is over: the events and the log are told; a log that cannot be
// written is told too (the update's own result stands).
void Ended(RunRecord& record, const std::string& result, const std::string& reasonCode, const std::string& reason,
           const std::vector<std::string>& messages) {
  std::string error;
  if (!record.Ended(result, reasonCode, reason, messages, error))
    std::fprintf(stderr, "korvid-update: the log could not be written: %s.\n", error.c_str());
}

int Interrupted(EngineSession& session, bool transferring, RunRecord& record) {
  session.View().Finish();
  session.Stop();  // nothing more is sent; the file and the device are closed
  Ended(record, "interrupted", transferring ? "interrupted_in_transfer" : "interrupted_before_transfer",
        transferring ? "interrupted; the update was stopped" : "interrupted; the controller was not updated",
        session.FrontEnd().Messages());
  if (transferring) {
    std::fprintf(stderr,
                 "korvid-update: interrupted; the update was stopped.\n"
                 "The controller stays in BOOT mode. Run the same command again to finish the update.\n");
  } else {
    std::fprintf(stderr, "korvid-update: interrupted; the controller was not updated.\n");
  }
  return kExitInterrupted;
}

// After the completion command the controller restarts into its
// application: its BOOT-mode device goes and an application-mode device
// comes, on the same port where the system tells ports.
bool CameBackInApplicationMode(ControllerLink& link, const hiddevice::DeviceProperties& updated, bool& interrupted) {
  const auto back = [&] {
    for (const hiddevice::DeviceProperties& seen : link.ApplicationMode()) {
      if (updated.port.empty() || seen.port.empty() || seen.port == updated.port) return true;
    }
    return false;
  };
  const ControllerLink::Wait wait = link.RunUntil(back, kApplicationModeWaitMs);
  interrupted = wait == ControllerLink::Wait::Interrupted;
  return wait == ControllerLink::Wait::Done;
}

}  // namespace

int RunFlash(const FlashOptions& options) {
  const FirmwareFileInfo info = InspectFirmwareFile(options.file);
  if (info.check != FirmwareFileCheck::Ok) {
    std::fprintf(stderr, "korvid-update: %s: %s. Nothing was sent to any controller.\n", options.file.string().c_str(),
                 DescribeFirmwareFileCheck(info.check));
    return kExitUsage;
  }
  if (options.all) return RunFlashAll(options);
  if (options.station) return RunFlashStation(options);

  // Only the controller asked for is opened: the others' reports are none of ours.
  const ControllerName named{options.device, options.port};
  EngineSession session(options.json ? ProgressStyle::Json : options.style, options.verbose, stdout, named);
  ControllerLink& link = session.Link();
  TerminalFrontEnd& frontEnd = session.FrontEnd();
  ProgressView& view = session.View();
  const std::optional<std::string> sha256 = FileSha256(options.file);
  RunRecord record(options, FileVersionText(info.header), info.fileSize, sha256.value_or(""));
  // With --json, standard output carries events alone: a person reads on standard error.
  std::FILE* people = options.json ? stderr : stdout;
  if (link.Start() == ControllerLink::Wait::Interrupted) return Interrupted(session, false, record);

  const ControllerChoice choice = ChooseController(link, named, options.wait, options.waitSeconds, people);
  if (!choice.controller) return choice.exitStatus;
  const ControllerLink::Controller controller = *choice.controller;
  const DeviceTarget target = controller.id;
  record.Controller(controller.properties);

  bool interrupted = false;
  const std::optional<std::string> version = session.QueryVersion(controller.id, interrupted);
  if (interrupted) return Interrupted(session, false, record);
  record.Version(version);
  if (link.ServedGone()) {
    std::fprintf(stderr, "korvid-update: the controller went away before the update began.\n");
    Ended(record, "failed", "controller_removed", "the controller went away before the update began", {});
    return kExitNotUpdated;
  }
  view.Say("Controller: " + DescribeController(controller.properties) + ", firmware " +
           (version ? *version : std::string("version unknown (it did not report one)")));
  // A bench checks it has the file it meant.
  view.Say("File: " + TerminalSafe(options.file.filename().string()) + ", " + std::to_string(info.fileSize) +
           " bytes, SHA-256 " + sha256.value_or("unreadable"));

  // What the user confirms, or --yes confirmed for them.
  record.Confirmation();
  link.Every(kWatchdogTickMs, [] { WatchdogTick(MonotonicMs()); });
  frontEnd.PrepareRun(options.file, options.yes);
  if (!RequestFirmwareUpdate(target, PACKET_TYPE_HID)) {
    std::fprintf(stderr, "korvid-update: the update request could not be written to the controller.\n");
    Ended(record, "failed", "write_failed", "the update request could not be written to the controller", {});
    return kExitNotUpdated;
  }

  // The run, from the update request to its end: the engine asks for the
  // file and the confirmation, then the controller paces the transfer.
  std::optional<AnswerReader> answer;
  bool questionAsked = false;
  const auto runOver = [&] { return m_updateComplete.load() && !frontEnd.OpenQuestion(); };
  for (;;) {
    const ControllerLink::Wait wait = link.RunUntil(
        [&] { return runOver() || (frontEnd.OpenQuestion() && (!questionAsked || answer->Answered())); }, 0);
    if (wait == ControllerLink::Wait::Interrupted) return Interrupted(session, frontEnd.TransferBegun(), record);
    if (runOver()) break;
    if (!questionAsked) {
      questionAsked = true;
      view.Say(*frontEnd.OpenQuestion());
      std::fprintf(people, "Update the controller with %s? [y/N] ", options.file.filename().string().c_str());
      std::fflush(people);
      answer.emplace(link);
      continue;
    }
    frontEnd.QuestionAnswered();
    ConfirmationEnded(target, answer->Yes());
    if (!answer->Yes()) view.Say("Not updated: nothing more was sent; the controller stays in BOOT mode.");
  }

  view.Finish();
  const std::optional<RunOutcome> outcome = frontEnd.Outcome();
  if (!outcome) {  // declined, or refused before any transfer: already told
    const bool declined = questionAsked && answer && !answer->Yes();
    Ended(record, "failed", declined ? "declined" : "refused",
          declined ? "the update was declined; nothing was sent" : "the controller or the file was refused",
          frontEnd.Messages());
    return kExitNotUpdated;
  }
  if (*outcome != RunOutcome::Updated) {
    const std::string reason = DescribeFailure(*outcome, link.FailureEvent());
    view.Say("The update failed: " + reason + ".");
    Ended(record, "failed", FailureCode(*outcome), reason, frontEnd.Messages());
    return kExitNotUpdated;
  }
  Ended(record, "updated", "", "", frontEnd.Messages());
  const bool back = CameBackInApplicationMode(link, controller.properties, interrupted);
  if (interrupted) return kExitUpdated;  // the update itself is done
  record.Returned(back);
  view.Say(back ? "The controller restarted in its application mode."
                : "The controller did not come back in its application mode within 10 seconds; unplug it and plug it "
                  "in again.");
  return kExitUpdated;
}
