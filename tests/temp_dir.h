// A folder of its own for the running test, removed with the object.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }
  // Writes `bytes` to the file `name` in the folder; returns its path.
  std::filesystem::path File(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  std::filesystem::path path_;
};
