// The program's own CHid against emulated controllers through Wine's own HID
// stack (hid.dll, setupapi.dll, hidclass.sys and winebus.sys over hidraw
// nodes): each case plugs in the controllers it needs through the emulator's
// control channel and waits until the system lists them.
// windows.h first: dbt.h depends on it.
// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "driver/hid_interfaces.h"
#include "hid.h"
#include "test_controller.h"

extern "C" {
#include <hidsdi.h>
}

namespace {

constexpr uint16_t kVendorA = 0x0483;
constexpr uint16_t kVendorB = 0x2DC8;
constexpr uint16_t kBootProduct = 0x5750;
constexpr uint16_t kApplicationProduct = 0x5751;
constexpr DWORD kListedWithinMs = 10000;

double MillisecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

uint16_t VendorOf(HANDLE device) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  return HidD_GetAttributes(device, &attributes) ? attributes.VendorID : 0;
}

template <typename Condition>
bool WaitFor(Condition condition, DWORD ms) {
  const ULONGLONG until = GetTickCount64() + ms;
  while (!condition()) {
    if (GetTickCount64() > until) return condition();
    Sleep(15);
  }
  return true;
}

ControllerConfig Identity(uint16_t vendorId, uint16_t productId) {
  ControllerConfig config;
  config.vendorId = vendorId;
  config.productId = productId;
  return config;
}

// A controller plugged in and listed by the system. Wine's device service
// opens a node as soon as it hears of it; one it did not hear of (plugged in
// while the service was still starting) is plugged in again. Going out of
// scope it is unplugged and waited for until no longer listed, one
// controller at a time: three unplugged at once while other Wine sessions
// ran left the device service listing no controller plugged in after them.
class ListedController : public TestController {
 public:
  ListedController(uint16_t vendorId, uint16_t productId)
      : TestController(Identity(vendorId, productId)), vendorId_(vendorId), productId_(productId) {
    for (int attempt = 0; attempt < 3 && !listed_; ++attempt) {
      if (attempt > 0) Unplug();
      if (!Plug()) return;
      const std::size_t before = HidInterfaces(vendorId_, productId_).size();
      listed_ = WaitFor([&] { return StatusField("open") > 0; }, 5000) &&
                WaitFor([&] { return HidInterfaces(vendorId_, productId_).size() > before; }, kListedWithinMs);
    }
  }
  ~ListedController() {
    if (listed_) Remove();
  }
  bool Listed() const { return listed_; }
  // Unplugged, and no longer listed.
  bool Remove() {
    Unplug();
    listed_ = false;
    return WaitFor([&] { return HidInterfaces(vendorId_, productId_).empty(); }, kListedWithinMs);
  }

 private:
  uint16_t vendorId_;
  uint16_t productId_;
  bool listed_ = false;
};

TEST(CHidSearch, TheFirstAcceptedControllerInEnumerationOrderWinsWhateverItsVendor) {
  for (const bool vendorAFirst : {true, false}) {
    SCOPED_TRACE(vendorAFirst ? "0x0483 plugged in first" : "0x2DC8 plugged in first");
    ListedController a(vendorAFirst ? kVendorA : kVendorB, kBootProduct);
    ListedController b(vendorAFirst ? kVendorB : kVendorA, kBootProduct);
    ASSERT_TRUE(a.Listed() && b.Listed());
    const std::vector<std::wstring> listed = ControllerInterfaces();
    ASSERT_EQ(listed.size(), 2u);

    CHid hid;
    HANDLE device = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(hid.FindDevice(device));
    EXPECT_EQ(hid.m_DevicePath, listed.front());
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << "the caller gets the open handle";
    const uint16_t vendor = VendorOf(device);
    EXPECT_TRUE(vendor == kVendorA || vendor == kVendorB) << vendor;
    EXPECT_EQ(HidInterfaces(vendor, kBootProduct).front(), listed.front());
    CloseHandle(device);
    EXPECT_TRUE(a.Remove() && b.Remove());
  }
}

TEST(CHidSearch, OnlyTheBootProductIsAcceptedWithEitherVendor) {
  ListedController application(kVendorA, kApplicationProduct);
  ListedController otherVendor(0x1234, kBootProduct);
  ASSERT_TRUE(application.Listed() && otherVendor.Listed());
  {
    CHid hid;
    EXPECT_FALSE(hid.CheckDevice());
    EXPECT_FALSE(hid.m_bDevicePresent);
    EXPECT_TRUE(hid.m_DevicePath.empty());
  }
  ListedController controller(kVendorB, kBootProduct);
  ASSERT_TRUE(controller.Listed());
  CHid hid;
  EXPECT_TRUE(hid.CheckDevice());
  EXPECT_TRUE(hid.m_bDevicePresent);
  EXPECT_EQ(hid.m_DevicePath, HidInterfaces(kVendorB, kBootProduct).front());
}

