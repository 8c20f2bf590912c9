#include "program_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

class ByteReader {
 public:
  explicit ByteReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

  template <class T>
  T Read() {
    Need(sizeof(T));
    T value;
    std::memcpy(&value, bytes_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }

  std::wstring ReadString() {
    std::wstring text;
    for (WORD unit = Read<WORD>(); unit != 0; unit = Read<WORD>()) text.push_back(static_cast<wchar_t>(unit));
    return text;
  }

  // A name or an ordinal: 0 = none, 0xFFFF = ordinal, else a string.
  void ReadNameOrOrdinal(WORD& ordinal, std::wstring& name) {
    const WORD first = Read<WORD>();
    if (first == 0) return;
    if (first == 0xFFFF) {
      ordinal = Read<WORD>();
      return;
    }
    name.push_back(static_cast<wchar_t>(first));
    name += ReadString();
  }

  void AlignToDword() { offset_ = (offset_ + 3) & ~static_cast<std::size_t>(3); }
  void Skip(std::size_t count) {
    Need(count);
    offset_ += count;
  }

 private:
  void Need(std::size_t count) const {
    if (offset_ + count > bytes_.size()) throw std::out_of_range("read past the end of the resource");
  }

  const std::vector<std::uint8_t>& bytes_;
  std::size_t offset_ = 0;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  reinterpret_cast<std::vector<LANGID>*>(found)->push_back(language);
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) {
  reinterpret_cast<std::vector<WORD>*>(found)->push_back(
      IS_INTRESOURCE(name) ? static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)) : 0);
  return TRUE;
}

BOOL CALLBACK CollectType(HMODULE, LPWSTR type, LONG_PTR found) {
  reinterpret_cast<std::vector<WORD>*>(found)->push_back(
      IS_INTRESOURCE(type) ? static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type)) : 0);
  return TRUE;
}

}  // namespace

std::wstring UpdateExePath() {
  wchar_t own[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, own, static_cast<DWORD>(std::size(own)));
  std::wstring path(own, length);
  path.erase(path.find_last_of(L'\\'));  // the test's folder
  path.erase(path.find_last_of(L'\\'));  // its parent, where update.exe is built
  return path + L"\\update.exe";
}

ProgramImage::ProgramImage() {
  module_ = LoadLibraryExW(UpdateExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module_ == nullptr) ADD_FAILURE() << "update.exe could not be loaded as data, error " << GetLastError();
}

ProgramImage::~ProgramImage() {
  if (module_ != nullptr) FreeLibrary(module_);
}

std::vector<std::uint8_t> ProgramImage::Resource(LPCWSTR type, LPCWSTR name, LANGID language) const {
  if (module_ == nullptr) return {};
  const HRSRC found = FindResourceExW(module_, type, name, language);
  if (found == nullptr) return {};
  const HGLOBAL loaded = LoadResource(module_, found);
  const auto* bytes = static_cast<const std::uint8_t*>(LockResource(loaded));
  if (bytes == nullptr) return {};
  return std::vector<std::uint8_t>(bytes, bytes + SizeofResource(module_, found));
}

std::vector<LANGID> ProgramImage::Languages(LPCWSTR type, LPCWSTR name) const {
  std::vector<LANGID> languages;
  if (module_ != nullptr)
    EnumResourceLanguagesW(module_, type, name, &CollectLanguage, reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

std::vector<WORD> ProgramImage::Names(LPCWSTR type) const {
  std::vector<WORD> names;
  if (module_ != nullptr) EnumResourceNamesW(module_, type, &CollectName, reinterpret_cast<LONG_PTR>(&names));
  return names;
}

std::vector<WORD> ProgramImage::Types() const {
  std::vector<WORD> types;
  if (module_ != nullptr) EnumResourceTypesW(module_, &CollectType, reinterpret_cast<LONG_PTR>(&types));
  return types;
}

DialogTemplateEx ParseDialogTemplateEx(const std::vector<std::uint8_t>& bytes) {
  ByteReader reader(bytes);
  DialogTemplateEx dialog;
  dialog.version = reader.Read<WORD>();
  dialog.signature = reader.Read<WORD>();
  dialog.helpId = reader.Read<DWORD>();
  dialog.exStyle = reader.Read<DWORD>();
  dialog.style = reader.Read<DWORD>();
  const WORD itemCount = reader.Read<WORD>();
  dialog.x = reader.Read<short>();
  dialog.y = reader.Read<short>();
  dialog.cx = reader.Read<short>();
  dialog.cy = reader.Read<short>();
  WORD ordinal = 0;
  reader.ReadNameOrOrdinal(ordinal, dialog.menu);
  reader.ReadNameOrOrdinal(ordinal, dialog.windowClass);
  dialog.title = reader.ReadString();
  if (dialog.style & (DS_SETFONT | DS_SHELLFONT)) {
    dialog.pointSize = reader.Read<WORD>();
    dialog.weight = reader.Read<WORD>();
    dialog.italic = reader.Read<BYTE>();
    dialog.charset = reader.Read<BYTE>();
    dialog.typeface = reader.ReadString();
  }
  for (WORD i = 0; i < itemCount; ++i) {
    reader.AlignToDword();
    DialogItemTemplate item;
    item.helpId = reader.Read<DWORD>();
    item.exStyle = reader.Read<DWORD>();
    item.style = reader.Read<DWORD>();
    item.x = reader.Read<short>();
    item.y = reader.Read<short>();
    item.cx = reader.Read<short>();
    item.cy = reader.Read<short>();
    item.id = reader.Read<DWORD>();
    reader.ReadNameOrOrdinal(item.classAtom, item.className);
    WORD textOrdinal = 0;
    reader.ReadNameOrOrdinal(textOrdinal, item.text);
    item.extraCount = reader.Read<WORD>();
    reader.Skip(item.extraCount);
    dialog.items.push_back(item);
  }
  return dialog;
}

std::vector<std::wstring> ParseStringBlock(const std::vector<std::uint8_t>& bytes) {
  ByteReader reader(bytes);
  std::vector<std::wstring> strings;
  for (int i = 0; i < 16; ++i) {
    const WORD length = reader.Read<WORD>();
    std::wstring text;
    for (WORD unit = 0; unit < length; ++unit) text.push_back(static_cast<wchar_t>(reader.Read<WORD>()));
    strings.push_back(text);
  }
  return strings;
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}
