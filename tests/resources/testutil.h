// Helpers for the resource tests: in-memory package files with read counts,
// and hand-laid packages.
#pragma once

#include "lookup.h"
#include "package.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace norza::test {

// Files held in memory, read through the ReadRangeFn contract.
class MemoryFiles {
 public:
  void put(const std::u16string& name, std::vector<uint8_t> bytes) {
    files_[name] = std::move(bytes);
  }
  void remove(const std::u16string& name) { files_.erase(name); }
  std::vector<uint8_t>& at(const std::u16string& name) { return files_.at(name); }

  // Every call, also for missing files, is counted.
  int reads(const std::u16string& name) const {
    auto it = reads_.find(name);
    return it == reads_.end() ? 0 : it->second;
  }
  int totalReads() const {
    int n = 0;
    for (const auto& r : reads_) n += r.second;
    return n;
  }
  void resetCounts() { reads_.clear(); }

  ReadRangeFn reader() {
    return [this](const char16_t* name, ByteBuffer& out, int64_t begin, int64_t end) {
      out.reset();
      const std::u16string key(name);
      ++reads_[key];
      auto it = files_.find(key);
      if (it == files_.end() || begin < 0) return int64_t(0);
      const int64_t limit = std::min<int64_t>(end, int64_t(it->second.size()));
      if (begin >= limit) return int64_t(0);
      out.reset(new uint8_t[size_t(limit - begin)]);
      std::memcpy(out.get(), it->second.data() + begin, size_t(limit - begin));
      return limit - begin;
    };
  }

 private:
  std::map<std::u16string, std::vector<uint8_t>> files_;
  std::map<std::u16string, int> reads_;
};

// A package laid out by hand: header, then whatever the test places.
struct RawPackage {
  PackageHeader header;
  std::vector<uint8_t> bytes;

  RawPackage() {
    header.magic = kPackageMagic;
    header.version = kPackageVersion0;
    header.headerSize = kHeaderSize;
    bytes.assign(kHeaderSize, 0);
  }
  // Appends bytes and returns where they start.
  uint32_t append(const std::vector<uint8_t>& more) {
    const uint32_t at = uint32_t(bytes.size());
    bytes.insert(bytes.end(), more.begin(), more.end());
    return at;
  }
  std::vector<uint8_t> finish() const {
    std::vector<uint8_t> out = bytes;
    const auto h = header.toBytes();
    std::memcpy(out.data(), h.data(), std::min<size_t>(out.size(), h.size()));
    return out;
  }
};

inline std::vector<uint8_t> indexBytes(const std::vector<PackageIndexEntry>& entries) {
  std::vector<uint8_t> out(entries.size() * kIndexEntrySize);
  for (size_t i = 0; i < entries.size(); ++i) entries[i].toBytes(&out[i * kIndexEntrySize]);
  return out;
}

inline std::vector<uint8_t> utf16le(const std::u16string& s, bool terminate = true) {
  std::vector<uint8_t> out;
  for (char16_t u : s) {
    out.push_back(uint8_t(u));
    out.push_back(uint8_t(u >> 8));
  }
  if (terminate) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

// Plain package: code, further codes, and block number -> strings.
inline std::vector<uint8_t> plainPackage(
    std::vector<uint32_t> languages,
    const std::map<uint32_t, std::vector<std::u16string>>& blocks) {
  RawPackage p;
  for (size_t i = 0; i < languages.size() && i < 4; ++i) p.header.languages[i] = languages[i];
  std::vector<PackageIndexEntry> entries;
  std::vector<uint8_t> data;
  for (const auto& [number, strings] : blocks) {
    std::vector<uint8_t> block;
    for (const auto& s : strings) {
      auto b = utf16le(s);
      block.insert(block.end(), b.begin(), b.end());
    }
    entries.push_back(PackageIndexEntry::make(number, uint32_t(strings.size() - 1),
                                              uint32_t(data.size()), uint32_t(block.size())));
    data.insert(data.end(), block.begin(), block.end());
  }
  p.header.indexCount = int32_t(entries.size());
  p.header.indexOffset = p.append(indexBytes(entries));
  p.header.dataOffset = p.append(data);
  return p.finish();
}

}  // namespace norza::test