TEST(CHidSearch, WithNoControllerLeftThePathOfTheLastOneIsKept) {
  CHid hid;
  ListedController controller(kVendorB, kBootProduct);
  ASSERT_TRUE(controller.Listed());
  ASSERT_TRUE(hid.CheckDevice());
  const std::wstring path = hid.m_DevicePath;
  ASSERT_TRUE(controller.Remove());
  EXPECT_FALSE(hid.CheckDevice());
  EXPECT_FALSE(hid.m_bDevicePresent);
  EXPECT_EQ(hid.m_DevicePath, path);
  EXPECT_FALSE(hid.Open()) << "the stale path opens nothing";
}

class WindowForNotices {
 public:
  // Message-only: it needs no display, and the system notifies it like any window.
  WindowForNotices() {
    window_ = CreateWindowExW(0, L"STATIC", L"notices", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  }
  ~WindowForNotices() {
    if (window_ != nullptr) DestroyWindow(window_);
  }
  HWND Get() const { return window_; }

 private:
  HWND window_;
};

HDEVNOTIFY RegisterForHid(HWND window) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

TEST(CHidNotification, RegistrationIsTriedOnceAtTheFirstCheckEvenWhenItFailed) {
  WindowForNotices window;
  ASSERT_NE(window.Get(), nullptr);
  const HDEVNOTIFY probe = RegisterForHid(window.Get());
  ASSERT_NE(probe, nullptr) << "a registration for this window succeeds";
  UnregisterDeviceNotification(probe);

  {
    CHid hid;
    hid.m_hOwnerWnd = window.Get();
    EXPECT_FALSE(hid.m_bNotifyRegistered);
    hid.CheckDevice();
    EXPECT_TRUE(hid.m_bNotifyRegistered);
    EXPECT_NE(hid.m_hDevNotify, nullptr);
    const HDEVNOTIFY registered = hid.m_hDevNotify;
    hid.CheckDevice();
    EXPECT_EQ(hid.m_hDevNotify, registered);
  }

  CHid hid;  // no owner window yet at the first check
  hid.CheckDevice();
  EXPECT_TRUE(hid.m_bNotifyRegistered);
  const HDEVNOTIFY first = hid.m_hDevNotify;
  hid.m_hOwnerWnd = window.Get();
  hid.CheckDevice();
  hid.CheckDevice();
  EXPECT_EQ(hid.m_hDevNotify, first) << "no second registration, though one would now succeed";
}

class CHidIo : public testing::Test {
 protected:
  CHidIo() : controller_(kVendorB, kBootProduct) {}
  void SetUp() override {
    ASSERT_TRUE(controller_.Listed());
    ASSERT_TRUE(hid_.CheckDevice());
  }

  ListedController controller_;
  CHid hid_;
  BYTE buffer_[64] = {};
};

TEST_F(CHidIo, BeforeOpenReadReturns128AndWriteSendsNothing) {
  EXPECT_EQ(hid_.Read(buffer_, 64), 128u);
  const BYTE request[] = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};
  EXPECT_FALSE(hid_.Write(request, sizeof request));
  Sleep(300);
  EXPECT_TRUE(controller_.Written().empty()) << "the controller received a report";
}

TEST_F(CHidIo, ReadWaitsOutTheReadTimeoutOf200MsAfterOpenAnd10MsDuringATransfer) {
  ASSERT_TRUE(hid_.Open());
  EXPECT_EQ(hid_.m_dwReadTimeout, 200u);
  LARGE_INTEGER start = Now();
  EXPECT_EQ(hid_.Read(buffer_, 64), static_cast<DWORD>(WAIT_TIMEOUT));
  double elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 195.0);
  EXPECT_LT(elapsed, 600.0);

  hid_.SetReadTimeout(10);
  start = Now();
  EXPECT_EQ(hid_.Read(buffer_, 64), static_cast<DWORD>(WAIT_TIMEOUT));
  elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 9.0);
  EXPECT_LT(elapsed, 150.0);

  // A report that comes after a cancelled read is still read whole.
  Report report{};
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(0x80 + i);
  controller_.SendReport(report);
  hid_.SetReadTimeout(1000);
  ASSERT_EQ(hid_.Read(buffer_, 64), 0u);
  EXPECT_TRUE(std::equal(report.begin(), report.end(), buffer_)) << "the 64 bytes after the report ID";
}

