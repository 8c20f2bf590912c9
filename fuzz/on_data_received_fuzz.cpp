// Drives the engine through its entry points with arbitrary input reports and
// checks, on every report it writes and every thing it shows, the rules the
// updater must keep whatever the controller sends.
//
// Input layout:
//   byte 0      the user and the platform:
//                 bit 0     0 Windows, 1 macOS
//                 bits 1-3  file choice: 0 cancel, else one of the files below
//                 bit 4     0 the user confirms, 1 the user cancels
//   then records, each opened by a control byte c:
//                 c & 0x3F  n
//                 c >> 6    0: an input report of n message bytes follows (count byte n)
//                           1: the same, and the next report the engine writes fails
//                           2: no bytes follow; the clock moves on n * 500 ms
//                           3: no bytes follow; action n % 4: the update button,
//                              the answer to a pending confirmation, a controller
//                              attachment, or the next input report arrives on RFCOMM
// After each record the clock moves on 100 ms. At the end, a pending
// confirmation is answered and the clock runs 25 s on: no run may still be
// active then.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "engine.h"
#include "frontend.h"
#include "protocol.h"
#include "sample_firmware.h"
#include "windows_text_table.h"

namespace {

constexpr DeviceTarget kTarget = 0;
constexpr Status kMacosWriteError = static_cast<Status>(0xE00002BC);

#define CHECK(condition)                \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (0)

// Firmware files written once per process, picked by bits 1-3 of the first
// input byte (0: the user cancels the file choice).
struct FirmwareFiles {
  std::filesystem::path folder;
  std::filesystem::path paths[8];

  FirmwareFiles() {
    folder = std::filesystem::temp_directory_path() / ("korvid_fuzz_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    struct Made {
      std::size_t payload;
      int64_t announced;
      std::size_t cut;  // bytes kept from the file's start; 0 keeps all
    };
    const Made made[8] = {
        {0, -1, 0},     // unused: no file
        {100, -1, 0},   // chunks of 32, 32, 32, 4
        {64, -1, 0},    // two whole chunks
        {20, -1, 0},    // one short chunk, then an empty data command
        {32, -1, 0},    // one whole chunk, then an empty data command
        {100, 200, 0},  // fewer bytes than announced: refused
        {0, -1, 0},     // empty payload: refused
        {16, -1, 27},   // shorter than the header: refused
    };
    bool ok = true;
    for (std::size_t i = 1; i < 8; ++i) {
      SampleFirmware firmware;
      firmware.payload = MakeSamplePayload(made[i].payload, static_cast<uint32_t>(i));
      firmware.announcedSize = made[i].announced;
      std::vector<uint8_t> bytes = FirmwareFileBytes(firmware);
      if (made[i].cut != 0) bytes.resize(made[i].cut);
      paths[i] = folder / ("firmware_" + std::to_string(i) + ".dat");
      ok = WriteFirmwareFile(paths[i], bytes) && ok;
    }
    if (!ok) std::abort();
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(Files().folder, ignored);
    });
  }

  static const FirmwareFiles& Files();
};

const FirmwareFiles& FirmwareFiles::Files() {
  static const FirmwareFiles files;
  return files;
}

// What went over the wire, followed frame by frame.
struct WireState {
  bool headerWritten = false;      // a header command went out since start-up
  uint32_t announced = 0;          // payloadSize of the last header command
  uint64_t dataSent = 0;           // payload bytes written in data commands since that header
  bool emptyDataSent = false;      // a data command without data went out since that header
  bool successShown = false;       // success was told for the transfer of that header
  bool runEnded = true;            // a failure was shown since that header
  std::size_t pieceBytesOwed = 0;  // the rest of a data frame split over several reports
  uint8_t pieceCommand = 0;
};

class RecordingFrontEnd final : public FrontEnd {
 public:
  RecordingFrontEnd(Platform platform, std::optional<std::filesystem::path> file, bool confirm)
      : platform_(platform), file_(std::move(file)), confirm_(confirm) {}

  // ---- Report and stream writers

  Status WriteReport(DeviceTarget, const uint8_t (&report)[kReportSize]) override {
    const std::size_t count = report[0];
    CHECK(count >= 1 && count <= kMaxReportMessage);
    for (std::size_t i = count + 1; i < kReportSize; ++i) CHECK(report[i] == 0);
    const bool ok = !TakeWriteFailure();
    if (wire_.pieceBytesOwed > 0) {
      // A later piece of a data frame: only data bytes.
      CHECK(count <= wire_.pieceBytesOwed);
      wire_.pieceBytesOwed -= count;
      if (!ok) NoteFailedCommand(wire_.pieceCommand);
      if (ok && wire_.pieceCommand == SET_FIRMWARE_DATA) wire_.dataSent += count;
      if (!ok) wire_.pieceBytesOwed = 0;
      return Written(ok);
    }
    Frame(report + 1, count, ok, /*stream=*/false);
    return Written(ok);
  }

