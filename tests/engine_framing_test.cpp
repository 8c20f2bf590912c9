// What goes on the wire: the bytes of every report the senders write, how
// data frames are cut into pieces, what is refused, and the statuses each
// platform hands back.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "engine_test_support.h"

namespace enginetest {
namespace {

Bytes Pattern(std::size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return bytes;
}

int32_t Len(const Bytes& bytes) { return static_cast<int32_t>(bytes.size()); }

// ---- Single-report vectors, the same on both platforms -------------------

struct SingleReportCase {
  const char* name;
  std::function<Status()> send;
  Bytes expected;      // counted bytes of the one report
  bool statusIsWrite;  // the write's status comes back (else: general error)
};

class EngineFramingVectors : public EnginePlatformFixture {};

TEST_P(EngineFramingVectors, EachSendWritesOneReportWithExactBytesAndZeroTail) {
  const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  const SingleReportCase cases[] = {
      {"version request",
       [] { return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0); },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x04},
       true},
      {"completion",
       [] { return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_COMPLETE, nullptr, 0); },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x02},
       true},
      {"update request",
       [] { return Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_UPDATE_REQUEST, 0); },
       {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00},
       true},
      {"read failed",
       [] { return Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_READ_FAILED, 0); },
       {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00},
       true},
      {"one-byte message carries its value",
       [] { return Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_FILE_ACCEPTED, 0x5A); },
       {0x05, 0x00, 0x1C, 0x01, 0x00, 0x5A},
       true},
      {"data length 0",
       [&] { return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, data, 0); },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x00},
       false},
      {"data length -1",
       [&] { return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, data, -1); },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x00},
       false},
      {"data length INT32_MIN",
       [&] {
         return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, data,
                                   std::numeric_limits<int32_t>::min());
       },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x00},
       false},
      {"command with empty data",
       [&] { return SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_COMPLETE, data, -5); },
       {0x05, 0x00, 0x16, 0x01, 0x00, 0x02},
       true},
  };
  for (const SingleReportCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ui().ClearRecords();
    const Status status = c.send();
    ASSERT_EQ(Ui().reports.size(), 1u);
    EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(c.expected));
    EXPECT_TRUE(TailIsZero(Ui().reports[0]));
    EXPECT_EQ(Ui().reportTargets[0], kTarget);
    EXPECT_TRUE(Ui().streams.empty());
    EXPECT_EQ(status, c.statusIsWrite ? WriteOk(CurrentPlatform()) : GeneralError(CurrentPlatform()));
  }
}

TEST_P(EngineFramingVectors, DataChunkOf32BytesIsOneReport) {
  const Bytes data = Pattern(32, 0x40);
  const Status status = SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, data.data(), Len(data));
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Hex(Counted(Ui().reports[0])), Hex(Join({0x27, 0x00, 0x16, 0x23, 0x00, 0x00, 0x20, 0x00}, data)));
  EXPECT_TRUE(TailIsZero(Ui().reports[0]));
  EXPECT_EQ(status, GeneralError(CurrentPlatform())) << "the split path reports the general error";
}

TEST_P(EngineFramingVectors, LastChunkOf5BytesThroughSendFirmwareDataPacket) {
  const Bytes data = {0x11, 0x22, 0x33, 0x44, 0x55};
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, data.data(), Len(data));
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Hex(Counted(Ui().reports[0])), "0C 00 16 08 00 00 05 00 11 22 33 44 55");
  EXPECT_TRUE(TailIsZero(Ui().reports[0]));
}

TEST_P(EngineFramingVectors, DataFrameOf128BytesGoesInFourPiecesThatContinueTheFrame) {
  const Bytes data = Pattern(128, 0x01);
  const Bytes frame = CommandFrame(SET_FIRMWARE_DATA, data);
  ASSERT_EQ(frame.size(), 135u);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, data.data(), Len(data));

  ASSERT_EQ(Ui().reports.size(), 4u);
  const std::size_t counts[] = {39, 39, 39, 18};
  std::size_t at = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Ui().reports[i][0], counts[i]);
    EXPECT_EQ(Hex(Counted(Ui().reports[i])), Hex(Join({static_cast<uint8_t>(counts[i])}, Slice(frame, at, counts[i]))));
    EXPECT_TRUE(TailIsZero(Ui().reports[i])) << "no bytes of the longer report before it";
    at += counts[i];
  }
  EXPECT_EQ(Hex(Slice(Counted(Ui().reports[0]), 1, 7)), "00 16 83 00 00 80 00");
}

