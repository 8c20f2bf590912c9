#include "windows_hid_device_source.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <cwctype>

extern "C" {
#include <hidsdi.h>
}

namespace hiddevice {

namespace {

constexpr unsigned kWriteTimeoutMs = 1000;
// The controller's reports, without the report ID byte the system adds.
constexpr std::size_t kReportBytes = 64;
constexpr std::uint16_t kFirstVendorUsagePage = 0xFF00;
// Reports queued at one wake-up are read in one go, up to this many, so that
// one busy device cannot starve the loop.
constexpr int kReadsPerWakeUp = 16;
const wchar_t kNoticeWindowClass[] = L"KorvidDeviceNotices";

bool Listed(const std::vector<DeviceMatch>& list, std::uint16_t vendorId, std::uint16_t productId) {
  return std::any_of(list.begin(), list.end(), [&](const DeviceMatch& match) {
    return match.vendorId == vendorId && match.productId == productId;
  });
}

// One spelling of a path for the maps: the notices upper-case part of it.
std::wstring Key(const std::wstring& path) {
  std::wstring key = path;
  for (wchar_t& c : key) c = static_cast<wchar_t>(std::towlower(c));
  return key;
}

bool IsUpdateInterface(const HidReportLengths& lengths) {
  return lengths.usagePage >= kFirstVendorUsagePage && lengths.input == 1 + kReportBytes &&
         lengths.output == 1 + kReportBytes;
}

std::string OpenFailure(DWORD error) {
  if (error == ERROR_ACCESS_DENIED) return "permission denied";
  if (error == ERROR_SHARING_VIOLATION) return "held by another program";
  return "the system refused it (error " + std::to_string(error) + ")";
}

int AsWatched(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)); }

}  // namespace

WindowsHidDeviceSource::WindowsHidDeviceSource(EventLoop& loop, DeviceSourceClient& client,
                                               DeviceSelection selection)
    : loop_(loop), client_(client), selection_(std::move(selection)) {}

WindowsHidDeviceSource::~WindowsHidDeviceSource() {
  *alive_ = false;
  for (auto& entry : open_) {
    loop_.Unwatch(AsWatched(entry.second->readDone));
    CloseReader(*entry.second);
  }
  open_.clear();  // each writer closes its handle on its own thread
  if (notices_ != nullptr) UnregisterDeviceNotification(notices_);
  if (window_ != nullptr) DestroyWindow(window_);
}

void WindowsHidDeviceSource::Start() {
  if (started_) return;
  started_ = true;
  // Listening starts before the listing, so that nothing plugged in
  // between is missed; what both report is taken once.
  OpenNoticeWindow();
  std::weak_ptr<bool> alive = alive_;
  loop_.After(0, [this, alive] {
    if (alive.expired()) return;
    Scan();
    ScheduleRescan();
  });
}

