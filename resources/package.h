// Resource package files: "Help" + language tag + ".zkresource", a header, an
// index of blocks and the blocks themselves (plain UTF-16LE or prefix-coded).
// Everything that touches one package lives here; which packages are asked
// and the block cache live in lookup.h. GUI thread only, no locking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norza {

using ByteBuffer = std::unique_ptr<uint8_t[]>;

// Reads bytes [begin, min(end, file size)) of the named file into a new
// buffer stored in `out` and returns the count read (0 when the read fails).
// `out` is reset first; when begin is not before min(end, size), or the file
// does not exist, nothing is allocated and the answer is 0.
using ReadRangeFn =
    std::function<int64_t(const char16_t* fileName, ByteBuffer& out, int64_t begin, int64_t end)>;

// The reader of the updater: opens "resource:" + file name through QFile for
// each call, so the "resource" search path decides where packages come from.
int64_t readResourceRange(const char16_t* fileName, ByteBuffer& out, int64_t begin, int64_t end);

// The same contract for a file name taken as a plain path (used by zkres).
int64_t readFileRange(const char16_t* fileName, ByteBuffer& out, int64_t begin, int64_t end);

constexpr uint32_t kPackageMagic = 0xB28A617Cu;
constexpr uint32_t kPackageVersion0 = 0xFE84125Du;
constexpr uint32_t kPackageVersion1 = 0xFE84125Eu;
constexpr uint32_t kHeaderSize = 332;
constexpr uint32_t kMinHeaderSize = 12;
constexpr uint32_t kIndexEntrySize = 12;
constexpr int kLanguageSlots = 4;
constexpr int kMaxLanguageIndex = 9;
constexpr uint32_t kVariantBit = 0x80;
constexpr size_t kPackageFileUnits = 260;

// The header as laid out in the file (little-endian), 332 bytes.
struct PackageHeader {
  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t headerSize = 0;
  uint32_t languages[kLanguageSlots] = {};
  uint8_t reserved28[12] = {};
  uint32_t treeOffset = 0;
  uint32_t treeSize = 0;
  uint8_t reserved48[8] = {};
  int32_t indexCount = 0;
  uint32_t indexOffset = 0;
  uint32_t dataOffset = 0;
  uint8_t reserved68[264] = {};

  // Parses 332 bytes (shorter headers are zero-filled by the caller).
  static PackageHeader fromBytes(const uint8_t* bytes);
  std::array<uint8_t, kHeaderSize> toBytes() const;
  uint32_t packageCode() const { return languages[0]; }
};

struct PackageIndexEntry {
  uint32_t word0 = 0;        // blockNumber (bits 0..22), lastIndex (bits 23..31)
  uint32_t blockOffset = 0;  // added to dataOffset modulo 2^32
  uint32_t sizeWord = 0;     // blockSize (bits 0..30); bit 31 ignored

  uint32_t blockNumber() const { return word0 & 0x7FFFFFu; }
  uint32_t lastIndex() const { return word0 >> 23; }
  uint32_t blockSize() const { return sizeWord & 0x7FFFFFFFu; }

  static PackageIndexEntry make(uint32_t blockNumber, uint32_t lastIndex, uint32_t blockOffset,
                                uint32_t blockSize);
  static PackageIndexEntry fromBytes(const uint8_t* bytes);
  void toBytes(uint8_t* out) const;
};

// The strings of one decoded block, all in one buffer; entry i is string i.
class StringList {
 public:
  StringList() = default;
  StringList(StringList&&) = default;
  StringList& operator=(StringList&&) = default;
  StringList(const StringList&) = delete;
  StringList& operator=(const StringList&) = delete;

  size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  // Zero-terminated string i (i < size()).
  const char16_t* at(size_t i) const { return units_.data() + starts_[i]; }
  std::u16string str(size_t i) const { return std::u16string(at(i)); }

  // Used by decodeBlock: the buffer and where each string starts in it.
  void assign(std::vector<char16_t>&& units, std::vector<uint32_t>&& starts);
  void clear();

 private:
  std::vector<char16_t> units_;
  std::vector<uint32_t> starts_;
};

struct ResourcePackage {
  std::vector<uint8_t> tree;  // empty until first needed
  char16_t packageFile[kPackageFileUnits] = {};
  PackageHeader header;  // as read, zero-filled to 332 bytes and amended
  std::vector<PackageIndexEntry> index;
  bool indexLoaded = false;  // an index of 0 entries is loaded but empty
  ReadRangeFn reader;

  uint32_t packageCode() const { return header.packageCode(); }
  bool isCoded() const { return header.treeSize != 0; }
};

// File name for language index 0..9 ("Help" + tag + ".zkresource"); empty for
// any other index.
std::u16string packageFileName(int languageIndex);
// Two-letter tag ("En", ...) for 0..9; empty for 0 and out of range.
std::u16string languageTag(int languageIndex);

enum class OpenFailure {
  None,
  TooShort,  // fewer than 12 bytes
  BadMagic,
  BadVersion,
  HeaderTooLarge,   // headerSize over 332
  HeaderTooSmall,   // headerSize under 12
  HeaderTruncated,  // file shorter than headerSize
};
const char* describeOpenFailure(OpenFailure failure);

// Opens and validates a package; nullptr when the file is not a package.
std::unique_ptr<ResourcePackage> openPackage(const char16_t* fileName, const ReadRangeFn& reader,
                                             OpenFailure* why = nullptr);

// True when the package's index is present after the call (a failed read is
// retried at the next call).
bool ensureIndex(ResourcePackage& package);

// Reads the block's bytes into `out` (nullptr for a block of size 0) and its
// size into `size`; false when they cannot be read in full.
bool readBlock(const ResourcePackage& package, const PackageIndexEntry& entry, ByteBuffer& out,
               size_t& size);

// Loads the decoding tree when the package has one and it is not loaded yet.
void ensureTree(ResourcePackage& package);

// True when decodeBlock can run for this package's blocks: plain packages,
// and coded packages whose tree has been read.
bool canDecode(const ResourcePackage& package);

// Fills `list` from a block's bytes; with tree == nullptr (or treeSize 0) the
// block is taken as plain and cut into at most lastIndex + 1 strings.
void decodeBlock(StringList& list, const uint8_t* block, size_t size, const uint8_t* tree,
                 size_t treeSize, uint32_t lastIndex);

// Packages are released by their owner (the registry); the unique_ptr does
// the freeing, this is the explicit form.
void releasePackage(std::unique_ptr<ResourcePackage>& package);

}  // namespace norza