TEST_P(EngineFramingVectors, LargestDataFrameOf1017BytesFillsTwentySevenPieces) {
  const Bytes data = Pattern(1017, 0x09);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, data.data(), Len(data));
  ASSERT_EQ(Ui().reports.size(), 27u);  // 1024 = 26 x 39 + 10
  Bytes joined;
  for (const ReportBytes& report : Ui().reports) joined = Join(joined, Slice(Counted(report), 1, kMaxReportMessage));
  EXPECT_EQ(Ui().reports.back()[0], 10);
  EXPECT_EQ(joined, CommandFrame(SET_FIRMWARE_DATA, data));
  EXPECT_EQ(Hex(Slice(joined, 0, 7)), "00 16 FC 03 00 F9 03");
}

TEST_P(EngineFramingVectors, HeaderReportCarriesTheWordsInFileOrderAndZeros) {
  // Leave stale bytes in the report buffer first: a full data piece of 0xFF.
  const Bytes ones(32, 0xFF);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, ones.data(), Len(ones));

  FirmwareTransfer transfer;
  std::fill(std::begin(transfer.buffer), std::end(transfer.buffer), 0xEE);
  transfer.fileVersion = 0x0003006E;  // 1.10 beta 3
  transfer.headerWord1 = 0x4B560001;
  transfer.payloadSize = 0x00012345;
  transfer.offset = 0x99;
  SendFirmwareHeader(kTarget, PACKET_TYPE_HID, transfer);

  ASSERT_EQ(Ui().reports.size(), 2u);
  const ReportBytes& header = Ui().reports[1];
  EXPECT_EQ(Hex(Counted(header)),
            "23 00 16 1F 00 01 1C 00 6E 00 03 00 01 00 56 4B 45 23 01 00 "
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Counted(header)), Hex(HeaderReport(0x0003006E, 0x4B560001, 0x00012345)));
  EXPECT_TRUE(TailIsZero(header));
}

TEST_P(EngineFramingVectors, ShortReportAfterLongerOneHasZeroTail) {
  const Bytes fill(128, 0xAB);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, fill.data(), Len(fill));
  SendFirmwarePacket(kTarget, PACKET_TYPE_HID, GET_FIRMWARE_VSION, nullptr, 0);
  Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_READ_FAILED, 0);
  const Bytes five = {1, 2, 3, 4, 5};
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, five.data(), Len(five));
  ASSERT_EQ(Ui().reports.size(), 7u);
  for (const ReportBytes& report : Ui().reports) EXPECT_TRUE(TailIsZero(report)) << Hex(Counted(report));
}

// ---- Refusals ----------------------------------------------------------------

struct RefusedCase {
  const char* name;
  uint8_t cmd;
  int32_t length;
  bool nullData;
};

TEST_P(EngineFramingVectors, OversizedFramesAreRefusedWithNothingWritten) {
  const Bytes data = Pattern(1100, 0x33);
  const RefusedCase cases[] = {
      {"data of 1018 bytes", SET_FIRMWARE_DATA, 1018, false},
      {"data of 65535 bytes", SET_FIRMWARE_DATA, 65535, false},
      {"data of INT32_MAX bytes", SET_FIRMWARE_DATA, std::numeric_limits<int32_t>::max(), false},
      {"header command of 1018 bytes", SET_FIRMWARE_HEADER, 1018, false},
      {"single-report frame of 64 bytes", SET_FIRMWARE_HEADER, 57, false},
      {"version request with 100 data bytes", GET_FIRMWARE_VSION, 100, false},
      {"completion with 57 data bytes", SET_FIRMWARE_COMPLETE, 57, false},
      {"data announced without bytes", SET_FIRMWARE_DATA, 32, true},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ui().ClearRecords();
    const Status status =
        SendFirmwarePacket(kTarget, PACKET_TYPE_HID, c.cmd, c.nullData ? nullptr : data.data(), c.length);
    EXPECT_EQ(status, GeneralError(CurrentPlatform()));
    EXPECT_TRUE(Ui().reports.empty());
    EXPECT_TRUE(Ui().streams.empty());
  }
}

TEST_P(EngineFramingVectors, SingleReportFrameOfExactly63BytesIsSent) {
  const Bytes data = Pattern(56, 0x10);
  const Status status = SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_HEADER, data.data(), Len(data));
  ASSERT_EQ(Ui().reports.size(), 1u);
  EXPECT_EQ(Ui().reports[0][0], 63);
  EXPECT_EQ(Counted(Ui().reports[0]), SingleReport(CommandFrame(SET_FIRMWARE_HEADER, data)));
  EXPECT_EQ(status, WriteOk(CurrentPlatform()));
}