void WindowsHidDeviceSource::OpenNoticeWindow() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = NoticeWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kNoticeWindowClass;
  RegisterClassExW(&windowClass);  // fails harmlessly once registered
  window_ = CreateWindowExW(0, kNoticeWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  if (window_ == nullptr) return;  // the listing every second still finds them
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  notices_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

LRESULT CALLBACK WindowsHidDeviceSource::NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    auto* source = reinterpret_cast<WindowsHidDeviceSource*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (source != nullptr) source->Noticed(wParam, lParam);
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void WindowsHidDeviceSource::Noticed(WPARAM event, LPARAM data) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
  const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
  std::wstring key;
  if (header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
    key = Key(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_name);
  // Told from the loop, after the system's send has returned.
  std::weak_ptr<bool> alive = alive_;
  const bool removed = event == DBT_DEVICEREMOVECOMPLETE;
  loop_.After(0, [this, alive, key, removed] {
    if (alive.expired()) return;
    if (removed && !key.empty()) Forget(key);
    Scan();
  });
}

void WindowsHidDeviceSource::ScheduleRescan() {
  std::weak_ptr<bool> alive = alive_;
  loop_.After(kRescanMs, [this, alive] {
    if (alive.expired()) return;
    Scan();
    ScheduleRescan();
  });
}

void WindowsHidDeviceSource::Scan() {
  std::set<std::wstring> present;
  for (const HidInterfaceEntry& entry : ListHidInterfaces()) {
    present.insert(Key(entry.path));
    Consider(entry);
  }
  std::vector<std::wstring> gone;
  for (const auto& watched : seen_)
    if (present.count(watched.first) == 0) gone.push_back(watched.first);
  for (const std::wstring& key : unavailable_)
    if (present.count(key) == 0) gone.push_back(key);
  for (const std::wstring& key : otherInterfaces_)
    if (present.count(key) == 0) gone.push_back(key);
  for (const std::wstring& key : gone) Forget(key);
}

void WindowsHidDeviceSource::Consider(const HidInterfaceEntry& entry) {
  const std::wstring key = Key(entry.path);
  if (seen_.count(key) || unavailable_.count(key) || otherInterfaces_.count(key)) return;
  for (const auto& device : open_)
    if (device.second->key == key) return;

  // Judged through a handle that may neither read nor write: opening the
  // system's keyboards and mice for that fails, and is not asked for.
  const HANDLE judged = OpenHidInterface(entry.path, 0);
  if (judged == INVALID_HANDLE_VALUE) return;  // not ready yet, or gone again: the next listing tells
  const std::optional<HidAttributes> attributes = ReadAttributes(judged);
  const std::optional<HidReportLengths> lengths = ReadReportLengths(judged);
  DeviceProperties properties;
  properties.path = Utf8(entry.path);
  properties.port = entry.port;
  if (attributes) {
    properties.vendorId = attributes->vendorId;
    properties.productId = attributes->productId;
    properties.product = ProductString(judged);
    properties.serial = SerialString(judged);
  }
  CloseHandle(judged);
  if (!attributes) return;

  if (Listed(selection_.open, attributes->vendorId, attributes->productId)) {
    if (!lengths || !IsUpdateInterface(*lengths) ||
        (!selection_.onlyPath.empty() && !SamePath(Wide(selection_.onlyPath), entry.path)) ||
        (!selection_.onlyPortPath.empty() && PortPath(properties) != selection_.onlyPortPath)) {
      otherInterfaces_.insert(key);
      return;
    }
    Open(key, entry, properties, *lengths);
  } else if (Listed(selection_.watch, attributes->vendorId, attributes->productId) ||
             Listed(selection_.watchUpdateInterface, attributes->vendorId, attributes->productId)) {
    if (Listed(selection_.watchUpdateInterface, attributes->vendorId, attributes->productId) &&
        (!lengths || !IsUpdateInterface(*lengths))) {
      otherInterfaces_.insert(key);
      return;
    }
    seen_[key] = properties;
    client_.DeviceSeen(properties);
  } else {
    otherInterfaces_.insert(key);
  }
}

void WindowsHidDeviceSource::Open(const std::wstring& key, const HidInterfaceEntry& entry,
                                  DeviceProperties properties, const HidReportLengths& lengths) {
  // A handle each way, so that the writer's thread and the loop's reads
  // never share one.
  const HANDLE reader = OpenHidInterface(entry.path, GENERIC_READ);
  const DWORD readerError = GetLastError();
  const HANDLE writer = reader == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenHidInterface(entry.path, GENERIC_WRITE);
  const DWORD writerError = GetLastError();
  const HANDLE readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (reader == INVALID_HANDLE_VALUE || writer == INVALID_HANDLE_VALUE || readDone == nullptr) {
    const DWORD error = reader == INVALID_HANDLE_VALUE ? readerError : writerError;
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    if (readDone != nullptr) CloseHandle(readDone);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_DEVICE_NOT_CONNECTED) return;  // gone again already
    unavailable_.insert(key);
    client_.DeviceUnavailable(properties, OpenFailure(error));
    return;
  }
  auto device = std::make_unique<OpenDevice>();
  device->key = key;
  device->reader = reader;
  device->readDone = readDone;
  device->input.assign(lengths.input, 0);
  device->outputBytes = lengths.output;
  device->writer = std::make_unique<ReportWriter>(writer);
  if (!StartRead(*device)) {
    CloseReader(*device);
    return;  // gone between the open and the read; its writer closes the other handle
  }
  const DeviceId id = nextId_++;
  loop_.Watch(AsWatched(readDone), [this, id] { OnReadDone(id); });
  open_[id] = std::move(device);
  client_.DeviceArrived(id, properties);
}