  Status WriteStream(DeviceTarget, const uint8_t* bytes, std::size_t size) override {
    CHECK(size >= 5 && size <= kFrameBufferSize);
    const bool ok = !TakeWriteFailure();
    Frame(bytes, size, ok, /*stream=*/true);
    return ok ? static_cast<Status>(size) : -1;
  }

  // ---- User interface

  std::string LoadText(int id) override { return WindowsText(id, TextLanguage::English); }

  std::optional<std::filesystem::path> ChooseFirmwareFile(const FileChoiceRequest&) override { return file_; }

  ConfirmAnswer AskConfirmation(DeviceTarget, const ConfirmationRequest&) override {
    if (platform_ == Platform::Macos) {
      pending_ = true;
      return ConfirmAnswer::Pending;
    }
    return confirm_ ? ConfirmAnswer::Ok : ConfirmAnswer::Cancel;
  }

  void ShowDeviceVersion(std::string_view) override {}

  void ShowMessage(const UserMessage& message) override {
    if (message.text.find("upgraded") != std::string_view::npos) {
      SuccessShown();
    } else if (message.text.find("failure") != std::string_view::npos) {
      failureShownInCall_ = true;
      wire_.runEnded = true;
    }
  }

  void ShowProgress(uint32_t percent) override { CHECK(percent <= 100); }
  void EnableUpdateButton(ButtonRule) override {}
  void ShowUpgradedNotice() override { SuccessShown(); }

  // ---- Driving

  bool pending() const { return pending_; }
  bool TakeAnswer() {
    pending_ = false;
    return confirm_;
  }
  void FailNextWrite() { failNextWrite_ = true; }

  // Around every entry call.
  void BeginCall() {
    failureShownInCall_ = false;
    mustFailInCall_ = false;
    completionWrittenInCall_ = false;
    upgradedCountBefore_ = deviceUpgradedCount;
  }
  void EndCall() {
    // A header or data command that did not reach the controller ends the
    // run through the failure path within the same call.
    if (mustFailInCall_) {
      CHECK(failureShownInCall_);
      CHECK(m_updateComplete);
    }
    // macOS counts every success, also those whose alert is not shown again.
    if (platform_ == Platform::Macos) {
      CHECK(deviceUpgradedCount >= upgradedCountBefore_);
      CHECK(deviceUpgradedCount - upgradedCountBefore_ <= 1);
      if (deviceUpgradedCount > upgradedCountBefore_ && !successCheckedInCall_) SuccessShown();
    }
    successCheckedInCall_ = false;
  }

 private:
  Status Written(bool ok) const {
    if (platform_ == Platform::Macos) return ok ? 0 : kMacosWriteError;
    return ok ? 1 : 0;
  }

  bool TakeWriteFailure() {
    const bool fail = failNextWrite_;
    failNextWrite_ = false;
    return fail;
  }

  void NoteFailedCommand(uint8_t command) {
    if (command == SET_FIRMWARE_DATA || command == SET_FIRMWARE_HEADER) mustFailInCall_ = true;
  }

  // A whole message (HID: the first report of a frame).
  void Frame(const uint8_t* message, std::size_t size, bool ok, bool stream) {
    CHECK(size >= 5);
    CHECK(message[0] == 0x00);
    if (message[1] != MSG_FIRMWARE) {
      // The one-byte messages: update request, file accepted.
      CHECK(size == 5);
      CHECK(message[1] == MSG_UPDATE_REQUEST || message[1] == MSG_FILE_ACCEPTED);
      CHECK(ReadLe16(message + 2) == 1);
      return;
    }
    const uint8_t command = message[4];
    const std::size_t frameSize = ReadLe16(message + 2) + kMessageHeaderSize;
    if (size == 5) {
      CHECK(frameSize == 5);
      CHECK(command != SET_FIRMWARE_HEADER);
    } else {
      CHECK(size >= 7);
      const std::size_t n = ReadLe16(message + 5);
      CHECK(frameSize == n + 7);
      CHECK(n > 0 && n <= kMaxFrameData);
    }
    if (!ok) NoteFailedCommand(command);

    switch (command) {
      case SET_FIRMWARE_HEADER: {
        CHECK(frameSize == 7 + kFirmwareHeaderSize && size == frameSize);
        const uint8_t* header = message + 7;
        for (std::size_t i = 12; i < kFirmwareHeaderSize; ++i) CHECK(header[i] == 0);
        if (!ok) return;
        wire_.headerWritten = true;
        wire_.announced = ReadLe32(header + 8);
        CHECK(wire_.announced > 0);
        wire_.dataSent = 0;
        wire_.emptyDataSent = false;
        wire_.successShown = false;
        wire_.runEnded = false;
        return;
      }
      case SET_FIRMWARE_DATA: {
        // Data only inside a run that a header opened and nothing ended.
        CHECK(wire_.headerWritten && !wire_.runEnded);
        CHECK(!m_updateComplete);
        if (size == 5) {
          // A data command without data: only once the first chunk brought
          // the whole payload (the read at the payload's end returns
          // nothing), and only once per transfer.
          CHECK(wire_.dataSent >= wire_.announced);
          CHECK(!wire_.emptyDataSent);
          if (ok) wire_.emptyDataSent = true;
          return;
        }
        const std::size_t n = frameSize - 7;
        CHECK(n <= (stream ? kRfcommChunkSize : kHidChunkSize));
        std::size_t here = size - 7;
        if (!stream && frameSize > size) {
          CHECK(size == kMaxPieceSize);
          wire_.pieceBytesOwed = ok ? frameSize - size : 0;
          wire_.pieceCommand = command;
        } else {
          CHECK(size == frameSize);
          here = n;
        }
        if (ok) wire_.dataSent += here;
        // The files hold no bytes past their payload, so nothing more is sent.
        CHECK(wire_.dataSent <= wire_.announced);
        return;
      }
      case SET_FIRMWARE_COMPLETE:
        CHECK(size == 5);
        if (ok) completionWrittenInCall_ = true;
        return;
      case GET_FIRMWARE_VSION:
        CHECK(size == 5);
        return;
      default:
        CHECK(false);  // the engine sends no other command
    }
  }

