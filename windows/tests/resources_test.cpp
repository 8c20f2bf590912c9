// What update.exe carries: dialog 102, the text table in both languages,
// icon 152, the version resource and the manifest, each in its language.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "program_image.h"
#include "res/resource.h"
#include "windows_text_table.h"

namespace {

constexpr LANGID kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
constexpr LANGID kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

WORD ResourceNumber(LPCWSTR integerResource) { return static_cast<WORD>(reinterpret_cast<ULONG_PTR>(integerResource)); }

struct ExpectedItem {
  DWORD id;
  WORD classAtom;
  const wchar_t* className;
  const wchar_t* text;
  DWORD style;
  short x, y, cx, cy;
};

const ExpectedItem kExpectedItems[] = {
    {1003, 0, L"msctls_progress32", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 7, 7, 192, 14},
    {1007, kButtonAtom, L"", L"USB_Update", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 7, 102, 192, 22},
    {0xFFFFFFFF, kStaticAtom, L"", L"Firmware upgraded!", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER, 49, 88, 85, 12},
    {1008, kStaticAtom, L"", L"\x9759\x6001", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 7, 25, 192, 55},
};

TEST(UpdateResources, DialogTemplateIsLaidOutAsDesigned) {
  ProgramImage image;
  const std::vector<std::uint8_t> bytes = image.Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_UPDATE_DIALOG), kChinesePrc);
  ASSERT_FALSE(bytes.empty()) << "dialog 102 in Chinese (PRC) is missing";
  const DialogTemplateEx dialog = ParseDialogTemplateEx(bytes);

  EXPECT_EQ(dialog.version, 1);
  EXPECT_EQ(dialog.signature, 0xFFFF) << "not an extended template";
  EXPECT_EQ(dialog.style,
            static_cast<DWORD>(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU));
  EXPECT_EQ(dialog.exStyle, static_cast<DWORD>(WS_EX_APPWINDOW));
  EXPECT_EQ(dialog.x, 0);
  EXPECT_EQ(dialog.y, 0);
  EXPECT_EQ(dialog.cx, 206);
  EXPECT_EQ(dialog.cy, 131);
  EXPECT_TRUE(dialog.menu.empty());
  EXPECT_TRUE(dialog.windowClass.empty());
  EXPECT_EQ(dialog.title, L"Korvid Tindro ");
  EXPECT_EQ(dialog.pointSize, 9);
  EXPECT_EQ(dialog.italic, 0);
  EXPECT_EQ(dialog.charset, DEFAULT_CHARSET);
  EXPECT_EQ(dialog.typeface, L"\x5B8B\x4F53");  // 宋体

  ASSERT_EQ(dialog.items.size(), std::size(kExpectedItems));
  for (std::size_t i = 0; i < dialog.items.size(); ++i) {
    const DialogItemTemplate& item = dialog.items[i];
    const ExpectedItem& expected = kExpectedItems[i];
    SCOPED_TRACE(testing::Message() << "control " << i << ", id " << static_cast<int>(expected.id));
    EXPECT_EQ(item.id, expected.id);
    EXPECT_EQ(item.classAtom, expected.classAtom);
    // windres stores a named class upper-cased; the system looks classes up
    // regardless of case, and so does this check.
    EXPECT_EQ(CompareStringOrdinal(item.className.c_str(), -1, expected.className, -1, TRUE), CSTR_EQUAL)
        << "class " << testing::PrintToString(item.className);
    EXPECT_EQ(item.text, expected.text);
    EXPECT_EQ(item.style, expected.style);
    EXPECT_EQ(item.exStyle, 0u);
    EXPECT_EQ(item.x, expected.x);
    EXPECT_EQ(item.y, expected.y);
    EXPECT_EQ(item.cx, expected.cx);
    EXPECT_EQ(item.cy, expected.cy);
    EXPECT_EQ(item.extraCount, 0);
  }
}

// Both halves of the table against the texts the simulated front-end uses,
// and nothing else in the string blocks they share.
TEST(UpdateResources, TextTableHoldsEachTextInBothLanguages) {
  ProgramImage image;
  struct Half {
    UINT first;
    TextLanguage language;
  };
  for (const Half half :
       {Half{IDS_TEXT_FIRST_CHINESE, TextLanguage::Chinese}, Half{IDS_TEXT_FIRST_ENGLISH, TextLanguage::English}}) {
    for (UINT id = half.first & ~15u; id < ((half.first + TEXT_TABLE_SIZE + 15) & ~15u); ++id) {
      SCOPED_TRACE(testing::Message() << "string " << id);
      const std::vector<std::uint8_t> block = image.Resource(RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), kChinesePrc);
      ASSERT_FALSE(block.empty()) << "string block missing in Chinese (PRC)";
      const std::wstring text = ParseStringBlock(block)[id % 16];
      const bool inTable = id >= half.first && id < half.first + TEXT_TABLE_SIZE;
      EXPECT_EQ(text, inTable ? Widen(WindowsText(static_cast<int>(id - half.first), half.language)) : L"");
    }
  }
}

