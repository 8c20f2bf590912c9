// The system's own DLL behind a stand-in: every export the stand-in does not
// serve itself jumps through korvid_forward_table, filled here at load time.
#pragma once

#include <windows.h>

extern "C" {
extern const char* const korvid_forward_names[];
extern const unsigned korvid_forward_count;
extern void* korvid_forward_table[];
}

// Loads the system folder's `fileName` (by its full path, so that the loader
// does not hand back the stand-in itself) and fills the table. Names the
// system's DLL lacks fail with ERROR_CALL_NOT_IMPLEMENTED when called.
bool LoadSystemDll(HMODULE self, const wchar_t* fileName);

// The system's own implementation of an export, for the stand-in's functions
// that pass on what they do not serve; null when the system's DLL lacks it.
void* SystemExport(const char* name);
