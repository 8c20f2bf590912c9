// SHA-256 (FIPS 180-4), for the digest of a firmware file that a bench
// checks against the one it meant to flash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Add(const std::uint8_t* bytes, std::size_t size);
  // Lower-case hexadecimal; the object is spent afterwards.
  std::string Finish();

 private:
  void Block(const std::uint8_t* block);
  std::uint32_t state_[8];
  std::uint8_t pending_[64];
  std::size_t pendingSize_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of the file's bytes; nothing when it cannot be read whole.
std::optional<std::string> FileSha256(const std::filesystem::path& path);
