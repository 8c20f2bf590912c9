// korvid-update's machine-readable output (--json): one JSON object per
// line on standard output, written whole and flushed as it happens, for the
// scripts and station screens of a bench. What a person reads (the engine's
// messages, the question) goes to standard error meanwhile.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_source.h"
#include "progress_view.h"

class JsonEvents {
 public:
  // Each line starts with `linePrefix` (a child's lines to its parent), and
  // each event after the first carries `identity` (", \"node\": ..." fields
  // naming the controller when several runs share one stream).
  explicit JsonEvents(std::FILE* out, std::string linePrefix = "", std::string identity = "")
      : out_(out), linePrefix_(std::move(linePrefix)), identity_(std::move(identity)) {}

  // {"event": "controller", "node": ..., "port": ..., "serial": ..., "vendor": ..., "product": ..., "name": ...}
  void Controller(const hiddevice::DeviceProperties& properties);
  // {"event": "version", "version": "v1.05"} (null when it reported none)
  void Version(const std::optional<std::string>& version);
  // {"event": "confirmation", "file_version": ..., "controller_version": ...}
  void Confirmation(const std::string& fileVersion, const std::optional<std::string>& controllerVersion);
  // {"event": "progress", "bytes": ..., "total": ..., "percent": ...}
  void Progress(const ::Progress& progress);
  // {"event": "result", "result": "updated"|"failed"|"interrupted", "reason_code": ..., "reason": ...,
  //  "messages": [the engine's messages, in order]}
  void Result(const std::string& result, const std::string& reasonCode, const std::string& reason,
              const std::vector<std::string>& messages);
  // {"event": "returned", "returned": true|false}
  void Returned(bool returned);

  // Any event: `fields` are ", \"name\": value" pairs.
  void Emit(const std::string& event, const std::string& fields);

 private:
  std::FILE* out_;
  std::string linePrefix_;
  std::string identity_;
};

// Of an event line as JsonEvents writes it: its name, a field's string value
// (nothing when null or absent), and the line with `identity` fields put in
// after the name.
std::string EventName(const std::string& line);
std::optional<std::string> EventStringField(const std::string& line, const std::string& key);
std::string WithIdentity(const std::string& line, const std::string& identity);
// ", \"node\": ..., \"port\": ..., \"serial\": ..." of a controller.
std::string IdentityFields(const hiddevice::DeviceProperties& properties);

// Progress as events, once per percent; what it is told to say goes to
// `people`.
std::unique_ptr<ProgressView> MakeJsonProgressView(std::FILE* out, std::FILE* people);
