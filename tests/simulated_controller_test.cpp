// The simulated controller on its own, fed hand-made reports: its answers,
// its image, leaving BOOT mode, its wire checks and each injected fault.
#include "simulated_controller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "param_printers.h"
#include "protocol.h"

namespace {

Report MakeReport(const std::vector<uint8_t>& message) {
  Report report{};
  report[0] = static_cast<uint8_t>(message.size());
  for (std::size_t i = 0; i < message.size() && i + 1 < report.size(); ++i) report[i + 1] = message[i];
  return report;
}

std::vector<uint8_t> MessageOf(const Report& report) {
  return std::vector<uint8_t>(report.begin() + 1, report.begin() + 1 + report[0]);
}

// A MSG_FIRMWARE command frame (00 16 len len cmd [n n data...]).
std::vector<uint8_t> CommandFrame(uint8_t command, const std::vector<uint8_t>& data = {}) {
  if (data.empty()) return {0x00, MSG_FIRMWARE, 0x01, 0x00, command};
  const auto n = static_cast<uint16_t>(data.size());
  std::vector<uint8_t> frame = {0x00, MSG_FIRMWARE, 0, 0, command, 0, 0};
  WriteLe16(frame.data() + 2, static_cast<uint16_t>(n + 3));
  WriteLe16(frame.data() + 5, n);
  frame.insert(frame.end(), data.begin(), data.end());
  return frame;
}

// A frame cut into reports of at most `piece` message bytes.
std::vector<Report> Pieces(const std::vector<uint8_t>& frame, std::size_t piece = kMaxPieceSize) {
  std::vector<Report> reports;
  for (std::size_t at = 0; at < frame.size(); at += piece) {
    const std::size_t size = std::min(piece, frame.size() - at);
    reports.push_back(MakeReport(std::vector<uint8_t>(frame.begin() + at, frame.begin() + at + size)));
  }
  return reports;
}

std::vector<uint8_t> HeaderData(uint32_t payloadSize, uint32_t fileVersion = 110, uint32_t word1 = 0x4B560001) {
  std::vector<uint8_t> data(28, 0);
  WriteLe32(data.data(), fileVersion);
  WriteLe32(data.data() + 4, word1);
  WriteLe32(data.data() + 8, payloadSize);
  return data;
}

std::vector<uint8_t> Bytes(std::size_t size, uint8_t first) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

const Report kVersionRequest = MakeReport(CommandFrame(GET_FIRMWARE_VSION));
const Report kUpdateRequest = MakeReport({0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x00});
const Report kCompletion = MakeReport(CommandFrame(SET_FIRMWARE_COMPLETE));
const std::vector<uint8_t> kAck = {0x00, MSG_FIRMWARE, 0x01, 0x00, FIRMWARE_ACK};

Report HeaderReport(uint32_t payloadSize) {
  return MakeReport(CommandFrame(SET_FIRMWARE_HEADER, HeaderData(payloadSize)));
}
Report DataReport(const std::vector<uint8_t>& chunk) { return MakeReport(CommandFrame(SET_FIRMWARE_DATA, chunk)); }

std::vector<std::vector<uint8_t>> Drain(SimulatedController& controller) {
  std::vector<std::vector<uint8_t>> messages;
  while (controller.HasInput()) messages.push_back(MessageOf(controller.PopInput()));
  return messages;
}

ControllerConfig WithFault(FaultKind kind, ControllerStep step, uint32_t chunk = 0) {
  ControllerConfig config;
  config.fault = FaultPlan{kind, step, chunk};
  return config;
}

// ---- Answers -------------------------------------------------------------

TEST(SimulatedControllerAnswers, VersionReportCarriesConfiguredVersionAndBeta) {
  ControllerConfig config;
  config.version = 105;
  config.beta = 2;
  SimulatedController controller(config);
  ASSERT_TRUE(controller.WriteOutputReport(kVersionRequest));
  const auto messages = Drain(controller);
  ASSERT_EQ(messages.size(), 1u);
  const std::vector<uint8_t> expected = {0x00, MSG_FIRMWARE, 0x07, 0x00, GET_FIRMWARE_VSION, 0x00, 0x00,
                                         0x69, 0x00,         0x02, 0x00};
  EXPECT_EQ(messages[0], expected);
  EXPECT_TRUE(controller.Violations().empty());
}

TEST(SimulatedControllerAnswers, FactoryFirmwareReportsAllOnes) {
  ControllerConfig config;
  config.version = 105;
  config.factoryFirmware = true;
  SimulatedController controller(config);
  controller.WriteOutputReport(kVersionRequest);
  const auto messages = Drain(controller);
  ASSERT_EQ(messages.size(), 1u);
  ASSERT_EQ(messages[0].size(), 11u);
  EXPECT_EQ(ReadLe32(messages[0].data() + 7), 0xFFFFFFFFu);
}

TEST(SimulatedControllerAnswers, UpdateRequestAnsweredWithIdentityCarryingFirmwareType) {
  ControllerConfig config;
  config.firmwareType = 0x12345678;
  SimulatedController controller(config);
  ASSERT_TRUE(controller.WriteOutputReport(kUpdateRequest));
  const auto messages = Drain(controller);
  ASSERT_EQ(messages.size(), 1u);
  const std::vector<uint8_t>& identity = messages[0];
  ASSERT_GE(identity.size(), 44u);
  EXPECT_EQ(identity[0], 0x00);
  EXPECT_EQ(identity[1], MSG_IDENTITY);
  EXPECT_EQ(ReadLe16(identity.data() + 2) + 4u, identity.size());
  EXPECT_EQ(ReadLe32(identity.data() + 40), 0x12345678u);
}

TEST(SimulatedControllerAnswers, ReadFailedNoticeIsIgnored) {
  SimulatedController controller;
  ASSERT_TRUE(controller.WriteOutputReport(MakeReport({0x00, MSG_READ_FAILED, 0x01, 0x00, 0x00})));
  EXPECT_FALSE(controller.HasInput());
  EXPECT_TRUE(controller.Violations().empty());
  EXPECT_TRUE(controller.InBootMode());
}

TEST(SimulatedControllerAnswers, WholeTransferAcknowledgedThenLeavesBootMode) {
  SimulatedController controller;
  const std::vector<uint8_t> payload = Bytes(40, 1);

  ASSERT_TRUE(controller.WriteOutputReport(HeaderReport(40)));
  EXPECT_TRUE(controller.HeaderReceived());
  EXPECT_EQ(controller.AnnouncedPayloadSize(), 40u);
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});

  ASSERT_TRUE(controller.WriteOutputReport(DataReport({payload.begin(), payload.begin() + 32})));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  ASSERT_TRUE(controller.WriteOutputReport(DataReport({payload.begin() + 32, payload.end()})));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  EXPECT_EQ(controller.DataCommandsReceived(), 2u);
  EXPECT_TRUE(controller.ImageEquals(payload));

  ASSERT_EQ(controller.ProductId(), kBootProductId);
  ASSERT_TRUE(controller.WriteOutputReport(kCompletion));
  EXPECT_EQ(controller.CompletionsReceived(), 1u);
  EXPECT_FALSE(controller.HasInput());
  EXPECT_NE(controller.ProductId(), kBootProductId);
  EXPECT_FALSE(controller.InBootMode());
  EXPECT_FALSE(controller.WriteOutputReport(kVersionRequest)) << "a controller out of BOOT mode takes no reports";
  EXPECT_TRUE(controller.Violations().empty());
}

