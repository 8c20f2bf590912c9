// korvid-update list and korvid-update version.
#include <cinttypes>
#include <string>
#include <vector>

#include "commands.h"
#include "device_text.h"
#include "engine_session.h"
#include "exit_status.h"
#include "json_events.h"

namespace {

struct Row {
  hiddevice::DeviceProperties properties;
  const char* mode;
  std::optional<std::string> version;
  std::string problem;  // "no permission", "no answer"
};

void PrintJson(const std::vector<Row>& rows) {
  std::printf("[");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    std::printf("%s\n  {\"path\": %s, \"vendor\": \"%s\", \"product\": \"%s\", \"name\": %s, \"mode\": \"%s\"",
                i == 0 ? "" : ",", JsonString(row.properties.path).c_str(), HexId(row.properties.vendorId).c_str(),
                HexId(row.properties.productId).c_str(), JsonString(row.properties.product).c_str(), row.mode);
    std::printf(", \"port\": %s, \"serial\": %s", JsonStringOrNull(hiddevice::PortPath(row.properties)).c_str(),
                JsonStringOrNull(row.properties.serial).c_str());
    if (std::string(row.mode) == "boot")
      std::printf(", \"version\": %s", row.version ? JsonString(*row.version).c_str() : "null");
    if (!row.problem.empty()) std::printf(", \"problem\": %s", JsonString(row.problem).c_str());
    std::printf("}");
  }
  std::printf("%s]\n", rows.empty() ? "" : "\n");
}

void PrintTable(const std::vector<Row>& rows) {
  if (rows.empty()) {
    std::printf("No controller found.\n%s\n", kBootModeInstructions);
    return;
  }
  for (const Row& row : rows) {
    const std::string mode = std::string(row.mode) == "boot" ? "BOOT mode" : "application mode";
    std::string state = row.version ? *row.version : row.problem;
    std::string where;
    const std::string port = hiddevice::PortPath(row.properties);
    if (!port.empty()) where += "  port " + TerminalSafe(port);
    if (!row.properties.serial.empty()) where += "  serial " + TerminalSafe(row.properties.serial);
    std::printf("%s  %-16s  %-16s%s\n", DescribeController(row.properties).c_str(), mode.c_str(), state.c_str(),
                where.c_str());
  }
}

}  // namespace

int RunList(const ListOptions& options) {
  // The engine's own messages (a factory-firmware warning) stay out of the listing.
  EngineSession session(ProgressStyle::Plain, false, stderr);
  ControllerLink& link = session.Link();
  if (link.Start() == ControllerLink::Wait::Interrupted) return kExitInterrupted;

  std::vector<Row> rows;
  const std::vector<ControllerLink::Controller> controllers = link.Controllers();
  for (const ControllerLink::Controller& controller : controllers) {
    bool interrupted = false;
    Row row{controller.properties, "boot", session.QueryVersion(controller.id, interrupted), ""};
    if (interrupted) return kExitInterrupted;
    if (!row.version) row.problem = "no answer";
    rows.push_back(row);
  }
  for (const ControllerLink::Unavailable& entry : link.UnavailableControllers())
    rows.push_back(Row{entry.properties, "boot", std::nullopt,
                       entry.reason == "permission denied" ? "no permission" : entry.reason});
  for (const hiddevice::DeviceProperties& properties : link.ApplicationMode())
    rows.push_back(Row{properties, "application", std::nullopt, ""});

  if (options.json)
    PrintJson(rows);
  else
    PrintTable(rows);
  return kExitUpdated;
}

int RunVersion(const VersionOptions& options) {
  const ControllerName named{options.device, options.port};
  EngineSession session(ProgressStyle::Plain, options.verbose, stdout, named);
  ControllerLink& link = session.Link();
  if (link.Start() == ControllerLink::Wait::Interrupted) return kExitInterrupted;
  const ControllerChoice choice = ChooseController(link, named, false, 0);
  if (!choice.controller) return choice.exitStatus;
  bool interrupted = false;
  const std::optional<std::string> version = session.QueryVersion(choice.controller->id, interrupted);
  if (interrupted) return kExitInterrupted;
  if (options.json) {
    JsonEvents events(stdout);
    events.Controller(choice.controller->properties);
    events.Version(version);
  }
  if (!version) {
    std::fprintf(stderr, "korvid-update: %s did not report its firmware version.\n",
                 choice.controller->properties.path.c_str());
    return kExitNotUpdated;
  }
  if (!options.json) std::printf("%s: %s\n", choice.controller->properties.path.c_str(), version->c_str());
  return kExitUpdated;
}