bool WindowsHidDeviceSource::StartRead(OpenDevice& device) {
  device.overlapped = OVERLAPPED{};
  device.overlapped.hEvent = device.readDone;
  // Completed at once or later, the event is set when the report is in.
  if (!ReadFile(device.reader, device.input.data(), static_cast<DWORD>(device.input.size()), nullptr,
                &device.overlapped) &&
      GetLastError() != ERROR_IO_PENDING)
    return false;
  device.reading = true;
  return true;
}

void WindowsHidDeviceSource::OnReadDone(DeviceId id) {
  for (int i = 0; i < kReadsPerWakeUp; ++i) {
    const auto found = open_.find(id);
    if (found == open_.end()) return;  // the client's answer removed it
    OpenDevice& device = *found->second;
    DWORD got = 0;
    if (!GetOverlappedResult(device.reader, &device.overlapped, &got, FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return;
      device.reading = false;
      // A removed device, or an error no read will get past.
      Remove(id);
      return;
    }
    device.reading = false;
    // The report ID byte first: the controller's reports are unnumbered.
    const std::vector<std::uint8_t> report(device.input.begin() + std::min<std::size_t>(got, 1),
                                           device.input.begin() + got);
    if (!StartRead(device)) {
      if (!report.empty()) client_.InputReport(id, report.data(), report.size());
      Remove(id);
      return;
    }
    if (!report.empty()) client_.InputReport(id, report.data(), report.size());
    const auto still = open_.find(id);
    if (still == open_.end() || WaitForSingleObject(still->second->readDone, 0) != WAIT_OBJECT_0) return;
  }
}

void WindowsHidDeviceSource::CloseReader(OpenDevice& device) {
  if (device.reading) {
    // The request owns the buffer and the OVERLAPPED until it has completed.
    CancelIo(device.reader);
    DWORD got = 0;
    GetOverlappedResult(device.reader, &device.overlapped, &got, TRUE);
    device.reading = false;
  }
  if (device.reader != INVALID_HANDLE_VALUE) CloseHandle(device.reader);
  device.reader = INVALID_HANDLE_VALUE;
  if (device.readDone != nullptr) CloseHandle(device.readDone);
  device.readDone = nullptr;
}

void WindowsHidDeviceSource::Remove(DeviceId id) {
  const auto found = open_.find(id);
  if (found == open_.end()) return;
  loop_.Unwatch(AsWatched(found->second->readDone));
  CloseReader(*found->second);
  open_.erase(found);  // its writer closes its handle once no write is in flight
  client_.DeviceRemoved(id);
}

void WindowsHidDeviceSource::Forget(const std::wstring& key) {
  unavailable_.erase(key);
  otherInterfaces_.erase(key);
  for (const auto& entry : open_) {
    if (entry.second->key == key) {
      Remove(entry.first);
      return;
    }
  }
  const auto seen = seen_.find(key);
  if (seen == seen_.end()) return;
  const DeviceProperties properties = seen->second;
  seen_.erase(seen);
  client_.DeviceUnseen(properties);
}

WriteResult WindowsHidDeviceSource::WriteReport(DeviceId id, const std::uint8_t* report, std::size_t length) {
  const auto found = open_.find(id);
  if (found == open_.end()) return WriteResult::Gone;
  // Report ID 0: the reports are unnumbered.
  std::vector<std::uint8_t> numbered(std::max<std::size_t>(found->second->outputBytes, 1), 0);
  std::memcpy(numbered.data() + 1, report, std::min(length, numbered.size() - 1));
  switch (found->second->writer->Write(numbered.data(), numbered.size(), kWriteTimeoutMs)) {
    case ReportWriter::Result::Written:
      return WriteResult::Written;
    case ReportWriter::Result::Gone: {
      // Told from the loop, never from inside the client's own call.
      std::weak_ptr<bool> alive = alive_;
      loop_.After(0, [this, alive, id] {
        if (!alive.expired()) Remove(id);
      });
      return WriteResult::Gone;
    }
    case ReportWriter::Result::Failed:
      break;
  }
  return WriteResult::Failed;
}

}  // namespace hiddevice