TEST(SimulatedControllerImage, KeepsOnlyTheFirstPayloadSizeBytes) {
  SimulatedController controller;
  const std::vector<uint8_t> sent = Bytes(64, 0x40);
  controller.WriteOutputReport(HeaderReport(40));
  controller.WriteOutputReport(DataReport({sent.begin(), sent.begin() + 32}));
  controller.WriteOutputReport(DataReport({sent.begin() + 32, sent.end()}));
  EXPECT_EQ(controller.Image(), std::vector<uint8_t>(sent.begin(), sent.begin() + 40));
  EXPECT_TRUE(controller.ImageEquals({sent.begin(), sent.begin() + 40}));
  EXPECT_FALSE(controller.ImageEquals(sent));
  EXPECT_TRUE(controller.Violations().empty());
}

TEST(SimulatedControllerImage, IncompleteImageDoesNotEqualThePayload) {
  SimulatedController controller;
  const std::vector<uint8_t> payload = Bytes(40, 3);
  controller.WriteOutputReport(HeaderReport(40));
  controller.WriteOutputReport(DataReport({payload.begin(), payload.begin() + 32}));
  EXPECT_FALSE(controller.ImageEquals(payload));
  EXPECT_FALSE(controller.ImageEquals({payload.begin(), payload.begin() + 32}));
}