TEST(UpdateResources, IconIsOne32By32ImageWithAlpha) {
  ProgramImage image;
  const std::vector<std::uint8_t> group = image.Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME), kChinesePrc);
  ASSERT_EQ(group.size(), 6u + 14u) << "icon group 152 must hold exactly one image";
  auto word = [&](std::size_t at) { return static_cast<WORD>(group[at] | group[at + 1] << 8); };
  EXPECT_EQ(word(0), 0);
  EXPECT_EQ(word(2), 1) << "not an icon group";
  ASSERT_EQ(word(4), 1);
  EXPECT_EQ(group[6], 32);
  EXPECT_EQ(group[7], 32);
  EXPECT_EQ(word(10), 1);   // planes
  EXPECT_EQ(word(12), 32);  // bits per pixel
  const DWORD declaredSize = group[14] | group[15] << 8 | group[16] << 16 | static_cast<DWORD>(group[17]) << 24;
  const WORD iconId = word(18);

  const std::vector<std::uint8_t> icon = image.Resource(RT_ICON, MAKEINTRESOURCEW(iconId), kChinesePrc);
  ASSERT_EQ(icon.size(), declaredSize);
  BITMAPINFOHEADER header;
  ASSERT_GE(icon.size(), sizeof header);
  std::memcpy(&header, icon.data(), sizeof header);
  EXPECT_EQ(header.biWidth, 32);
  EXPECT_EQ(header.biHeight, 64) << "colour and mask";
  EXPECT_EQ(header.biBitCount, 32);
  ASSERT_EQ(icon.size(), sizeof header + 32 * 32 * 4 + 32 * 4);

  std::set<int> alphas;
  for (std::size_t pixel = 0; pixel < 32 * 32; ++pixel) alphas.insert(icon[sizeof header + pixel * 4 + 3]);
  EXPECT_TRUE(alphas.count(0) && alphas.count(255) && alphas.size() > 2)
      << "expected transparent, opaque and blended pixels";

  HICON handle = CreateIconFromResourceEx(const_cast<PBYTE>(icon.data()), static_cast<DWORD>(icon.size()), TRUE,
                                          0x00030000, 32, 32, LR_DEFAULTCOLOR);
  EXPECT_NE(handle, nullptr) << "the system does not take the image as an icon";
  if (handle != nullptr) DestroyIcon(handle);
}

TEST(UpdateResources, VersionResourceNamesUpdate1001) {
  const std::wstring path = UpdateExePath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource";
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_EQ(length, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  WORD* translation = nullptr;
  ASSERT_TRUE(
      VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], kChinesePrc);
  EXPECT_EQ(translation[1], 1200);  // UTF-16

  auto value = [&](const wchar_t* name) {
    wchar_t* text = nullptr;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) || text == nullptr)
      return std::wstring(L"(missing)");
    return std::wstring(text);
  };
  EXPECT_EQ(value(L"InternalName"), L"update");
  EXPECT_EQ(value(L"FileVersion"), L"1.0.0.1");
  EXPECT_EQ(value(L"ProductVersion"), L"1.0.0.1");
}

TEST(UpdateResources, ManifestDeclaresNothingBeyondItsRoot) {
  ProgramImage image;
  const std::vector<std::uint8_t> bytes = image.Resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID, kEnglishUs);
  ASSERT_FALSE(bytes.empty()) << "no manifest 1 in English (US)";
  const std::string manifest(bytes.begin(), bytes.end());
  const std::size_t open = manifest.find("<assembly ");
  const std::size_t openEnd = manifest.find('>', open);
  const std::size_t close = manifest.find("</assembly>");
  ASSERT_NE(open, std::string::npos);
  ASSERT_NE(close, std::string::npos);
  EXPECT_NE(manifest.find("xmlns=\"urn:schemas-microsoft-com:asm.v1\"", open), std::string::npos);
  EXPECT_NE(manifest.find("manifestVersion=\"1.0\"", open), std::string::npos);
  const std::string inside = manifest.substr(openEnd + 1, close - openEnd - 1);
  EXPECT_EQ(inside.find_first_not_of(" \t\r\n"), std::string::npos) << "the root holds: " << inside;
  EXPECT_EQ(manifest.find('<', close + 1), std::string::npos) << "something follows the root";
}

// Each resource once, in Chinese (PRC), but the manifest; nothing else is there.
TEST(UpdateResources, EveryResourceIsThereOnceInItsLanguage) {
  ProgramImage image;
  std::vector<WORD> types = image.Types();
  std::sort(types.begin(), types.end());
  const std::vector<WORD> expectedTypes = {ResourceNumber(RT_ICON),    ResourceNumber(RT_DIALOG),
                                           ResourceNumber(RT_STRING),  ResourceNumber(RT_GROUP_ICON),
                                           ResourceNumber(RT_VERSION), ResourceNumber(RT_MANIFEST)};
  EXPECT_EQ(types, expectedTypes);

  struct Expected {
    WORD type;
    std::vector<WORD> names;
  };
  const Expected expected[] = {
      {ResourceNumber(RT_DIALOG), {IDD_UPDATE_DIALOG}},
      {ResourceNumber(RT_STRING), {9, 10, 15, 16}},
      {ResourceNumber(RT_GROUP_ICON), {IDR_MAINFRAME}},
      {ResourceNumber(RT_ICON), {1}},
      {ResourceNumber(RT_VERSION), {1}},
      {ResourceNumber(RT_MANIFEST), {1}},
  };
  for (const Expected& kind : expected) {
    std::vector<WORD> names = image.Names(MAKEINTRESOURCEW(kind.type));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, kind.names) << "resource type " << kind.type;
    for (WORD name : names) {
      const LANGID language = kind.type == ResourceNumber(RT_MANIFEST) ? kEnglishUs : kChinesePrc;
      EXPECT_EQ(image.Languages(MAKEINTRESOURCEW(kind.type), MAKEINTRESOURCEW(name)), std::vector<LANGID>{language})
          << "resource type " << kind.type << ", name " << name;
    }
  }
}

}  // namespace
