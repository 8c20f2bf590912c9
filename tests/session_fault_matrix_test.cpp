// Every fault kind of the simulated controller at every step of a 100-byte
// update (four data commands), on both platforms, each cell against its
// expected outcome. Whatever the fault, no run hangs, no failing run takes
// long in virtual time, and success is shown only when the controller took
// the completion command and holds the exact image.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "param_printers.h"
#include "sample_firmware.h"
#include "simulated_controller.h"
#include "simulated_frontend.h"
#include "temp_dir.h"
#include "transcript.h"
#include "update_session.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPayloadSize = 100;  // data commands of 32, 32, 32 and 4 bytes
constexpr uint32_t kMiddleChunk = 2;
constexpr uint32_t kLastChunk = 4;

// Where the fault strikes: a controller step, and for chunks which one.
struct Where {
  ControllerStep step;
  uint32_t chunk;
  const char* name;
};

const Where kVersion{ControllerStep::Version, 0, "Version"};
const Where kIdentity{ControllerStep::Identity, 0, "Identity"};
const Where kHeader{ControllerStep::Header, 0, "Header"};
const Where kFirstChunk{ControllerStep::Chunk, 1, "FirstChunk"};
const Where kMiddle{ControllerStep::Chunk, kMiddleChunk, "MiddleChunk"};
const Where kLast{ControllerStep::Chunk, kLastChunk, "LastChunk"};
const Where kCompletion{ControllerStep::Completion, 0, "Completion"};

// How long a cell may take in virtual time.
enum class Time {
  AtOnce,    // the run ends without waiting on the controller
  Watchdog,  // ten seconds of silence end it
};

struct Cell {
  FaultKind fault;
  Where where;
  SessionEnd end;
  bool failureShown;
  bool successShown;
  bool imageHeld;        // the controller's image equals the payload
  bool completionTaken;  // the controller took SET_FIRMWARE_COMPLETE
  int fileChoices;
  Time time;
};

constexpr SessionEnd U = SessionEnd::Updated;
constexpr SessionEnd E = SessionEnd::RunEnded;
constexpr SessionEnd NV = SessionEnd::NoVersion;
constexpr SessionEnd RW = SessionEnd::RequestNotWritten;
constexpr Time Now = Time::AtOnce;
constexpr Time Dog = Time::Watchdog;
constexpr FaultKind F21 = FaultKind::Fail21;
constexpr FaultKind F24 = FaultKind::Fail24;

