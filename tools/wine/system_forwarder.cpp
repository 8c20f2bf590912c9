#include "system_forwarder.h"

#include <cstring>
#include <cwchar>

namespace {

HMODULE g_system = nullptr;

// Stands in for an export the system's DLL does not have. Every caller of a
// Windows API cleans its own stack on x64, so returning here is always safe.
extern "C" uintptr_t KorvidForwardMissing() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return 0;
}

}  // namespace

bool LoadSystemDll(HMODULE self, const wchar_t* fileName) {
  for (unsigned i = 0; i < korvid_forward_count; ++i)
    korvid_forward_table[i] = reinterpret_cast<void*>(&KorvidForwardMissing);

  wchar_t path[MAX_PATH];
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length + 1 + std::wcslen(fileName) >= MAX_PATH) return false;
  path[length] = L'\\';
  std::wcscpy(path + length + 1, fileName);
  HMODULE system = LoadLibraryW(path);
  if (system == nullptr || system == self) {
    OutputDebugStringW(L"stand-in: the system's DLL could not be loaded beside the stand-in\n");
    return false;
  }
  g_system = system;
  for (unsigned i = 0; i < korvid_forward_count; ++i) {
    FARPROC function = GetProcAddress(system, korvid_forward_names[i]);
    if (function != nullptr) korvid_forward_table[i] = reinterpret_cast<void*>(function);
  }
  return true;
}

void* SystemExport(const char* name) {
  if (g_system == nullptr) return nullptr;
  for (unsigned i = 0; i < korvid_forward_count; ++i)
    if (std::strcmp(korvid_forward_names[i], name) == 0)
      return korvid_forward_table[i] == reinterpret_cast<void*>(&KorvidForwardMissing) ? nullptr
                                                                                       : korvid_forward_table[i];
  return nullptr;
}