  // Success is told only for a transfer whose whole payload went out after
  // its header, once, right after the completion command was written.
  void SuccessShown() {
    if (successCheckedInCall_) return;  // the box and the notice of one success
    successCheckedInCall_ = true;
    CHECK(wire_.headerWritten);
    CHECK(wire_.dataSent >= wire_.announced);
    CHECK(!wire_.successShown);
    CHECK(completionWrittenInCall_);
    wire_.successShown = true;
  }

  Platform platform_;
  std::optional<std::filesystem::path> file_;
  bool confirm_;
  bool pending_ = false;
  bool failNextWrite_ = false;
  WireState wire_;

  bool failureShownInCall_ = false;
  bool mustFailInCall_ = false;
  bool completionWrittenInCall_ = false;
  bool successCheckedInCall_ = false;
  int32_t upgradedCountBefore_ = 0;
};

class VirtualClock {
 public:
  void Advance(RecordingFrontEnd& frontEnd, uint64_t ms) {
    now_ += ms;
    frontEnd.BeginCall();
    WatchdogTick(now_);
    frontEnd.EndCall();
  }

 private:
  uint64_t now_ = 1000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const FirmwareFiles& files = FirmwareFiles::Files();
  if (size == 0) return 0;

  const uint8_t config = data[0];
  const Platform platform = (config & 0x01) != 0 ? Platform::Macos : Platform::Windows;
  std::optional<std::filesystem::path> file;
  const unsigned fileIndex = (config >> 1) & 0x07;
  if (fileIndex != 0) file = files.paths[fileIndex];
  const bool confirm = (config & 0x10) == 0;

  RecordingFrontEnd frontEnd(platform, file, confirm);
  VirtualClock clock;
  EngineStartUp(EngineSetup{platform, &frontEnd, nullptr});

  uint8_t nextPacketType = PACKET_TYPE_HID;
  std::size_t at = 1;
  while (at < size) {
    const uint8_t control = data[at++];
    const std::size_t n = control & 0x3F;
    const unsigned op = control >> 6;
    frontEnd.BeginCall();
    if (op <= 1) {
      uint8_t message[kMaxReportMessage] = {};
      const std::size_t take = n < size - at ? n : size - at;
      std::memcpy(message, data + at, take);
      at += take;
      if (op == 1) frontEnd.FailNextWrite();
      OnDataReceived(kTarget, nextPacketType, message, static_cast<uint16_t>(n));
      nextPacketType = PACKET_TYPE_HID;
    } else if (op == 2) {
      frontEnd.EndCall();
      clock.Advance(frontEnd, n * 500);
      continue;
    } else {
      switch (n % 4) {
        case 0:
          RequestFirmwareUpdate(kTarget, PACKET_TYPE_HID);
          break;
        case 1:
          if (frontEnd.pending()) ConfirmationEnded(kTarget, frontEnd.TakeAnswer());
          break;
        case 2:
          ControllerAttached();
          break;
        default:
          nextPacketType = PACKET_TYPE_RFCOMM;
          break;
      }
    }
    frontEnd.EndCall();
    clock.Advance(frontEnd, 100);
  }

  // The controller falls silent: whatever state the run is in, it ends.
  if (frontEnd.pending()) {
    frontEnd.BeginCall();
    ConfirmationEnded(kTarget, frontEnd.TakeAnswer());
    frontEnd.EndCall();
  }
  for (int tick = 0; tick < 250; ++tick) clock.Advance(frontEnd, 100);
  CHECK(m_updateComplete);
  return 0;
}
