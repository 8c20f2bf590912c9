// The program's texts, in Chinese for a Chinese (PRC) user interface and in
// English for every other language.
#pragma once

#include <windows.h>

#include <string>

enum TextNumber : UINT {
  kTextFileType = 3,
  kTextUpgraded = 4,
  kTextTitle = 6,
  kTextFailure = 7,
  kTextUpdateButton = 12,
  kTextInstructions = 14,
};

// Text N (0 to 15) of the table for the user's interface language, looked
// up afresh on every call; empty for a number outside the table or a missing
// string. Blanks and line breaks inside a text are kept.
std::wstring LoadText(UINT textNumber);
