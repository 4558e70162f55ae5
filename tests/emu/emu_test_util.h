// Helpers shared by the emulator's tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "aligned_buffer.h"

namespace norza::emu::test {

// A fresh directory under the system's temp folder, removed with everything
// in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("norza-emu-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.u8string(); }
  std::string file(const std::string& name) const {
    return (path_ / std::filesystem::u8path(name)).u8string();
  }

 private:
  std::filesystem::path path_;
};

// Deterministic bytes for a given seed.
inline std::vector<uint8_t> PatternBytes(std::size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

inline void WriteBinaryFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadBinaryFile(const std::string& path, int64_t offset,
                                           std::size_t length) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  std::vector<uint8_t> bytes(length);
  in.seekg(offset);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

inline std::string ReadTextFileOrEmpty(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A zero-filled buffer aligned as unbuffered disk I/O wants it, or a copy of
// bytes in one.
class AlignedBytes : public link::AlignedBuffer {
 public:
  explicit AlignedBytes(std::size_t size) : AlignedBuffer(size) {
    std::fill(data(), data() + size, 0);
  }
  explicit AlignedBytes(const std::vector<uint8_t>& bytes) : AlignedBuffer(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data());
  }
  std::vector<uint8_t> vector() const { return std::vector<uint8_t>(data(), data() + size()); }
};

}  // namespace norza::emu::test