TEST_P(EngineFramingVectors, UnknownPacketTypeWritesNothingAnywhere) {
  const Bytes data = Pattern(32, 0x20);
  FirmwareTransfer transfer;
  transfer.fileVersion = 110;
  transfer.headerWord1 = 1;
  transfer.payloadSize = 100;
  transfer.offset = 0;
  for (const uint8_t packetType : {uint8_t{0x00}, uint8_t{0x55}, uint8_t{0x96}, uint8_t{0xFF}}) {
    SCOPED_TRACE(static_cast<int>(packetType));
    EXPECT_EQ(SendFirmwarePacket(kTarget, packetType, GET_FIRMWARE_VSION, nullptr, 0), GeneralError(CurrentPlatform()));
    EXPECT_EQ(SendFirmwarePacket(kTarget, packetType, SET_FIRMWARE_DATA, data.data(), Len(data)),
              GeneralError(CurrentPlatform()));
    EXPECT_EQ(Rfcomm_DriverCmd(kTarget, packetType, MSG_UPDATE_REQUEST, 0), GeneralError(CurrentPlatform()));
    Send_FirmwareDataPacket(kTarget, packetType, data.data(), Len(data));
    SendFirmwareHeader(kTarget, packetType, transfer);
  }
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().streams.empty());
}

// ---- Failed writes -------------------------------------------------------------

class EngineFramingFailedPiece : public EngineFixture,
                                 public testing::WithParamInterface<std::tuple<Platform, std::size_t>> {
 protected:
  void SetUp() override { Start(std::get<0>(GetParam())); }
};

TEST_P(EngineFramingFailedPiece, FailedPieceEndsTheFrame) {
  const std::size_t failing = std::get<1>(GetParam());
  Ui().failingWrites = {failing};
  const Bytes data = Pattern(128, 0x61);
  const Status status = SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, data.data(), Len(data));
  EXPECT_EQ(Ui().reports.size(), failing + 1) << "no piece after the failed one, no retry";
  EXPECT_EQ(status, GeneralError(CurrentPlatform()));
  // The pieces that were written are the frame's start, in order.
  const Bytes frame = CommandFrame(SET_FIRMWARE_DATA, data);
  for (std::size_t i = 0; i < Ui().reports.size(); ++i)
    EXPECT_EQ(Slice(Counted(Ui().reports[i]), 1, 39), Slice(frame, 39 * i, 39));
}

INSTANTIATE_TEST_SUITE_P(EnginePieces, EngineFramingFailedPiece,
                         testing::Combine(testing::Values(Platform::Windows, Platform::Macos),
                                          testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{3})),
                         [](const testing::TestParamInfo<std::tuple<Platform, std::size_t>>& info) {
                           return PlatformName(std::get<0>(info.param)) + "_piece" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST_P(EngineFramingVectors, FailedSingleReportHandsBackTheWriteStatus) {
  Ui().failingWrites = {0, 1};
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_COMPLETE, nullptr, 0),
            WriteFailed(CurrentPlatform()));
  EXPECT_EQ(Rfcomm_DriverCmd(kTarget, PACKET_TYPE_HID, MSG_UPDATE_REQUEST, 0), WriteFailed(CurrentPlatform()));
  const Bytes chunk = Pattern(32, 0x05);
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_HID, SET_FIRMWARE_DATA, chunk.data(), Len(chunk)),
            GeneralError(CurrentPlatform()));
  EXPECT_EQ(Ui().reports.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(EnginePlatforms, EngineFramingVectors, testing::Values(Platform::Windows, Platform::Macos),
                         PlatformParamName());

// ---- RFCOMM ------------------------------------------------------------------

class EngineFramingRfcomm : public EngineFixture {};

TEST_F(EngineFramingRfcomm, MacosWritesNothingAndReturnsTheGeneralError) {
  Start(Platform::Macos);
  const Bytes data = Pattern(128, 0x02);
  FirmwareTransfer transfer;
  transfer.fileVersion = 110;
  transfer.headerWord1 = 1;
  transfer.payloadSize = 128;
  transfer.offset = 0;
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, GET_FIRMWARE_VSION, nullptr, 0), kMacosError);
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_DATA, data.data(), Len(data)), kMacosError);
  EXPECT_EQ(Rfcomm_DriverCmd(kTarget, PACKET_TYPE_RFCOMM, MSG_FILE_ACCEPTED, 0), kMacosError);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_RFCOMM, data.data(), Len(data));
  SendFirmwareHeader(kTarget, PACKET_TYPE_RFCOMM, transfer);
  EXPECT_TRUE(Ui().reports.empty());
  EXPECT_TRUE(Ui().streams.empty());
}