// Silence before a run (no version report) is the front-end's own ten-second
// wait; from the update request on it is the engine's watchdog. A failure
// event after the last chunk comes where the completion was due: the image is
// complete but the controller never took the completion command. The
// completion command itself is never acknowledged, so success is shown as it
// goes out; a controller that answers it with a failure event gets the
// failure message after that.
// clang-format off
const Cell kCells[] = {
    //  fault                    where         end  fail   succ   image  compl  files time
    {F21,                      kVersion,     NV, true,  false, false, false, 0, Now},
    {F21,                      kIdentity,    E,  true,  false, false, false, 0, Now},
    {F21,                      kHeader,      E,  true,  false, false, false, 1, Now},
    {F21,                      kFirstChunk,  E,  true,  false, false, false, 1, Now},
    {F21,                      kMiddle,      E,  true,  false, false, false, 1, Now},
    {F21,                      kLast,        E,  true,  false, true,  false, 1, Now},
    {F21,                      kCompletion,  E,  true,  true,  true,  false, 1, Now},

    {F24,                      kVersion,     NV, true,  false, false, false, 0, Now},
    {F24,                      kIdentity,    E,  true,  false, false, false, 0, Now},
    {F24,                      kHeader,      E,  true,  false, false, false, 1, Now},
    {F24,                      kFirstChunk,  E,  true,  false, false, false, 1, Now},
    {F24,                      kMiddle,      E,  true,  false, false, false, 1, Now},
    {F24,                      kLast,        E,  true,  false, true,  false, 1, Now},
    {F24,                      kCompletion,  E,  true,  true,  true,  false, 1, Now},

    {FaultKind::Silence,       kVersion,     NV, false, false, false, false, 0, Dog},
    {FaultKind::Silence,       kIdentity,    E,  true,  false, false, false, 0, Dog},
    {FaultKind::Silence,       kHeader,      E,  true,  false, false, false, 1, Dog},
    {FaultKind::Silence,       kFirstChunk,  E,  true,  false, false, false, 1, Dog},
    {FaultKind::Silence,       kMiddle,      E,  true,  false, false, false, 1, Dog},
    {FaultKind::Silence,       kLast,        E,  true,  false, true,  false, 1, Dog},
    // The completion needs no answer: a controller silent from then on took it.
    {FaultKind::Silence,       kCompletion,  U,  false, true,  true,  true,  1, Now},

    {FaultKind::Unplug,        kVersion,     NV, false, false, false, false, 0, Dog},
    {FaultKind::Unplug,        kIdentity,    E,  true,  false, false, false, 0, Dog},
    {FaultKind::Unplug,        kHeader,      E,  true,  false, false, false, 1, Dog},
    {FaultKind::Unplug,        kFirstChunk,  E,  true,  false, false, false, 1, Dog},
    {FaultKind::Unplug,        kMiddle,      E,  true,  false, false, false, 1, Dog},
    {FaultKind::Unplug,        kLast,        E,  true,  false, true,  false, 1, Dog},
    {FaultKind::Unplug,        kCompletion,  U,  false, true,  true,  true,  1, Now},

    // A lost version request leaves the front-end waiting for the version;
    // a lost update request is seen by the front-end at once.
    {FaultKind::WriteFailure,  kVersion,     NV, false, false, false, false, 0, Dog},
    {FaultKind::WriteFailure,  kIdentity,    RW, false, false, false, false, 0, Now},
    {FaultKind::WriteFailure,  kHeader,      E,  true,  false, false, false, 1, Now},
    {FaultKind::WriteFailure,  kFirstChunk,  E,  true,  false, false, false, 1, Now},
    {FaultKind::WriteFailure,  kMiddle,      E,  true,  false, false, false, 1, Now},
    {FaultKind::WriteFailure,  kLast,        E,  true,  false, false, false, 1, Now},
    {FaultKind::WriteFailure,  kCompletion,  E,  true,  false, true,  false, 1, Now},

    // A second identity once the header is out changes nothing; a second
    // acknowledgement brings the next chunk early, and the controller's own
    // pace finishes the transfer all the same.
    {FaultKind::DuplicateAck,  kVersion,     U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kIdentity,    U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kHeader,      U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kFirstChunk,  U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kMiddle,      U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kLast,        U,  false, true,  true,  true,  1, Now},
    {FaultKind::DuplicateAck,  kCompletion,  U,  false, true,  true,  true,  1, Now},

    {FaultKind::StrayReports,  kVersion,     U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kIdentity,    U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kHeader,      U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kFirstChunk,  U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kMiddle,      U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kLast,        U,  false, true,  true,  true,  1, Now},
    {FaultKind::StrayReports,  kCompletion,  U,  false, true,  true,  true,  1, Now},
};
// clang-format on

const char* EndName(SessionEnd end) {
  switch (end) {
    case SessionEnd::Updated:
      return "Updated";
    case SessionEnd::RunEnded:
      return "RunEnded";
    case SessionEnd::NoVersion:
      return "NoVersion";
    case SessionEnd::RequestNotWritten:
      return "RequestNotWritten";
    case SessionEnd::Hung:
      return "Hung";
  }
  return "?";
}

bool AnyMessageContains(const SimulatedFrontEnd& frontEnd, const char* words) {
  for (const ShownMessage& message : frontEnd.Messages())
    if (message.text.find(words) != std::string::npos) return true;
  return false;
}

void PrintTo(const Cell& cell, std::ostream* out) {
  *out << FaultName(cell.fault) << " at " << cell.where.name << " -> " << EndName(cell.end);
}

class SessionFaultMatrix : public ::testing::TestWithParam<std::tuple<Platform, Cell>> {};

