// Stand-in setupapi.dll: lists the simulated controllers' announced devices
// as the present HID interfaces. Any other device set, and every other
// export, belongs to the system's setupapi.dll.
#include <windows.h>

#define _SETUPAPI_  // this module defines the functions below
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "named_pipe_hid_protocol.h"
#include "system_forwarder.h"

namespace {

constexpr GUID kHidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A snapshot of the announced devices, taken when the set is made, as the
// system's device sets are.
struct SimulatedDeviceSet {
  std::vector<std::wstring> paths;
};

SRWLOCK g_setsLock = SRWLOCK_INIT;
std::set<SimulatedDeviceSet*>* g_sets = nullptr;

bool IsOurs(HDEVINFO handle) {
  AcquireSRWLockShared(&g_setsLock);
  const bool ours = g_sets != nullptr && g_sets->count(static_cast<SimulatedDeviceSet*>(handle)) != 0;
  ReleaseSRWLockShared(&g_setsLock);
  return ours;
}

std::vector<std::wstring> AnnouncedDevicePaths() {
  std::vector<std::pair<std::wstring, std::wstring>> devices;  // name, path
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, pipehid::kAnnouncementKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (DWORD index = 0;; ++index) {
      wchar_t name[256];
      DWORD nameLength = 256;
      wchar_t path[1024];
      DWORD pathBytes = sizeof path - sizeof(wchar_t);
      DWORD type = 0;
      const LONG result =
          RegEnumValueW(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(path), &pathBytes);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS || type != REG_SZ) continue;
      path[pathBytes / sizeof(wchar_t)] = L'\0';
      devices.emplace_back(std::wstring(name, nameLength), std::wstring(path));
    }
    RegCloseKey(key);
  }
  std::sort(devices.begin(), devices.end());
  std::vector<std::wstring> paths;
  for (auto& device : devices)
    if (!device.second.empty()) paths.push_back(std::move(device.second));
  return paths;
}

template <typename Function>
Function System(const char* name) {
  return reinterpret_cast<Function>(SystemExport(name));
}

const std::wstring* PathOf(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
  const auto* devices = static_cast<SimulatedDeviceSet*>(set);
  if (data->Reserved == 0 || data->Reserved > devices->paths.size()) return nullptr;
  return &devices->paths[data->Reserved - 1];
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsW(CONST GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
  const bool hidInterfaces =
      classGuid != nullptr && IsEqualGUID(*classGuid, kHidInterfaceGuid) && (flags & DIGCF_DEVICEINTERFACE) != 0;
  if (!hidInterfaces) {
    using Function = HDEVINFO(WINAPI*)(CONST GUID*, PCWSTR, HWND, DWORD);
    const Function system = System<Function>("SetupDiGetClassDevsW");
    if (system == nullptr) {
      SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return INVALID_HANDLE_VALUE;
    }
    return system(classGuid, enumerator, parent, flags);
  }
  auto* devices = new SimulatedDeviceSet{AnnouncedDevicePaths()};
  AcquireSRWLockExclusive(&g_setsLock);
  if (g_sets == nullptr) g_sets = new std::set<SimulatedDeviceSet*>;
  g_sets->insert(devices);
  ReleaseSRWLockExclusive(&g_setsLock);
  return devices;
}

extern "C" WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo,
                                                      CONST GUID* interfaceClass, DWORD index,
                                                      PSP_DEVICE_INTERFACE_DATA data) {
  if (!IsOurs(set)) {
    using Function = WINBOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, CONST GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
    const Function system = System<Function>("SetupDiEnumDeviceInterfaces");
    if (system == nullptr) {
      SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return FALSE;
    }
    return system(set, deviceInfo, interfaceClass, index, data);
  }
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const auto* devices = static_cast<SimulatedDeviceSet*>(set);
  if (interfaceClass != nullptr && !IsEqualGUID(*interfaceClass, kHidInterfaceGuid)) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  if (index >= devices->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = kHidInterfaceGuid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;
  return TRUE;
}

extern "C" WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                                           PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
  if (!IsOurs(set)) {
    using Function = WINBOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD,
                                      PDWORD, PSP_DEVINFO_DATA);
    const Function system = System<Function>("SetupDiGetDeviceInterfaceDetailW");
    if (system == nullptr) {
      SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
      return FALSE;
    }
    return system(set, data, detail, size, requiredSize, deviceInfo);
  }
  const std::wstring* path = PathOf(set, data);
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (detail == nullptr && size != 0) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  const DWORD needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path->size() + 1) * sizeof(WCHAR));
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr || size < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (deviceInfo != nullptr) {
    if (deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    deviceInfo->ClassGuid = kHidInterfaceGuid;
    deviceInfo->DevInst = static_cast<DWORD>(data->Reserved);
    deviceInfo->Reserved = data->Reserved;
  }
  std::copy(path->begin(), path->end(), detail->DevicePath);
  detail->DevicePath[path->size()] = L'\0';
  return TRUE;
}

extern "C" WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  AcquireSRWLockExclusive(&g_setsLock);
  const bool ours = g_sets != nullptr && g_sets->erase(static_cast<SimulatedDeviceSet*>(set)) != 0;
  ReleaseSRWLockExclusive(&g_setsLock);
  if (ours) {
    delete static_cast<SimulatedDeviceSet*>(set);
    return TRUE;
  }
  using Function = WINBOOL(WINAPI*)(HDEVINFO);
  const Function system = System<Function>("SetupDiDestroyDeviceInfoList");
  if (system == nullptr) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  return system(set);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    LoadSystemDll(instance, L"setupapi.dll");
  }
  return TRUE;
}
