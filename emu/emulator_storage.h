// Storage: the calculator's disk bytes, a fixed size, in memory or in a disk
// image file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace norza::emu {

// True when [offset, offset + length) lies inside [0, size); the calculator
// asks it too, to tell a transfer past the end from an I/O error.
bool InBounds(int64_t offset, std::size_t length, int64_t size);

class Storage {
 public:
  virtual ~Storage() = default;
  virtual int64_t Size() const = 0;
  // Whole transfers inside [0, Size()); false otherwise or on an I/O error.
  virtual bool Read(int64_t offset, void* out, std::size_t length) = 0;
  virtual bool Write(int64_t offset, const void* data, std::size_t length) = 0;
  virtual bool Flush() = 0;
};

class MemoryStorage : public Storage {
 public:
  explicit MemoryStorage(int64_t size);
  int64_t Size() const override;
  bool Read(int64_t offset, void* out, std::size_t length) override;
  bool Write(int64_t offset, const void* data, std::size_t length) override;
  bool Flush() override;

 private:
  std::vector<uint8_t> bytes_;
};

// A disk image file whose size is fixed when opened. I/O fails once the file
// has been deleted (the cable was pulled).
class FileStorage : public Storage {
 public:
  // nullptr when the file cannot be opened for reading and writing.
  static std::unique_ptr<FileStorage> Open(const std::string& utf8Path);
  int64_t Size() const override;
  bool Read(int64_t offset, void* out, std::size_t length) override;
  bool Write(int64_t offset, const void* data, std::size_t length) override;
  bool Flush() override;

 private:
  FileStorage(std::string path, int64_t size);
  bool Present() const;

  std::string path_;
  int64_t size_;
  std::fstream file_;
};

}  // namespace norza::emu
