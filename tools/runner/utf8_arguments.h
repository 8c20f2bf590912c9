// The command line as UTF-8 strings on every platform (Windows hands narrow
// argv over in the ANSI code page, which cannot hold every file name).
#pragma once

#include <string>
#include <vector>

std::vector<std::string> Utf8Arguments(int argc, char** argv);
