// One controller's run as it is reported beyond the terminal, from the same
// facts: the JSON events (--json) and the line of the log of every
// controller handled (--log FILE).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "device_source.h"
#include "json_events.h"

class RunRecord {
 public:
  // `fileVersion` as shown ("v1.10"); `fileSha256` empty when the file could not be read.
  RunRecord(const FlashOptions& options, std::string fileVersion, std::uint64_t fileSize, std::string fileSha256);

  void Controller(const hiddevice::DeviceProperties& properties);
  void Version(const std::optional<std::string>& version);
  void Confirmation();
  // The run is over: `result` updated, failed or interrupted. Writes the
  // log line; false with `error` set when it could not be written.
  bool Ended(const std::string& result, const std::string& reasonCode, const std::string& reason,
             const std::vector<std::string>& messages, std::string& error);
  void Returned(bool returned);

 private:
  std::optional<JsonEvents> events_;
  std::optional<std::filesystem::path> log_;
  std::string fileName_;
  std::string fileVersion_;
  std::uint64_t fileSize_;
  std::string fileSha256_;
  hiddevice::DeviceProperties controller_;
  std::optional<std::string> version_;
  std::uint64_t startedMs_ = 0;
  bool ended_ = false;
};

// Appends `line` and a line feed to `file` in one write, so that several
// processes logging at once never mix their lines; false with `error` set.
bool AppendLine(const std::filesystem::path& file, const std::string& line, std::string& error);
