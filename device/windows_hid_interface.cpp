#include "windows_hid_interface.h"

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>

namespace hiddevice {

namespace {

// DEVPKEY_Device_LocationPaths, spelt out so that no GUID needs defining
// in this unit.
const DEVPROPKEY kLocationPaths = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 37};

// USB strings are at most 126 UTF-16 units; the system wants bytes.
constexpr ULONG kStringBytes = 127 * sizeof(wchar_t);
// The parents looked at for a location: the HID device's USB interface,
// then its USB device.
constexpr int kParentsAsked = 2;

std::string FirstLocationPath(HDEVINFO list, SP_DEVINFO_DATA& device) {
  DEVPROPTYPE type = 0;
  wchar_t paths[512] = {};
  if (!SetupDiGetDevicePropertyW(list, &device, &kLocationPaths, &type, reinterpret_cast<BYTE*>(paths),
                                 sizeof paths - sizeof(wchar_t), nullptr, 0) ||
      type != DEVPROP_TYPE_STRING_LIST)
    return std::string();
  return Utf8(paths);  // the first of the list
}

std::string LocationInformation(HDEVINFO list, SP_DEVINFO_DATA& device) {
  wchar_t text[256] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(list, &device, SPDRP_LOCATION_INFORMATION, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - sizeof(wchar_t), nullptr) ||
      type != REG_SZ)
    return std::string();
  return Utf8(text);
}

// The device's own location paths, else its parents', else its location
// information.
std::string PortOf(HDEVINFO list, SP_DEVINFO_DATA& device) {
  std::string port = FirstLocationPath(list, device);
  DEVINST node = device.DevInst;
  for (int i = 0; port.empty() && i < kParentsAsked; ++i) {
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
      break;
    node = parent;
    const HDEVINFO parents = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (parents == INVALID_HANDLE_VALUE) break;
    SP_DEVINFO_DATA parentData{};
    parentData.cbSize = sizeof parentData;
    if (SetupDiOpenDeviceInfoW(parents, id, nullptr, 0, &parentData)) port = FirstLocationPath(parents, parentData);
    SetupDiDestroyDeviceInfoList(parents);
  }
  if (port.empty()) port = LocationInformation(list, device);
  return port;
}

}  // namespace

std::vector<HidInterfaceEntry> ListHidInterfaces() {
  std::vector<HidInterfaceEntry> entries;
  GUID hidClass;
  HidD_GetHidGuid(&hidClass);
  const HDEVINFO list = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) return entries;
  std::vector<BYTE> buffer;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hidClass, index, &interfaceData)) break;
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    buffer.assign(required, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(list, &interfaceData, detail, required, nullptr, &device)) continue;
    entries.push_back(HidInterfaceEntry{detail->DevicePath, PortOf(list, device)});
  }
  SetupDiDestroyDeviceInfoList(list);
  return entries;
}

HANDLE OpenHidInterface(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr);
}

std::optional<HidAttributes> ReadAttributes(HANDLE device) {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (!HidD_GetAttributes(device, &attributes)) return std::nullopt;
  return HidAttributes{attributes.VendorID, attributes.ProductID};
}

std::string ProductString(HANDLE device) {
  wchar_t text[kStringBytes / sizeof(wchar_t) + 1] = {};
  if (!HidD_GetProductString(device, text, kStringBytes)) return std::string();
  return Utf8(text);
}

std::string SerialString(HANDLE device) {
  wchar_t text[kStringBytes / sizeof(wchar_t) + 1] = {};
  if (!HidD_GetSerialNumberString(device, text, kStringBytes)) return std::string();
  return Utf8(text);
}

std::optional<HidReportLengths> ReadReportLengths(HANDLE device) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(device, &preparsed)) return std::nullopt;
  HIDP_CAPS caps{};
  const bool read = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  HidD_FreePreparsedData(preparsed);
  if (!read) return std::nullopt;
  return HidReportLengths{caps.UsagePage, caps.InputReportByteLength, caps.OutputReportByteLength};
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace hiddevice
