// LoadText against update.exe's own string tables, in the language the
// process runs in. CTest runs this program once per user-interface language
// (Unix locale under Wine) and says which table it must see:
//   text_table_test --ui-language=0x0804 --texts=chinese
#include "text_table.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dialog_front_end.h"
#include "framework/win_app.h"
#include "program_image.h"
#include "res/resource.h"
#include "windows_text_table.h"

namespace {

LANGID g_expectedUiLanguage = 0;
TextLanguage g_expectedTexts = TextLanguage::English;

// The program's resources, as LoadText finds them, for one test.
class ProgramResources {
 public:
  ProgramResources() { AfxSetResourceHandle(image_.Module()); }
  ~ProgramResources() { AfxSetResourceHandle(nullptr); }
  bool Loaded() const { return image_.Module() != nullptr; }

 private:
  ProgramImage image_;
};

TEST(LoadText, ServesEveryTextOfTheUsersLanguageWhole) {
  ASSERT_EQ(GetUserDefaultUILanguage(), g_expectedUiLanguage) << "the test's locale was not set up";
  ProgramResources resources;
  ASSERT_TRUE(resources.Loaded());
  for (UINT n = 0; n < TEXT_TABLE_SIZE; ++n) {
    SCOPED_TRACE(testing::Message() << "text " << n);
    EXPECT_EQ(LoadText(n), Widen(WindowsText(static_cast<int>(n), g_expectedTexts)));
  }
}

TEST(LoadText, NumbersOutsideTheTableGiveNothing) {
  ProgramResources resources;
  ASSERT_TRUE(resources.Loaded());
  ASSERT_FALSE(LoadText(0).empty());
  // The two halves of the table lie 109 apart: no number may reach across.
  const UINT across = IDS_TEXT_FIRST_ENGLISH - IDS_TEXT_FIRST_CHINESE;
  for (UINT n : {UINT{TEXT_TABLE_SIZE}, across, across + 5, static_cast<UINT>(-1), 0u - across}) {
    EXPECT_EQ(LoadText(n), L"") << "text " << static_cast<int>(n);
  }
}

// What the engine is given: the same texts, in UTF-8, byte for byte.
TEST(LoadText, ReachesTheEngineInUtf8) {
  ProgramResources resources;
  ASSERT_TRUE(resources.Loaded());
  UpdateDlgFrontEnd frontEnd;
  for (int n = 0; n < TEXT_TABLE_SIZE; ++n) EXPECT_EQ(frontEnd.LoadText(n), WindowsText(n, g_expectedTexts)) << n;
  EXPECT_EQ(frontEnd.LoadText(-1), "");
  EXPECT_EQ(frontEnd.LoadText(TEXT_TABLE_SIZE), "");
}

bool ParseArguments(int argc, char** argv) {
  bool haveLanguage = false, haveTexts = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--ui-language=", 0) == 0) {
      g_expectedUiLanguage = static_cast<LANGID>(std::strtoul(argument.c_str() + 14, nullptr, 16));
      haveLanguage = true;
    } else if (argument == "--texts=chinese" || argument == "--texts=english") {
      g_expectedTexts = argument == "--texts=chinese" ? TextLanguage::Chinese : TextLanguage::English;
      haveTexts = true;
    }
  }
  return haveLanguage && haveTexts;
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!ParseArguments(argc, argv)) {
    std::fprintf(stderr, "usage: text_table_test --ui-language=0xNNNN --texts=chinese|english\n");
    return 2;
  }
  return RUN_ALL_TESTS();
}
