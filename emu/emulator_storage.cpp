#include "emulator_storage.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace norza::emu {
namespace fs = std::filesystem;

bool InBounds(int64_t offset, std::size_t length, int64_t size) {
  return offset >= 0 && offset <= size &&
         static_cast<uint64_t>(length) <= static_cast<uint64_t>(size - offset);
}

MemoryStorage::MemoryStorage(int64_t size)
    : bytes_(static_cast<std::size_t>(std::max<int64_t>(size, 0))) {}

int64_t MemoryStorage::Size() const { return static_cast<int64_t>(bytes_.size()); }

bool MemoryStorage::Read(int64_t offset, void* out, std::size_t length) {
  if (!InBounds(offset, length, Size())) return false;
  if (length > 0) std::memcpy(out, bytes_.data() + offset, length);
  return true;
}

bool MemoryStorage::Write(int64_t offset, const void* data, std::size_t length) {
  if (!InBounds(offset, length, Size())) return false;
  if (length > 0) std::memcpy(bytes_.data() + offset, data, length);
  return true;
}

bool MemoryStorage::Flush() { return true; }

std::unique_ptr<FileStorage> FileStorage::Open(const std::string& utf8Path) {
  std::error_code ec;
  const auto size = fs::file_size(fs::u8path(utf8Path), ec);
  if (ec) return nullptr;
  std::unique_ptr<FileStorage> storage(new FileStorage(utf8Path, static_cast<int64_t>(size)));
  if (!storage->file_.is_open()) return nullptr;
  return storage;
}

FileStorage::FileStorage(std::string path, int64_t size)
    : path_(std::move(path)),
      size_(size),
      file_(fs::u8path(path_), std::ios::binary | std::ios::in | std::ios::out) {}

int64_t FileStorage::Size() const { return size_; }

bool FileStorage::Present() const {
  std::error_code ec;
  return fs::exists(fs::u8path(path_), ec);
}

bool FileStorage::Read(int64_t offset, void* out, std::size_t length) {
  if (!InBounds(offset, length, size_) || !Present()) return false;
  file_.clear();
  file_.seekg(offset);
  file_.read(static_cast<char*>(out), static_cast<std::streamsize>(length));
  if (static_cast<std::size_t>(file_.gcount()) != length) {
    // A sparse tail that a writer of another process cut short reads as zeros.
    std::memset(static_cast<char*>(out) + file_.gcount(), 0,
                length - static_cast<std::size_t>(file_.gcount()));
    file_.clear();
  }
  return !file_.bad();
}

bool FileStorage::Write(int64_t offset, const void* data, std::size_t length) {
  if (!InBounds(offset, length, size_) || !Present()) return false;
  file_.clear();
  file_.seekp(offset);
  file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
  return static_cast<bool>(file_);
}

bool FileStorage::Flush() {
  if (!Present()) return false;
  file_.clear();
  file_.flush();
  return static_cast<bool>(file_);
}

}  // namespace norza::emu
