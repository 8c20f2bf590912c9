// update.exe as the tests see it: loaded as data, its resources read back
// in the system's own layouts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The built program: update.exe in the folder above this test's own.
std::wstring UpdateExePath();

// update.exe mapped as a resource image (nothing of it runs). Fails the
// test when it cannot be loaded.
class ProgramImage {
 public:
  ProgramImage();
  ~ProgramImage();
  ProgramImage(const ProgramImage&) = delete;
  ProgramImage& operator=(const ProgramImage&) = delete;

  HMODULE Module() const { return module_; }
  // The bytes of one resource in one language; empty when it is missing.
  std::vector<std::uint8_t> Resource(LPCWSTR type, LPCWSTR name, LANGID language) const;
  // Every language one resource is held in.
  std::vector<LANGID> Languages(LPCWSTR type, LPCWSTR name) const;
  // Every integer name of one resource type (string names are reported as 0).
  std::vector<WORD> Names(LPCWSTR type) const;
  // Every resource type, integer types only (string types as 0).
  std::vector<WORD> Types() const;

 private:
  HMODULE module_ = nullptr;
};

struct DialogItemTemplate {
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  WORD classAtom = 0;      // predefined class, or 0 when named
  std::wstring className;  // named class
  std::wstring text;
  WORD extraCount = 0;
};

struct DialogTemplateEx {
  WORD version = 0;
  WORD signature = 0;
  DWORD helpId = 0;
  DWORD exStyle = 0;
  DWORD style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::wstring menu;
  std::wstring windowClass;
  std::wstring title;
  WORD pointSize = 0;
  WORD weight = 0;
  BYTE italic = 0;
  BYTE charset = 0;
  std::wstring typeface;
  std::vector<DialogItemTemplate> items;
};

// Parses an extended dialog template; reading past its end fails the test.
DialogTemplateEx ParseDialogTemplateEx(const std::vector<std::uint8_t>& bytes);

// The 16 counted strings of one string-table block.
std::vector<std::wstring> ParseStringBlock(const std::vector<std::uint8_t>& bytes);

std::wstring Widen(const std::string& utf8);