TEST(SimulatedControllerImage, ReassemblesADataFrameSplitIn39BytePieces) {
  SimulatedController controller;
  const std::vector<uint8_t> payload = Bytes(100, 7);
  controller.WriteOutputReport(HeaderReport(100));
  Drain(controller);

  const std::vector<Report> pieces = Pieces(CommandFrame(SET_FIRMWARE_DATA, payload));
  ASSERT_EQ(pieces.size(), 3u);  // 107 bytes: 39, 39, 29
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_FALSE(controller.HasInput()) << "answered before piece " << i + 1 << " arrived";
    ASSERT_TRUE(controller.WriteOutputReport(pieces[i]));
  }
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  EXPECT_EQ(controller.DataCommandsReceived(), 1u);
  EXPECT_TRUE(controller.ImageEquals(payload));
  EXPECT_TRUE(controller.Violations().empty());
}

// ---- Wire checks ---------------------------------------------------------

struct ViolationCase {
  const char* name;
  std::vector<Report> reports;
  const char* expected;  // part of the violation text
};

std::vector<ViolationCase> ViolationCases() {
  std::vector<ViolationCase> cases;

  Report stale = kVersionRequest;
  stale[20] = 0xAA;
  cases.push_back({"StaleBytePastTheCount", {stale}, "stale byte 0xAA"});

  std::vector<uint8_t> header = HeaderData(64);
  header[20] = 0x01;
  cases.push_back({"HeaderByte20NotZero", {MakeReport(CommandFrame(SET_FIRMWARE_HEADER, header))}, "byte 20"});

  cases.push_back({"DataBeforeHeader", {DataReport(Bytes(32, 0))}, "before the header"});

  std::vector<uint8_t> wrongLength = CommandFrame(SET_FIRMWARE_DATA, Bytes(5, 0));
  wrongLength[5] = 4;  // data length says 4, the frame carries 5
  cases.push_back({"FrameLengthsDisagree", {HeaderReport(64), MakeReport(wrongLength)}, "lengths disagree"});

  Report empty{};
  cases.push_back({"CountByteZero", {empty}, "outside 1..63"});
  Report full = kVersionRequest;
  full[0] = 64;
  cases.push_back({"CountByte64", {full}, "outside 1..63"});

  cases.push_back({"PieceOver39Bytes",
                   {HeaderReport(100), Pieces(CommandFrame(SET_FIRMWARE_DATA, Bytes(100, 0)), 45)[0]},
                   "piece of 45"});

  cases.push_back(
      {"HeaderWith20Bytes", {MakeReport(CommandFrame(SET_FIRMWARE_HEADER, Bytes(20, 0)))}, "20 bytes, not 28"});
  cases.push_back({"UnknownCommand", {MakeReport(CommandFrame(0x09))}, "unknown firmware command 0x09"});
  cases.push_back({"MalformedOneByteMessage", {MakeReport({0x00, MSG_UPDATE_REQUEST, 0x01, 0x00, 0x05})}, "malformed"});
  cases.push_back({"NoMessageHeader", {MakeReport({0x01, MSG_FIRMWARE, 0x01, 0x00, 0x04})}, "message header"});
  return cases;
}

void PrintTo(const ViolationCase& c, std::ostream* out) { *out << c.name; }

