// Stand-in hid.dll: the HID functions update.exe needs, over the simulated
// controller's named pipes. Every other export goes to the system's hid.dll.
#include <windows.h>

#include <cstddef>

#include "named_pipe_hid_protocol.h"
#include "system_forwarder.h"

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

namespace {

// GUID_DEVINTERFACE_HID
constexpr GUID kHidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Every simulated device has the controller's descriptor: one vendor
// collection, 64-byte reports without a report ID.
char g_controllerDescriptor;

}  // namespace

extern "C" void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
  if (hidGuid != nullptr) *hidGuid = kHidInterfaceGuid;
}

// The identifiers come from the name of the pipe behind the handle; a handle
// that is no simulated device has no HID attributes.
extern "C" BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  if (attributes == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  union {
    FILE_NAME_INFO info;
    unsigned char bytes[sizeof(FILE_NAME_INFO) + 1024 * sizeof(WCHAR)];
  } name;
  if (!GetFileInformationByHandleEx(device, FileNameInfo, &name, sizeof name)) return FALSE;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  if (!pipehid::ParseIdentity(name.info.FileName, name.info.FileNameLength / sizeof(WCHAR), vendorId, productId)) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = vendorId;
  attributes->ProductID = productId;
  attributes->VersionNumber = 0x0100;
  return TRUE;
}

extern "C" BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsed) {
  HIDD_ATTRIBUTES attributes{};
  if (preparsed == nullptr || !HidD_GetAttributes(device, &attributes)) return FALSE;
  *preparsed = reinterpret_cast<PHIDP_PREPARSED_DATA>(&g_controllerDescriptor);
  return TRUE;
}

extern "C" BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA) { return TRUE; }

extern "C" NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
  if (preparsed != reinterpret_cast<PHIDP_PREPARSED_DATA>(&g_controllerDescriptor)) return HIDP_STATUS_INVALID_PREPARSED_DATA;
  *caps = HIDP_CAPS{};
  caps->Usage = 0x01;
  caps->UsagePage = 0xFF00;
  caps->InputReportByteLength = 65;
  caps->OutputReportByteLength = 65;
  return HIDP_STATUS_SUCCESS;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    LoadSystemDll(instance, L"hid.dll");
  }
  return TRUE;
}
