// The stand-in DLLs beside this test pass everything they do not serve to
// the system's own: device sets of other classes, exports they do not
// implement, handles that are no simulated device.
// windows.h first: setupapi.h depends on it.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on
#include <gtest/gtest.h>

extern "C" {
#include <hidsdi.h>
}

namespace {

// GUID_DEVINTERFACE_DISK
constexpr GUID kDiskInterfaces = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

TEST(StandInDlls, OtherDeviceSetsAndOtherExportsAreTheSystems) {
  const HDEVINFO disks = SetupDiGetClassDevsW(&kDiskInterfaces, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_NE(disks, INVALID_HANDLE_VALUE);
  // SetupDiEnumDeviceInfo is one of the forwarded exports: the system
  // answers, with a device or with the end of its list.
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!SetupDiEnumDeviceInfo(disks, 0, &device)) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  }
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(disks));

  ULONG buffers = 0;
  SetLastError(0);
  EXPECT_FALSE(HidD_GetNumInputBuffers(INVALID_HANDLE_VALUE, &buffers));
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << "the forwarded export is missing";
}

TEST(StandInDlls, AHandleThatIsNoSimulatedDeviceHasNoHidAttributes) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  EXPECT_FALSE(HidD_GetAttributes(file, &attributes));
  CloseHandle(file);
}

}  // namespace