TEST_F(CHidIo, EveryWriteIsOneWholeReportWithReportIdZeroAndTheEarlierReportsTail) {
  ASSERT_TRUE(hid_.Open());
  BYTE full[64];
  for (int i = 0; i < 64; ++i) full[i] = static_cast<BYTE>(0x40 + i);
  const BYTE request[] = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};
  ASSERT_TRUE(hid_.Write(full, sizeof full));
  ASSERT_TRUE(hid_.Write(request, sizeof request));

  std::vector<Report> received;
  ASSERT_TRUE(WaitFor([&] { return (received = controller_.Written()).size() >= 2; }, 2000));
  EXPECT_EQ(controller_.StatusField("wire_violations"), 0u) << "a write that was not 65 bytes with report ID 0";
  EXPECT_TRUE(std::equal(full, full + 64, received[0].begin()));
  EXPECT_TRUE(std::equal(request, request + 6, received[1].begin()));
  EXPECT_TRUE(std::equal(full + 6, full + 64, received[1].begin() + 6)) << "bytes 7 to 64 keep the earlier report's";
}

// CHid gives a write up after one second. Through Wine's stack the write
// the controller does not take holds WriteFile itself until the kernel fails
// it (5 s): the bound the program keeps here is that failure.
TEST_F(CHidIo, AWriteTheControllerDoesNotTakeFailsAndSoDoesTheNext) {
  ASSERT_TRUE(hid_.Open());
  controller_.StopReading();
  const BYTE notice[] = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt == 0 ? "the first write" : "the next");
    const LARGE_INTEGER start = Now();
    EXPECT_FALSE(hid_.Write(notice, sizeof notice));
    const double elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 990.0);
    EXPECT_LT(elapsed, 7000.0);
  }
}

// This module's own import of CancelIo, which CHid (linked in) calls,
// swapped for a stand-in while an object of this class lives.
class CancelIoImport {
 public:
  using Function = BOOL(WINAPI*)(HANDLE);
  explicit CancelIoImport(Function replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name != 0; ++dll) {
      auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
      auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
      for (; name->u1.AddressOfData != 0; ++name, ++slot) {
        if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
        const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
        if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "CancelIo") == 0) slot_ = &slot->u1.Function;
      }
    }
    if (slot_ == nullptr) return;
    original_ = reinterpret_cast<Function>(*slot_);
    Put(reinterpret_cast<ULONG_PTR>(replacement));
  }
  ~CancelIoImport() {
    if (slot_ != nullptr) Put(reinterpret_cast<ULONG_PTR>(original_));
  }
  bool Patched() const { return slot_ != nullptr; }
  Function Original() const { return original_; }

 private:
  void Put(ULONG_PTR function) {
    DWORD was = 0;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
    *slot_ = function;
    VirtualProtect(slot_, sizeof *slot_, was, &was);
  }
  decltype(IMAGE_THUNK_DATA::u1.Function)* slot_ = nullptr;
  Function original_ = nullptr;
};

// A report that reaches the read just as its time-out has it cancelled.
struct CancelRace {
  TestController* device;
  CHid* hid;
  Report report;
  CancelIoImport::Function cancel;
};
CancelRace* g_cancelRace = nullptr;

BOOL WINAPI CancelIoAfterAReportCame(HANDLE file) {
  g_cancelRace->device->SendReport(g_cancelRace->report);
  WaitForSingleObject(g_cancelRace->hid->m_hReadEvent, 5000);  // the read has its report
  return g_cancelRace->cancel(file);
}

TEST_F(CHidIo, AReportThatCameAsTheReadWasCancelledIsHandedOnNotLost) {
  ASSERT_TRUE(hid_.Open());
  hid_.SetReadTimeout(10);
  CancelIoImport patch(&CancelIoAfterAReportCame);
  ASSERT_TRUE(patch.Patched()) << "this module imports CancelIo";
  Report report{};
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(0xC0 ^ i);
  CancelRace race{&controller_, &hid_, report, patch.Original()};
  g_cancelRace = &race;
  const DWORD status = hid_.Read(buffer_, 64);
  g_cancelRace = nullptr;
  ASSERT_EQ(status, 0u) << "the read that timed out completed with the report after all";
  EXPECT_TRUE(std::equal(report.begin(), report.end(), buffer_));
}

TEST_F(CHidIo, AfterTheControllerWentReadsFailAndItCannotBeOpened) {
  ASSERT_TRUE(hid_.Open());
  controller_.Unplug();
  const LARGE_INTEGER start = Now();
  const DWORD status = hid_.Read(buffer_, 64);
  EXPECT_NE(status, 0u);
  EXPECT_LT(MillisecondsSince(start), 1000.0);
  const BYTE request[] = {0x05, 0x00, 0x1A, 0x01, 0x00, 0x00};
  EXPECT_FALSE(hid_.Write(request, sizeof request));
  EXPECT_FALSE(hid_.Open());
  EXPECT_FALSE(hid_.CheckDevice());
}

}  // namespace