class SimulatedControllerViolations : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(SimulatedControllerViolations, AreDetected) {
  SimulatedController controller;
  for (const Report& report : GetParam().reports) controller.WriteOutputReport(report);
  ASSERT_FALSE(controller.Violations().empty()) << "violation not detected";
  bool found = false;
  for (const std::string& violation : controller.Violations())
    found = found || violation.find(GetParam().expected) != std::string::npos;
  EXPECT_TRUE(found) << "first violation: " << controller.Violations().front();
}

INSTANTIATE_TEST_SUITE_P(HandMadeReports, SimulatedControllerViolations, ::testing::ValuesIn(ViolationCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedControllerViolationsControl, SoundReportsRaiseNone) {
  SimulatedController controller;
  controller.WriteOutputReport(kVersionRequest);
  controller.WriteOutputReport(kUpdateRequest);
  controller.WriteOutputReport(HeaderReport(33));
  controller.WriteOutputReport(DataReport(Bytes(32, 0)));
  controller.WriteOutputReport(DataReport(Bytes(1, 0)));
  controller.WriteOutputReport(MakeReport(CommandFrame(SET_FIRMWARE_DATA)));  // an empty data command
  controller.WriteOutputReport(kCompletion);
  EXPECT_TRUE(controller.Violations().empty()) << controller.Violations().front();
}

// ---- Faults --------------------------------------------------------------

class SimulatedControllerFailureEvents : public ::testing::TestWithParam<FaultKind> {
 protected:
  uint8_t Event() const { return GetParam() == FaultKind::Fail21 ? FIRMWARE_FAIL_21 : FIRMWARE_FAIL_24; }
  std::vector<uint8_t> Failure() const { return {0x00, MSG_FIRMWARE, 0x01, 0x00, Event()}; }
};

TEST_P(SimulatedControllerFailureEvents, ReplaceTheVersionReport) {
  SimulatedController controller(WithFault(GetParam(), ControllerStep::Version));
  controller.WriteOutputReport(kVersionRequest);
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{Failure()});
  EXPECT_TRUE(controller.FaultFired());
}

TEST_P(SimulatedControllerFailureEvents, ReplaceTheAckOfTheChosenChunkOnly) {
  SimulatedController controller(WithFault(GetParam(), ControllerStep::Chunk, 2));
  controller.WriteOutputReport(HeaderReport(96));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  controller.WriteOutputReport(DataReport(Bytes(32, 0)));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  EXPECT_FALSE(controller.FaultFired());
  controller.WriteOutputReport(DataReport(Bytes(32, 32)));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{Failure()});
  controller.WriteOutputReport(DataReport(Bytes(32, 64)));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck}) << "the fault fires once";
}

TEST_P(SimulatedControllerFailureEvents, RejectTheCompletionAndStayInBootMode) {
  SimulatedController controller(WithFault(GetParam(), ControllerStep::Completion));
  controller.WriteOutputReport(HeaderReport(1));
  controller.WriteOutputReport(DataReport({0x5A}));
  Drain(controller);
  controller.WriteOutputReport(kCompletion);
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{Failure()});
  EXPECT_EQ(controller.CompletionsReceived(), 0u);
  EXPECT_TRUE(controller.InBootMode());
}

INSTANTIATE_TEST_SUITE_P(Codes, SimulatedControllerFailureEvents,
                         ::testing::Values(FaultKind::Fail21, FaultKind::Fail24),
                         [](const auto& info) { return info.param == FaultKind::Fail21 ? "Fail21" : "Fail24"; });

TEST(SimulatedControllerFaults, SilenceTakesTheCommandThenAnswersNothingFromThereOn) {
  SimulatedController controller(WithFault(FaultKind::Silence, ControllerStep::Chunk, 2));
  controller.WriteOutputReport(HeaderReport(96));
  controller.WriteOutputReport(DataReport(Bytes(32, 0)));
  EXPECT_EQ(Drain(controller).size(), 2u);
  EXPECT_TRUE(controller.WriteOutputReport(DataReport(Bytes(32, 32))));
  EXPECT_FALSE(controller.HasInput());
  EXPECT_EQ(controller.DataCommandsReceived(), 2u) << "the command itself is taken in";
  EXPECT_TRUE(controller.WriteOutputReport(DataReport(Bytes(32, 64))));
  EXPECT_TRUE(controller.WriteOutputReport(kVersionRequest));
  EXPECT_FALSE(controller.HasInput()) << "silent for every later command";
  EXPECT_TRUE(controller.Attached());
}

