#include "json_events.h"

#include <cinttypes>
#include <cstdlib>

#include "device_text.h"

namespace {

class JsonProgress final : public ProgressView {
 public:
  JsonProgress(std::FILE* out, std::FILE* people) : events_(out), people_(people) {}
  void Update(const Progress& progress) override {
    if (progress.percent == lastPercent_) return;
    lastPercent_ = progress.percent;
    events_.Progress(progress);
  }
  void Say(const std::string& line) override {
    std::fprintf(people_, "%s\n", line.c_str());
    std::fflush(people_);
  }
  void Finish() override {}

 private:
  JsonEvents events_;
  std::FILE* people_;
  std::uint32_t lastPercent_ = UINT32_MAX;
};

}  // namespace

void JsonEvents::Emit(const std::string& event, const std::string& fields) {
  // One write of the whole line: a reader never sees half an event.
  const std::string identity = event == "controller" ? std::string() : identity_;
  const std::string line = linePrefix_ + "{\"event\": \"" + event + "\"" + identity + fields + "}\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

std::string IdentityFields(const hiddevice::DeviceProperties& properties) {
  return ", \"node\": " + JsonString(properties.path) +
         ", \"port\": " + JsonStringOrNull(hiddevice::PortPath(properties)) +
         ", \"serial\": " + JsonStringOrNull(properties.serial);
}

void JsonEvents::Controller(const hiddevice::DeviceProperties& properties) {
  Emit("controller", IdentityFields(properties) + ", \"vendor\": \"" + HexId(properties.vendorId) +
                         "\", \"product\": \"" + HexId(properties.productId) +
                         "\", \"name\": " + JsonString(properties.product));
}

void JsonEvents::Version(const std::optional<std::string>& version) {
  Emit("version", ", \"version\": " + JsonStringOrNull(version));
}

void JsonEvents::Confirmation(const std::string& fileVersion, const std::optional<std::string>& controllerVersion) {
  Emit("confirmation", ", \"file_version\": " + JsonString(fileVersion) +
                           ", \"controller_version\": " + JsonStringOrNull(controllerVersion));
}

void JsonEvents::Progress(const ::Progress& progress) {
  char fields[96];
  std::snprintf(fields, sizeof fields, ", \"bytes\": %" PRIu64 ", \"total\": %" PRIu64 ", \"percent\": %u",
                progress.bytes, progress.total, progress.percent);
  Emit("progress", fields);
}

void JsonEvents::Result(const std::string& result, const std::string& reasonCode, const std::string& reason,
                        const std::vector<std::string>& messages) {
  std::string list;
  for (const std::string& message : messages) list += (list.empty() ? "" : ", ") + JsonString(message);
  Emit("result", ", \"result\": \"" + result + "\", \"reason_code\": " + JsonStringOrNull(reasonCode) +
                     ", \"reason\": " + JsonStringOrNull(reason) + ", \"messages\": [" + list + "]");
}

void JsonEvents::Returned(bool returned) {
  Emit("returned", std::string(", \"returned\": ") + (returned ? "true" : "false"));
}

std::unique_ptr<ProgressView> MakeJsonProgressView(std::FILE* out, std::FILE* people) {
  return std::make_unique<JsonProgress>(out, people);
}

namespace {

constexpr char kEventStart[] = "{\"event\": \"";

// A JSON string literal's text from `at` (just past its opening quote);
// escapes of other than ASCII are kept as written.
std::string StringFrom(const std::string& line, std::size_t at) {
  std::string text;
  while (at < line.size() && line[at] != '"') {
    char c = line[at++];
    if (c == '\\' && at < line.size()) {
      c = line[at++];
      if (c == 'n') c = '\n';
      else if (c == 't') c = '\t';
      else if (c == 'u' && at + 4 <= line.size() && line.compare(at, 2, "00") == 0) {
        c = static_cast<char>(std::strtol(line.substr(at + 2, 2).c_str(), nullptr, 16));
        at += 4;
      } else if (c == 'u') {
        text += "\\u";
        continue;
      }
    }
    text += c;
  }
  return text;
}

}  // namespace

std::string EventName(const std::string& line) {
  if (line.compare(0, sizeof kEventStart - 1, kEventStart) != 0) return std::string();
  return StringFrom(line, sizeof kEventStart - 1);
}

std::optional<std::string> EventStringField(const std::string& line, const std::string& key) {
  const std::string start = ", \"" + key + "\": ";
  const std::size_t at = line.find(start);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t value = at + start.size();
  if (value >= line.size() || line[value] != '"') return std::nullopt;  // null
  return StringFrom(line, value + 1);
}

std::string WithIdentity(const std::string& line, const std::string& identity) {
  if (line.compare(0, sizeof kEventStart - 1, kEventStart) != 0) return line;
  const std::size_t nameEnd = line.find('"', sizeof kEventStart - 1);
  if (nameEnd == std::string::npos) return line;
  return line.substr(0, nameEnd + 1) + identity + line.substr(nameEnd + 1);
}
