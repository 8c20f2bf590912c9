// The record of one simulated update, one line per item:
//   "> " a report the updater wrote (count byte and the bytes it counts, hex)
//   "< " a report the controller sent
//   "# " a front-end operation in plain words
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "simulated_controller.h"

class Transcript {
 public:
  void Sent(const Report& report) { Add("> " + HexCounted(report)); }
  void Received(const Report& report) { Add("< " + HexCounted(report)); }
  void Note(std::string_view words);

  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Text() const;
  bool WriteTo(const std::filesystem::path& file) const;

  // Called with every line as it is added (progress output of the runner).
  std::function<void(const std::string&)> onLine;

  static std::string HexCounted(const Report& report);
  static std::string HexBytes(const uint8_t* bytes, std::size_t size);

 private:
  void Add(std::string line);
  std::vector<std::string> lines_;
};
