// update.exe as a file: a GUI program that imports the HID and device-setup
// functions by name (so stand-in DLLs beside it are what it loads) and needs
// no runtime DLL of the compiler's.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "program_image.h"

namespace {

std::vector<char> ReadWholeFile(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <class T>
T At(const std::vector<char>& bytes, std::size_t offset) {
  if (offset + sizeof(T) > bytes.size()) throw std::out_of_range("past the end of update.exe");
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

struct ProgramFile {
  WORD subsystem = 0;
  std::set<std::string> importedDlls;  // lower case
};

ProgramFile ReadProgramFile(const std::vector<char>& bytes) {
  ProgramFile file;
  const auto dos = At<IMAGE_DOS_HEADER>(bytes, 0);
  if (dos.e_magic != IMAGE_DOS_SIGNATURE) throw std::runtime_error("no DOS header");
  const auto nt = At<IMAGE_NT_HEADERS64>(bytes, static_cast<std::size_t>(dos.e_lfanew));
  if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
    throw std::runtime_error("not a 64-bit PE image");
  file.subsystem = nt.OptionalHeader.Subsystem;

  const std::size_t sections = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                               nt.FileHeader.SizeOfOptionalHeader;
  auto fileOffset = [&](DWORD rva) -> std::size_t {
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
      const auto section = At<IMAGE_SECTION_HEADER>(bytes, sections + i * sizeof(IMAGE_SECTION_HEADER));
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
        return rva - section.VirtualAddress + section.PointerToRawData;
    }
    throw std::runtime_error("address outside every section");
  };

  const DWORD importsRva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (std::size_t at = fileOffset(importsRva);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(bytes, at);
    if (descriptor.Name == 0) break;
    std::string name;
    for (std::size_t c = fileOffset(descriptor.Name); At<char>(bytes, c) != '\0'; ++c) name += At<char>(bytes, c);
    file.importedDlls.insert(Lower(name));
  }
  return file;
}

TEST(UpdateProgramFile, IsAGuiProgramThatLoadsTheSystemsHidAndSetupDlls) {
  const std::vector<char> bytes = ReadWholeFile(UpdateExePath());
  ASSERT_FALSE(bytes.empty()) << "update.exe not found";
  const ProgramFile file = ReadProgramFile(bytes);
  EXPECT_EQ(file.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
  for (const char* needed : {"hid.dll", "setupapi.dll", "user32.dll", "comctl32.dll", "comdlg32.dll"})
    EXPECT_EQ(file.importedDlls.count(needed), 1u) << needed << " is not imported";
  // Nothing of the compiler's own runtime: the one file runs wherever it is copied.
  for (const std::string& dll : file.importedDlls) {
    EXPECT_EQ(dll.find("libstdc++"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libgcc"), std::string::npos) << dll;
    EXPECT_EQ(dll.find("libwinpthread"), std::string::npos) << dll;
  }
}

}  // namespace
