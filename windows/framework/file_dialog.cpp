#include "file_dialog.h"

#include <algorithm>

namespace {

// Room for the longest path the system accepts, not just MAX_PATH.
constexpr std::size_t kFileNameCapacity = 32768;

}  // namespace

std::wstring FilterToSystemForm(std::wstring_view filter) {
  if (filter.empty()) return std::wstring();
  std::wstring converted(filter);
  std::replace(converted.begin(), converted.end(), L'|', L'\0');
  // The list ends at the first empty entry: make sure there is one.
  while (converted.size() < 2 || converted[converted.size() - 1] != L'\0' || converted[converted.size() - 2] != L'\0')
    converted.push_back(L'\0');
  return converted;
}

CFileDialog::CFileDialog(BOOL openFileDialog, const wchar_t* defaultExtension, const wchar_t* fileName, DWORD flags,
                         const wchar_t* filter, HWND parent)
    : m_ofn{},
      m_bOpenFileDialog(openFileDialog),
      m_defaultExtension(defaultExtension != nullptr ? defaultExtension : L""),
      m_filter(FilterToSystemForm(filter != nullptr ? filter : L"")),
      m_fileName(kFileNameCapacity, L'\0') {
  if (fileName != nullptr) {
    const std::wstring_view initial(fileName);
    std::copy_n(initial.begin(), std::min(initial.size(), kFileNameCapacity - 1), m_fileName.begin());
  }
  m_ofn.lStructSize = sizeof m_ofn;
  m_ofn.hwndOwner = parent;
  m_ofn.lpstrFilter = m_filter.empty() ? nullptr : m_filter.c_str();
  m_ofn.nFilterIndex = 1;
  m_ofn.lpstrFile = m_fileName.data();
  m_ofn.nMaxFile = static_cast<DWORD>(m_fileName.size());
  m_ofn.lpstrDefExt = m_defaultExtension.empty() ? nullptr : m_defaultExtension.c_str();
  m_ofn.Flags = flags | OFN_EXPLORER;
}

INT_PTR CFileDialog::DoModal() {
  const BOOL chosen = m_bOpenFileDialog ? GetOpenFileNameW(&m_ofn) : GetSaveFileNameW(&m_ofn);
  return chosen ? IDOK : IDCANCEL;
}

std::wstring CFileDialog::GetPathName() const { return std::wstring(m_ofn.lpstrFile); }