TEST(SimulatedControllerFaults, UnplugTakesTheCommandThenVanishes) {
  SimulatedController controller(WithFault(FaultKind::Unplug, ControllerStep::Header));
  EXPECT_TRUE(controller.WriteOutputReport(HeaderReport(32)));
  EXPECT_TRUE(controller.HeaderReceived());
  EXPECT_FALSE(controller.HasInput());
  EXPECT_FALSE(controller.Attached());
  EXPECT_FALSE(controller.WriteOutputReport(DataReport(Bytes(32, 0))));
  EXPECT_FALSE(controller.WriteOutputReport(kVersionRequest));
  EXPECT_EQ(controller.DataCommandsReceived(), 0u);
}

TEST(SimulatedControllerFaults, WriteFailureLosesThatCommandOnlyAndTheControllerStays) {
  SimulatedController controller(WithFault(FaultKind::WriteFailure, ControllerStep::Chunk, 2));
  const std::vector<uint8_t> payload = Bytes(64, 9);
  controller.WriteOutputReport(HeaderReport(64));
  controller.WriteOutputReport(DataReport({payload.begin(), payload.begin() + 32}));
  Drain(controller);
  EXPECT_FALSE(controller.WriteOutputReport(DataReport({payload.begin() + 32, payload.end()})));
  EXPECT_FALSE(controller.HasInput());
  EXPECT_EQ(controller.DataCommandsReceived(), 1u) << "the failed command never arrived";
  EXPECT_TRUE(controller.Attached());
  EXPECT_TRUE(controller.WriteOutputReport(DataReport({payload.begin() + 32, payload.end()})));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
  EXPECT_TRUE(controller.ImageEquals(payload));
}

TEST(SimulatedControllerFaults, WriteFailureOfTheUpdateRequest) {
  SimulatedController controller(WithFault(FaultKind::WriteFailure, ControllerStep::Identity));
  EXPECT_TRUE(controller.WriteOutputReport(kVersionRequest)) << "another step's write goes through";
  Drain(controller);
  EXPECT_FALSE(controller.WriteOutputReport(kUpdateRequest));
  EXPECT_FALSE(controller.HasInput());
}

TEST(SimulatedControllerFaults, DuplicateAckAnswersTwiceOnce) {
  SimulatedController controller(WithFault(FaultKind::DuplicateAck, ControllerStep::Header));
  controller.WriteOutputReport(HeaderReport(64));
  EXPECT_EQ(Drain(controller), (std::vector<std::vector<uint8_t>>{kAck, kAck}));
  controller.WriteOutputReport(DataReport(Bytes(32, 0)));
  EXPECT_EQ(Drain(controller), std::vector<std::vector<uint8_t>>{kAck});
}

TEST(SimulatedControllerFaults, StrayReportsComeBeforeTheRealAnswer) {
  SimulatedController controller(WithFault(FaultKind::StrayReports, ControllerStep::Identity));
  controller.WriteOutputReport(kUpdateRequest);
  const auto messages = Drain(controller);
  ASSERT_GE(messages.size(), 4u);
  bool nop = false, unknownKind = false, notZero = false;
  for (std::size_t i = 0; i + 1 < messages.size(); ++i) {
    const std::vector<uint8_t>& m = messages[i];
    ASSERT_GE(m.size(), 2u);
    nop = nop || (m[0] == 0x00 && m[1] == MSG_NOP);
    unknownKind = unknownKind || (m[0] == 0x00 && m[1] != MSG_NOP && m[1] != MSG_FIRMWARE && m[1] != MSG_IDENTITY);
    notZero = notZero || m[0] != 0x00;
  }
  EXPECT_TRUE(nop);
  EXPECT_TRUE(unknownKind);
  EXPECT_TRUE(notZero);
  EXPECT_EQ(messages.back()[1], MSG_IDENTITY) << "the real answer comes last";
}

}  // namespace
