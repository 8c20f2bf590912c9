// The system's open-file (or save-file) dialog with a filter given in the
// "name|pattern|...||" form.
#pragma once

#include <windows.h>
// needs windows.h first
#include <commdlg.h>

#include <string>
#include <string_view>
#include <vector>

class CFileDialog {
 public:
  CFileDialog(BOOL openFileDialog, const wchar_t* defaultExtension = nullptr, const wchar_t* fileName = nullptr,
              DWORD flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT, const wchar_t* filter = nullptr,
              HWND parent = nullptr);
  CFileDialog(const CFileDialog&) = delete;
  CFileDialog& operator=(const CFileDialog&) = delete;

  // IDOK when the user chose a file, IDCANCEL otherwise (also when the
  // dialog could not be shown).
  INT_PTR DoModal();
  // The chosen file's full path.
  std::wstring GetPathName() const;

  OPENFILENAMEW m_ofn;

 private:
  BOOL m_bOpenFileDialog;
  std::wstring m_defaultExtension;
  std::wstring m_filter;
  std::vector<wchar_t> m_fileName;
};

// "Text files(*.txt)|*.txt|All(*.*)|*.*||" in the system's form: each "|"
// a NUL, the whole ending in two NULs even when the trailing "||" is missing.
// An empty filter gives an empty string (no filter).
std::wstring FilterToSystemForm(std::wstring_view filter);
