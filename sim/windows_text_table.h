// The Windows program's text table, for front-ends that stand in for it in
// simulation: text N (0..15) in English or Chinese, UTF-8.
#pragma once

#include <string>

enum class TextLanguage { English, Chinese };

std::string WindowsText(int id, TextLanguage language);