TEST_F(EngineFramingRfcomm, WindowsSendsEachMessageAsOneWholeStreamWrite) {
  Start(Platform::Windows);
  EXPECT_EQ(Rfcomm_DriverCmd(kTarget, PACKET_TYPE_RFCOMM, MSG_FILE_ACCEPTED, 0), 5);
  ASSERT_EQ(Ui().streams.size(), 1u);
  EXPECT_EQ(Hex(Ui().streams[0]), "00 1C 01 00 00");

  const Bytes data = Pattern(128, 0x03);
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_DATA, data.data(), Len(data)), 135);
  ASSERT_EQ(Ui().streams.size(), 2u);
  EXPECT_EQ(Ui().streams[1], CommandFrame(SET_FIRMWARE_DATA, data)) << "no count byte, no pieces";

  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_COMPLETE, nullptr, 0), 5);
  ASSERT_EQ(Ui().streams.size(), 3u);
  EXPECT_EQ(Hex(Ui().streams[2]), "00 16 01 00 02");

  FirmwareTransfer transfer;
  transfer.fileVersion = 0x0003006E;
  transfer.headerWord1 = 0x4B560001;
  transfer.payloadSize = 0x00012345;
  transfer.offset = 0;
  SendFirmwareHeader(kTarget, PACKET_TYPE_RFCOMM, transfer);
  ASSERT_EQ(Ui().streams.size(), 4u);
  EXPECT_EQ(Hex(Ui().streams[3]), Hex(Slice(HeaderReport(0x0003006E, 0x4B560001, 0x00012345), 1, 35)));

  const Bytes big = Pattern(1017, 0x04);
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_DATA, big.data(), Len(big)), 1024);
  ASSERT_EQ(Ui().streams.size(), 5u);
  EXPECT_EQ(Ui().streams[4].size(), 1024u);

  const Bytes tooBig = Pattern(1018, 0x04);
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_DATA, tooBig.data(), Len(tooBig)), -1);
  EXPECT_EQ(Ui().streams.size(), 5u);
  EXPECT_TRUE(Ui().reports.empty());
}

TEST_F(EngineFramingRfcomm, WindowsStreamFailureGivesMinusOne) {
  Start(Platform::Windows);
  Ui().streamStatus = -1;
  EXPECT_EQ(SendFirmwarePacket(kTarget, PACKET_TYPE_RFCOMM, SET_FIRMWARE_COMPLETE, nullptr, 0), -1);
  EXPECT_EQ(Rfcomm_DriverCmd(kTarget, PACKET_TYPE_RFCOMM, MSG_UPDATE_REQUEST, 0), -1);
  EXPECT_EQ(Ui().streams.size(), 2u);
  EXPECT_TRUE(Ui().reports.empty());
}

// ---- Traces ------------------------------------------------------------------

class LineSink final : public TraceSink {
 public:
  void Trace(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

bool AnyLineEndsWith(const std::vector<std::string>& lines, const std::string& tail) {
  for (const std::string& line : lines)
    if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) return true;
  return false;
}

TEST(EngineFramingTraces, PieceAndFailureTracesKeepTheirTexts) {
  LineSink sink;
  RecordingFrontEnd windows(Platform::Windows);
  EngineStartUp(EngineSetup{Platform::Windows, &windows, &sink});
  const Bytes data = Pattern(32, 0x01);
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, data.data(), Len(data));
  EXPECT_TRUE(AnyLineEndsWith(sink.lines, "WriteHid 39 btye sucessful\n"));

  sink.lines.clear();
  RecordingFrontEnd macos(Platform::Macos);
  macos.failingWrites = {0};
  EngineStartUp(EngineSetup{Platform::Macos, &macos, &sink});
  Send_FirmwareDataPacket(kTarget, PACKET_TYPE_HID, data.data(), Len(data));
  EXPECT_TRUE(AnyLineEndsWith(sink.lines, "packet_len : 39"));
  EXPECT_TRUE(AnyLineEndsWith(sink.lines, "::WriteHid error\n"));
  EXPECT_FALSE(AnyLineEndsWith(sink.lines, "sucessful\n"));
  EngineStartUp(EngineSetup{Platform::Windows, nullptr, nullptr});
}

}  // namespace
}  // namespace enginetest
