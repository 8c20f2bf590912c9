#include "named_pipe_link.h"

#include <algorithm>
#include <cstdio>

#include "named_pipe_hid_protocol.h"

namespace {

// Instances waiting for the next client handles: update.exe opens three in a
// burst (the search, then its write and read handles), and a client that
// finds none listening fails to open the device.
constexpr std::size_t kListeners = 6;
// WaitForMultipleObjects takes 64 handles; the control channel needs a few.
constexpr std::size_t kMaxInstances = 48;
constexpr DWORD kPipeBufferBytes = 65 * 16;

}  // namespace

bool AnnounceDevice(const std::wstring& name, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, pipehid::kAnnouncementKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG result = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                                     static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

void WithdrawDevice(const std::wstring& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, pipehid::kAnnouncementKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, name.c_str());
  RegCloseKey(key);
}

NamedPipeLink::NamedPipeLink(std::wstring name, DeviceChangeNotifier* notifier)
    : name_(std::move(name)), notifier_(notifier) {}

NamedPipeLink::~NamedPipeLink() {
  if (up_) {
    WithdrawDevice(name_);
    CloseAll();
  }
}

bool NamedPipeLink::AddListener(bool first) {
  auto instance = std::make_unique<OverlappedPipe>();
  if (!instance->Listen(path_, first, kPipeBufferBytes)) return false;
  instances_.push_back(std::move(instance));
  return true;
}

bool NamedPipeLink::Appear(const DeviceIdentity& identity) {
  if (up_) Vanish();
  path_ = pipehid::DevicePath(name_, identity.vendorId, identity.productId);
  reading_ = true;
  // The first instance claims the name: a second server of the same name
  // fails here instead of serving half the handles.
  if (!AddListener(true)) {
    std::fwprintf(stderr, L"korvid-sim-controller: cannot create the pipe %ls (error %lu)\n", path_.c_str(),
                  GetLastError());
    return false;
  }
  while (instances_.size() < kListeners && AddListener(false)) {
  }
  if (!AnnounceDevice(name_, path_)) {
    std::fwprintf(stderr, L"korvid-sim-controller: cannot announce the device in the registry\n");
    CloseAll();
    return false;
  }
  up_ = true;
  if (notifier_ != nullptr) notifier_->Arrived(path_);
  return true;
}

void NamedPipeLink::Vanish() {
  if (!up_) return;
  up_ = false;
  WithdrawDevice(name_);
  CloseAll();
  if (notifier_ != nullptr) notifier_->Removed(path_);
}

void NamedPipeLink::CloseAll() {
  for (auto& instance : instances_) {
    droppedByClosed_ += instance->Dropped();
    instance->Close();
  }
  instances_.clear();
}

// Handles opened since the last look become connected here, so that a
// report reaches every handle that was open when it was sent.
void NamedPipeLink::TakeNewConnections() {
  for (auto& instance : instances_)
    if (!instance->Connected() && instance->Poll() == OverlappedPipe::Progress::Connected && reading_)
      instance->StartRead();
}

// Nothing more is read: a client's writes fill its pipe (kPipeBufferBytes,
// which Wine keeps to as Windows does) and then wait.
void NamedPipeLink::StopReading() {
  reading_ = false;
  for (auto& instance : instances_) instance->CancelRead();
}

void NamedPipeLink::SendInput(const Report& report) {
  if (!up_) return;
  TakeNewConnections();
  uint8_t wire[pipehid::kWireReportBytes];
  wire[0] = 0;  // report ID
  std::copy(report.begin(), report.end(), wire + pipehid::kReportIdBytes);
  for (auto& instance : instances_)
    if (instance->Connected()) instance->Write(wire, sizeof wire);
}

void NamedPipeLink::AppendWaitHandles(std::vector<HANDLE>& handles) const {
  for (const auto& instance : instances_)
    if (instance->IsOpen()) handles.push_back(instance->Event());
}

void NamedPipeLink::Service(const OutputHandler& onOutput) {
  if (!up_) return;
  TakeNewConnections();
  for (std::size_t i = 0; i < instances_.size() && up_;) {
    OverlappedPipe& instance = *instances_[i];
    const OverlappedPipe::Progress progress = instance.Poll();
    if (progress == OverlappedPipe::Progress::Broken) {
      // The client closed its handle: that instance is done with.
      droppedByClosed_ += instance.Dropped();
      instance.Close();
      instances_.erase(instances_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (progress == OverlappedPipe::Progress::Connected) {
      if (reading_) instance.StartRead();
    } else if (progress == OverlappedPipe::Progress::Message && reading_) {
      if (instance.MessageSize() == pipehid::kWireReportBytes && instance.Message()[0] == 0) {
        Report report;
        std::copy(instance.Message() + pipehid::kReportIdBytes, instance.Message() + pipehid::kWireReportBytes,
                  report.begin());
        instance.StartRead();
        // The controller may answer, vanish or restart from inside.
        onOutput(report);
        if (!up_) return;
      } else {
        // A HID device takes only whole output reports with their report ID.
        ++ignoredWrites_;
        instance.StartRead();
      }
    }
    ++i;
  }
  std::size_t listening = 0;
  for (const auto& instance : instances_)
    if (!instance->Connected()) ++listening;
  while (up_ && listening < kListeners && instances_.size() < kMaxInstances && AddListener(false)) ++listening;
}

uint64_t NamedPipeLink::DroppedInputReports() const {
  uint64_t dropped = droppedByClosed_;
  for (const auto& instance : instances_) dropped += instance->Dropped();
  return dropped;
}
