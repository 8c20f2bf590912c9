#include "controller_service.h"

#include <cstdio>
#include <fstream>

namespace {

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

ControlCommand ParseControlCommand(const std::string& line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  const std::size_t space = text.find(' ');
  if (space == std::string::npos) return ControlCommand{text, std::string()};
  std::size_t rest = space;
  while (rest < text.size() && text[rest] == ' ') ++rest;
  return ControlCommand{text.substr(0, space), text.substr(rest)};
}

ControllerService::ControllerService(ServiceOptions options, DeviceLink& link)
    : options_(std::move(options)), link_(link) {}

void ControllerService::Start(uint64_t nowUs) {
  if (options_.attachAtStart) Attach(nowUs);
}

void ControllerService::Attach(uint64_t) {
  if (!controller_)
    controller_.emplace(options_.controller);
  else
    controller_->Replug();
  returnAtUs_.reset();
  taken_.clear();
  answers_.clear();
  reading_ = true;
  Appear();
}

void ControllerService::Appear() {
  shownProductId_ = controller_->ProductId();
  linkUp_ = link_.Appear(DeviceIdentity{controller_->VendorId(), shownProductId_});
}

void ControllerService::Detach() {
  if (controller_ && controller_->Attached()) controller_->Unplug();
  taken_.clear();
  answers_.clear();
  returnAtUs_.reset();
  if (linkUp_) link_.Vanish();
  linkUp_ = false;
}

void ControllerService::OnOutputReport(const Report& report, uint64_t nowUs) {
  if (!linkUp_ || !controller_ || !reading_) return;
  if (options_.paced || held_) {
    taken_.push_back(Pending{report, nowUs});
    return;
  }
  Take(report, nowUs);
  while (!answers_.empty()) SendOneAnswer();
  FollowTheController(nowUs);
}

// The controller takes one report; its answers wait in answers_.
void ControllerService::Take(const Report& report, uint64_t nowUs) {
  const uint32_t headersBefore = controller_->HeadersReceived();
  const uint32_t completionsBefore = controller_->CompletionsReceived();
  const bool faultBefore = controller_->FaultFired();
  controller_->WriteOutputReport(report);
  ++stats_.reportsTaken;
  if (controller_->FaultFired() && !faultBefore) stats_.faultAtUs = nowUs;
  if (!readingStopped_ && options_.stopReadingAtChunk != 0 &&
      controller_->DataCommandsReceived() >= options_.stopReadingAtChunk) {
    // Hung until it is plugged in again: no answer to this report, nothing
    // more taken.
    readingStopped_ = true;
    reading_ = false;
    stats_.faultAtUs = nowUs;
    while (controller_->HasInput()) controller_->PopInput();
    taken_.clear();
    answers_.clear();
    link_.StopReading();
    return;
  }
  if (controller_->HeadersReceived() != headersBefore) {
    stats_.headerAtUs = nowUs;
    stats_.reportsTakenAtHeader = stats_.reportsTaken;
    stats_.completionAtUs.reset();
  }
  if (controller_->CompletionsReceived() != completionsBefore) {
    stats_.completionAtUs = nowUs;
    stats_.reportsTakenAtCompletion = stats_.reportsTaken;
  }
  CollectAnswers();
  if (!heldAtChunk_ && options_.holdAfterChunk != 0 && controller_->DataCommandsReceived() >= options_.holdAfterChunk) {
    heldAtChunk_ = true;
    held_ = true;
  }
  if (!readingStopped_ && options_.stopReadingAfterChunk != 0 &&
      controller_->DataCommandsReceived() >= options_.stopReadingAfterChunk) {
    readingStopped_ = true;
    reading_ = false;
    stats_.faultAtUs = nowUs;
    taken_.clear();
    while (!answers_.empty()) SendOneAnswer();  // the acknowledgement still goes out
    link_.StopReading();
  }
}

void ControllerService::CollectAnswers() {
  while (controller_->HasInput()) answers_.push_back(controller_->PopInput());
}

void ControllerService::SendOneAnswer() {
  link_.SendInput(answers_.front());
  answers_.pop_front();
}

// The link follows what the controller did: pulled out, or restarted into
// its application after the completion command.
void ControllerService::FollowTheController(uint64_t nowUs) {
  if (!linkUp_ || !controller_) return;
  if (!controller_->Attached()) {
    Detach();
    return;
  }
  // Only a change of mode is a restart: the application's device, once back,
  // stays as it is.
  if (controller_->ProductId() != shownProductId_) {
    taken_.clear();
    answers_.clear();
    link_.Vanish();
    linkUp_ = false;
    returnAtUs_ = nowUs + options_.returnDelayUs;
  }
}

// Unpaced, what was held is handled at once; paced, frame by frame from now.
void ControllerService::Release(uint64_t nowUs) {
  held_ = false;
  if (options_.paced) return;
  while (linkUp_ && reading_ && !taken_.empty()) {
    const Report report = taken_.front().report;
    taken_.pop_front();
    Take(report, nowUs);
    while (!answers_.empty()) SendOneAnswer();
    FollowTheController(nowUs);
  }
  taken_.clear();
}

uint64_t ControllerService::NextBoundary(uint64_t nowUs) const { return (nowUs / kFrameUs + 1) * kFrameUs; }

uint64_t ControllerService::Poll(uint64_t nowUs) {
  if (returnAtUs_ && nowUs >= *returnAtUs_) {
    returnAtUs_.reset();
    Appear();
  }
  if (options_.paced && linkUp_ && reading_ && !held_) {
    // One report taken and one answer sent per frame, at the boundary: a
    // report written during frame f is taken at the start of frame f + 1.
    const uint64_t frame = nowUs / kFrameUs;
    if (FrameFree(frame)) {
      const uint64_t boundaryUs = frame * kFrameUs;
      bool served = false;
      if (!taken_.empty() && taken_.front().atUs < boundaryUs) {
        const Report report = taken_.front().report;
        taken_.pop_front();
        Take(report, boundaryUs);
        served = true;
      }
      if (!answers_.empty()) {
        SendOneAnswer();
        served = true;
      }
      if (served) lastFrameServed_ = frame;
      FollowTheController(nowUs);
    }
  }
  uint64_t next = kNever;
  if (returnAtUs_) next = *returnAtUs_;
  if (options_.paced && linkUp_ && !held_ && (!taken_.empty() || !answers_.empty())) {
    const uint64_t frame = nowUs / kFrameUs;
    const bool takeable = !taken_.empty() && taken_.front().atUs < frame * kFrameUs;
    const uint64_t due = FrameFree(frame) && (takeable || !answers_.empty()) ? nowUs : NextBoundary(nowUs);
    if (due < next) next = due;
  }
  return next;
}

std::string ControllerService::Status() const {
  if (!controller_)
    return "attached=0 boot=0 vid=0x0000 pid=0x0000 header=0 data=0 completions=0 image=0 payload=0 "
           "violations=0 fault=0 reports=0 read_failed=0";
  const SimulatedController& c = *controller_;
  std::string line;
  line += "attached=" + std::string(linkUp_ ? "1" : "0");
  line += " boot=" + std::string(linkUp_ && c.InBootMode() ? "1" : "0");
  line += " vid=" + Hex4(c.VendorId()) + " pid=" + Hex4(c.ProductId());
  line += " header=" + std::to_string(c.HeaderReceived() ? 1 : 0);
  line += " data=" + std::to_string(c.DataCommandsReceived());
  line += " completions=" + std::to_string(c.CompletionsReceived());
  line += " image=" + std::to_string(c.Image().size());
  line += " payload=" + std::to_string(c.AnnouncedPayloadSize());
  line += " violations=" + std::to_string(c.Violations().size());
  line += " fault=" + std::to_string(c.FaultFired() ? 1 : 0);
  line += " reports=" + std::to_string(stats_.reportsTaken);
  line += " read_failed=" + std::to_string(c.ReadFailedNotices());
  return line;
}

std::string ControllerService::Control(const std::string& line, uint64_t nowUs) {
  const ControlCommand command = ParseControlCommand(line);
  if (command.word == "status") return Status();
  if (command.word == "attach") {
    if (linkUp_) return "ok already attached";
    Attach(nowUs);
    return linkUp_ ? "ok attached" : "error the device could not appear";
  }
  if (command.word == "unplug") {
    if (!linkUp_ && !returnAtUs_) return "ok not attached";
    Detach();
    return "ok unplugged";
  }
  if (command.word == "reattach") {
    Detach();
    Attach(nowUs);
    return linkUp_ ? "ok attached" : "error the device could not appear";
  }
  if (command.word == "hold") {
    held_ = true;
    return "ok held";
  }
  if (command.word == "release") {
    if (!held_) return "ok not held";
    Release(nowUs);
    return "ok released";
  }
  if (command.word == "image") {
    if (command.argument.empty()) return "error image takes a file name";
    std::ofstream out(command.argument, std::ios::binary | std::ios::trunc);
    if (controller_) {
      const auto& image = controller_->Image();
      out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    if (!out) return "error cannot write " + command.argument;
    return "ok " + std::to_string(controller_ ? controller_->Image().size() : 0);
  }
  if (command.word == "violations") {
    std::string text;
    if (controller_)
      for (const std::string& violation : controller_->Violations()) text += (text.empty() ? "" : "; ") + violation;
    return text;
  }
  if (command.word == "stats") {
    auto opt = [](const std::optional<uint64_t>& value) { return value ? std::to_string(*value) : std::string("-"); };
    return "reports=" + std::to_string(stats_.reportsTaken) + " header_us=" + opt(stats_.headerAtUs) +
           " completion_us=" + opt(stats_.completionAtUs) +
           " reports_at_header=" + std::to_string(stats_.reportsTakenAtHeader) +
           " reports_at_completion=" + std::to_string(stats_.reportsTakenAtCompletion) +
           " data=" + std::to_string(controller_ ? controller_->DataCommandsReceived() : 0) +
           " fault_us=" + opt(stats_.faultAtUs);
  }
  if (command.word == "quit") {
    quit_ = true;
    return "ok";
  }
  return "error unknown command: " + command.word;
}