TEST_P(SessionFaultMatrix, EndsAsTabled) {
  const auto [platform, cell] = GetParam();
  TempDir dir;
  SampleFirmware firmware;
  firmware.payload = MakeSamplePayload(kPayloadSize, 11);
  const fs::path file = dir.Path() / "fw.dat";
  ASSERT_TRUE(WriteFirmwareFile(file, FirmwareFileBytes(firmware)));

  ControllerConfig config;
  config.fault = FaultPlan{cell.fault, cell.where.step, cell.where.chunk};
  SimulatedController controller(config);
  Transcript transcript;
  UserScript user;
  user.firmwareFile = file;
  SimulatedFrontEnd frontEnd(platform, controller, transcript, user);
  SessionOptions options;
  options.platform = platform;
  const SessionResult result = RunUpdateSession(controller, frontEnd, transcript, &file, options);
  SCOPED_TRACE("outcome: " + result.outcome + "\n" + transcript.Text());

  // Invariants of every cell.
  ASSERT_NE(result.end, SessionEnd::Hung);
  EXPECT_TRUE(controller.FaultFired()) << "the planned fault never struck";
  EXPECT_TRUE(controller.Violations().empty()) << controller.Violations().front();
  const bool successSeen = AnyMessageContains(frontEnd, "upgraded");
  const bool failureSeen = AnyMessageContains(frontEnd, "failure");
  const bool completionRejected =
      cell.where.step == ControllerStep::Completion && (cell.fault == F21 || cell.fault == F24);
  if (successSeen) {
    EXPECT_TRUE(controller.ImageEquals(firmware.payload)) << "success shown, but the image is not the payload";
    if (!completionRejected) {
      EXPECT_GT(controller.CompletionsReceived(), 0u) << "success shown, but the controller never took the completion";
    }
  }
  if (!completionRejected) {
    EXPECT_FALSE(successSeen && failureSeen) << "both success and failure were shown";
  }

  // The cell's expected outcome.
  EXPECT_EQ(EndName(result.end), std::string(EndName(cell.end)));
  EXPECT_EQ(failureSeen, cell.failureShown);
  EXPECT_EQ(successSeen, cell.successShown);
  EXPECT_EQ(result.successShown, cell.successShown);
  EXPECT_EQ(controller.ImageEquals(firmware.payload), cell.imageHeld);
  EXPECT_EQ(controller.CompletionsReceived() > 0, cell.completionTaken);
  EXPECT_EQ(frontEnd.FileChoicesShown(), cell.fileChoices);
  if (cell.time == Time::AtOnce) {
    EXPECT_LT(result.virtualMs, 1000u);
  } else {
    EXPECT_GE(result.virtualMs, 10000u);
    EXPECT_LE(result.virtualMs, 11000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Cells, SessionFaultMatrix,
                         ::testing::Combine(::testing::Values(Platform::Windows, Platform::Macos),
                                            ::testing::ValuesIn(kCells)),
                         [](const auto& info) {
                           const Cell& cell = std::get<1>(info.param);
                           return PlatformName(std::get<0>(info.param)) + "_" + FaultName(cell.fault) + "_" +
                                  cell.where.name;
                         });

// The table must cover every fault kind at every step.
TEST(SessionFaultMatrixTable, CoversEveryKindAtEveryStep) {
  const FaultKind kinds[] = {FaultKind::Fail21,      FaultKind::Fail24,       FaultKind::Silence,
                             FaultKind::Unplug,      FaultKind::WriteFailure, FaultKind::DuplicateAck,
                             FaultKind::StrayReports};
  const Where steps[] = {kVersion, kIdentity, kHeader, kFirstChunk, kMiddle, kLast, kCompletion};
  for (FaultKind kind : kinds) {
    for (const Where& where : steps) {
      int found = 0;
      for (const Cell& cell : kCells)
        found += cell.fault == kind && cell.where.step == where.step && cell.where.chunk == where.chunk;
      EXPECT_EQ(found, 1) << FaultName(kind) << " at " << where.name;
    }
  }
}

}  // namespace
