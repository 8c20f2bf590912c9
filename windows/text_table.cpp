#include "text_table.h"

#include "framework/win_app.h"
#include "res/resource.h"

namespace {

constexpr LANGID kChinesePrc = 0x0804;

}  // namespace

std::wstring LoadText(UINT textNumber) {
  if (textNumber >= TEXT_TABLE_SIZE) return std::wstring();
  const UINT first = GetUserDefaultUILanguage() == kChinesePrc ? IDS_TEXT_FIRST_CHINESE : IDS_TEXT_FIRST_ENGLISH;
  // With no buffer the system hands out the string where it lies, with its
  // length: nothing is cut at a NUL or trimmed.
  const wchar_t* text = nullptr;
  const int length = LoadStringW(AfxGetResourceHandle(), first + textNumber, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return std::wstring();
  return std::wstring(text, static_cast<std::size_t>(length));
}
