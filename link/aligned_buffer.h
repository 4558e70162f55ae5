// Heap buffers aligned for unbuffered disk I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "platform.h"

namespace norza::link {

// Owns size bytes aligned to platform::kIoAlignment. Allocation failure
// leaves it empty (data() == nullptr) instead of throwing.
class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  explicit AlignedBuffer(std::size_t size)
      : data_(static_cast<unsigned char*>(
            ::operator new(size, std::align_val_t(platform::kIoAlignment), std::nothrow))),
        size_(data_ != nullptr ? size : 0) {}
  ~AlignedBuffer() { Release(); }

  AlignedBuffer(AlignedBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  void Release() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t(platform::kIoAlignment));
    data_ = nullptr;
    size_ = 0;
  }

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// One 512-byte sector on the stack, aligned like AlignedBuffer, for the
// small transfers that must not allocate (command blocks, a partial sector).
class AlignedSector {
 public:
  AlignedSector() {
    auto address = reinterpret_cast<std::uintptr_t>(raw_);
    address =
        (address + platform::kIoAlignment - 1) & ~(std::uintptr_t{platform::kIoAlignment} - 1);
    sector_ = reinterpret_cast<unsigned char*>(address);
  }
  AlignedSector(const AlignedSector&) = delete;
  AlignedSector& operator=(const AlignedSector&) = delete;
  unsigned char* data() const { return sector_; }

 private:
  unsigned char raw_[platform::kSectorSize + platform::kIoAlignment];
  unsigned char* sector_;
};

}  // namespace norza::link
