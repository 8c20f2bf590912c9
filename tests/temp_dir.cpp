#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <system_error>

#include "sample_firmware.h"

TempDir::TempDir() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "-" + info->name() : "korvid";
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  // The clock keeps two runs of the same test (say, two build folders) apart.
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() / ("korvid-" + name + "-" + std::to_string(stamp));
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::File(const std::string& name, const std::vector<uint8_t>& bytes) const {
  const std::filesystem::path file = path_ / name;
  EXPECT_TRUE(WriteFirmwareFile(file, bytes)) << file;
  return file;
}
