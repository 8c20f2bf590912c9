#include "json_events.h"

#include <cinttypes>

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
  const std::string line = "{\"event\": \"" + event + "\"" + fields + "}\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void JsonEvents::Controller(const hiddevice::DeviceProperties& properties) {
  Emit("controller", ", \"node\": " + JsonString(properties.path) +
                         ", \"port\": " + JsonStringOrNull(hiddevice::PortPath(properties)) +
                         ", \"serial\": " + JsonStringOrNull(properties.serial) + ", \"vendor\": \"" +
                         HexId(properties.vendorId) + "\", \"product\": \"" + HexId(properties.productId) +
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
