#include "package.h"

#include <QFile>
#include <QString>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <new>

namespace norza {

namespace {

QString toQString(const char16_t* s) { return QString::fromUtf16(s); }

int64_t readQFileRange(const QString& path, ByteBuffer& out, int64_t begin, int64_t end) {
  out.reset();
  if (begin < 0) return 0;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return 0;
  const int64_t limit = std::min<int64_t>(end, file.size());
  if (begin >= limit) return 0;
  // The allocation is bounded by the file's real size, never by a header field.
  const int64_t want = limit - begin;
  out.reset(new (std::nothrow) uint8_t[static_cast<size_t>(want)]);
  if (!out) return 0;
  if (!file.seek(begin)) return 0;
  const qint64 got = file.read(reinterpret_cast<char*>(out.get()), want);
  return got < 0 ? 0 : got;
}

}  // namespace

int64_t readResourceRange(const char16_t* fileName, ByteBuffer& out, int64_t begin, int64_t end) {
  return readQFileRange(QStringLiteral("resource:") + toQString(fileName), out, begin, end);
}

int64_t readFileRange(const char16_t* fileName, ByteBuffer& out, int64_t begin, int64_t end) {
  return readQFileRange(toQString(fileName), out, begin, end);
}

PackageHeader PackageHeader::fromBytes(const uint8_t* b) {
  PackageHeader h;
  h.magic = qFromLittleEndian<quint32>(b + 0);
  h.version = qFromLittleEndian<quint32>(b + 4);
  h.headerSize = qFromLittleEndian<quint32>(b + 8);
  for (int i = 0; i < kLanguageSlots; ++i)
    h.languages[i] = qFromLittleEndian<quint32>(b + 12 + 4 * i);
  std::memcpy(h.reserved28, b + 28, sizeof h.reserved28);
  h.treeOffset = qFromLittleEndian<quint32>(b + 40);
  h.treeSize = qFromLittleEndian<quint32>(b + 44);
  std::memcpy(h.reserved48, b + 48, sizeof h.reserved48);
  h.indexCount = static_cast<int32_t>(qFromLittleEndian<quint32>(b + 56));
  h.indexOffset = qFromLittleEndian<quint32>(b + 60);
  h.dataOffset = qFromLittleEndian<quint32>(b + 64);
  std::memcpy(h.reserved68, b + 68, sizeof h.reserved68);
  return h;
}

std::array<uint8_t, kHeaderSize> PackageHeader::toBytes() const {
  std::array<uint8_t, kHeaderSize> b{};
  qToLittleEndian<quint32>(magic, &b[0]);
  qToLittleEndian<quint32>(version, &b[4]);
  qToLittleEndian<quint32>(headerSize, &b[8]);
  for (int i = 0; i < kLanguageSlots; ++i) qToLittleEndian<quint32>(languages[i], &b[12 + 4 * i]);
  std::memcpy(&b[28], reserved28, sizeof reserved28);
  qToLittleEndian<quint32>(treeOffset, &b[40]);
  qToLittleEndian<quint32>(treeSize, &b[44]);
  std::memcpy(&b[48], reserved48, sizeof reserved48);
  qToLittleEndian<quint32>(static_cast<uint32_t>(indexCount), &b[56]);
  qToLittleEndian<quint32>(indexOffset, &b[60]);
  qToLittleEndian<quint32>(dataOffset, &b[64]);
  std::memcpy(&b[68], reserved68, sizeof reserved68);
  return b;
}

PackageIndexEntry PackageIndexEntry::make(uint32_t blockNumber, uint32_t lastIndex,
                                          uint32_t blockOffset, uint32_t blockSize) {
  PackageIndexEntry e;
  e.word0 = (blockNumber & 0x7FFFFFu) | (lastIndex << 23);
  e.blockOffset = blockOffset;
  e.sizeWord = blockSize & 0x7FFFFFFFu;
  return e;
}

PackageIndexEntry PackageIndexEntry::fromBytes(const uint8_t* b) {
  PackageIndexEntry e;
  e.word0 = qFromLittleEndian<quint32>(b);
  e.blockOffset = qFromLittleEndian<quint32>(b + 4);
  e.sizeWord = qFromLittleEndian<quint32>(b + 8);
  return e;
}

void PackageIndexEntry::toBytes(uint8_t* out) const {
  qToLittleEndian<quint32>(word0, out);
  qToLittleEndian<quint32>(blockOffset, out + 4);
  qToLittleEndian<quint32>(sizeWord, out + 8);
}

void StringList::assign(std::vector<char16_t>&& units, std::vector<uint32_t>&& starts) {
  units_ = std::move(units);
  starts_ = std::move(starts);
}

void StringList::clear() {
  units_ = {};
  starts_ = {};
}

std::u16string languageTag(int languageIndex) {
  static const char16_t* const kTags[kMaxLanguageIndex + 1] = {u"",   u"En", u"Zh", u"Fr", u"De",
                                                               u"Es", u"Nl", u"Pt", u"Ja", u"Ru"};
  if (languageIndex < 0 || languageIndex > kMaxLanguageIndex) return {};
  return kTags[languageIndex];
}

std::u16string packageFileName(int languageIndex) {
  if (languageIndex < 0 || languageIndex > kMaxLanguageIndex) return {};
  return u"Help" + languageTag(languageIndex) + u".zkresource";
}

const char* describeOpenFailure(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::None: return "no failure";
    case OpenFailure::TooShort: return "missing, unreadable or shorter than 12 bytes";
    case OpenFailure::BadMagic: return "not a resource package (wrong magic)";
    case OpenFailure::BadVersion: return "unsupported package version";
    case OpenFailure::HeaderTooLarge: return "header size over 332 bytes";
    case OpenFailure::HeaderTooSmall: return "header size under 12 bytes";
    case OpenFailure::HeaderTruncated: return "file shorter than its header size";
  }
  return "unknown failure";
}

std::unique_ptr<ResourcePackage> openPackage(const char16_t* fileName, const ReadRangeFn& reader,
                                             OpenFailure* why) {
  auto fail = [why](OpenFailure f) {
    if (why) *why = f;
    return std::unique_ptr<ResourcePackage>();
  };
  if (why) *why = OpenFailure::None;

  ByteBuffer first;
  if (reader(fileName, first, 0, kMinHeaderSize) < static_cast<int64_t>(kMinHeaderSize) || !first)
    return fail(OpenFailure::TooShort);
  const uint32_t magic = qFromLittleEndian<quint32>(first.get());
  const uint32_t version = qFromLittleEndian<quint32>(first.get() + 4);
  const uint32_t headerSize = qFromLittleEndian<quint32>(first.get() + 8);
  first.reset();
  if (magic != kPackageMagic) return fail(OpenFailure::BadMagic);
  if (static_cast<uint32_t>(version + 0x17BEDA3u) > 1u) return fail(OpenFailure::BadVersion);
  if (headerSize > kHeaderSize) return fail(OpenFailure::HeaderTooLarge);
  // A header that does not even hold its own three fields describes nothing.
  if (headerSize < kMinHeaderSize) return fail(OpenFailure::HeaderTooSmall);

  ByteBuffer raw;
  if (reader(fileName, raw, 0, headerSize) != static_cast<int64_t>(headerSize) || !raw)
    return fail(OpenFailure::HeaderTruncated);
  uint8_t bytes[kHeaderSize] = {};
  std::memcpy(bytes, raw.get(), headerSize);
  raw.reset();

  auto package = std::make_unique<ResourcePackage>();
  package->header = PackageHeader::fromBytes(bytes);
  // English is always searched: the first empty slot (before any 1) gets it.
  for (uint32_t& slot : package->header.languages) {
    if (slot == 1) break;
    if (slot == 0) {
      slot = 1;
      break;
    }
  }
  size_t n = 0;
  while (n < kPackageFileUnits - 1 && fileName[n] != 0) {
    package->packageFile[n] = fileName[n];
    ++n;
  }
  package->packageFile[n] = 0;
  package->reader = reader;
  return package;
}

bool ensureIndex(ResourcePackage& package) {
  if (package.indexLoaded) return true;
  const int32_t count = package.header.indexCount;
  if (count < 0) return false;
  // 64-bit arithmetic: 12 * INT32_MAX and indexOffset + that cannot overflow.
  const int64_t bytes = static_cast<int64_t>(count) * kIndexEntrySize;
  const int64_t begin = package.header.indexOffset;
  ByteBuffer buf;
  const int64_t got = package.reader(package.packageFile, buf, begin, begin + bytes);
  if (got != bytes) return false;
  package.index.clear();
  package.index.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i)
    package.index.push_back(
        PackageIndexEntry::fromBytes(buf.get() + static_cast<size_t>(i) * kIndexEntrySize));
  package.indexLoaded = true;
  return true;
}

bool readBlock(const ResourcePackage& package, const PackageIndexEntry& entry, ByteBuffer& out,
               size_t& size) {
  const uint32_t begin = package.header.dataOffset + entry.blockOffset;  // modulo 2^32
  const int64_t want = entry.blockSize();
  const int64_t got =
      package.reader(package.packageFile, out, begin, static_cast<int64_t>(begin) + want);
  if (got != want) {
    out.reset();
    size = 0;
    return false;
  }
  size = static_cast<size_t>(want);
  return true;
}

void ensureTree(ResourcePackage& package) {
  if (!package.tree.empty() || package.header.treeSize == 0) return;
  const uint32_t begin = package.header.treeOffset;
  const uint32_t end = begin + package.header.treeSize;  // modulo 2^32, as stored
  ByteBuffer buf;
  const int64_t got = package.reader(package.packageFile, buf, begin, end);
  if (got > 0 && buf) package.tree.assign(buf.get(), buf.get() + got);
}

bool canDecode(const ResourcePackage& package) {
  return !package.isCoded() || !package.tree.empty();
}

namespace {

constexpr size_t kFirstUnits = 1024;

// Output of the coded decoder: one buffer with room for 1024 units that
// doubles its room whenever it fills, so a block's cost stays linear in its
// output however long its strings are (a fixed step makes a long string
// quadratic). One unit more than the room is kept for the terminating zero.
class UnitBuffer {
 public:
  UnitBuffer() { units_.reserve(room_ + 1); }
  void put(char16_t u) {
    if (units_.size() == room_) {
      room_ *= 2;
      units_.reserve(room_ + 1);
    }
    units_.push_back(u);
  }
  // Ends the buffer in the unit kept for it: never grows.
  void terminate() { units_.push_back(0); }
  size_t size() const { return units_.size(); }
  std::vector<char16_t>& units() { return units_; }

 private:
  std::vector<char16_t> units_;
  size_t room_ = kFirstUnits;  // units before the next growth
};

// The bits of a coded block, low bit of each byte first.
class BitReader {
 public:
  BitReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  // False at the end of the block.
  bool next(unsigned& bit) {
    if (bitsLeft_ == 0) {
      if (next_ >= size_) return false;
      bits_ = bytes_[next_++];
      bitsLeft_ = 8;
    }
    bit = bits_ & 1u;
    bits_ >>= 1;
    --bitsLeft_;
    return true;
  }
  // The rest of this byte and one further byte separate the strings.
  void skipStringGap() {
    bitsLeft_ = 0;
    if (next_ < size_) ++next_;
  }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t next_ = 0;    // next unread byte
  unsigned bits_ = 0;  // bits of the current byte not used yet
  int bitsLeft_ = 0;
};

enum class TreeStep { Branch, Emit, Stop };

// Takes one bit at the record at `node`: moves `node` on (Branch), or gives
// the record's symbol (Emit). The tree is untrusted: a record that does not
// lie wholly inside the tree's bytes stops the walk.
TreeStep stepTree(const uint8_t* tree, size_t treeSize, size_t& node, unsigned bit,
                  uint16_t& symbol) {
  if (node > treeSize || treeSize - node < 3) return TreeStep::Stop;
  const uint8_t type = tree[node];
  const uint16_t value = qFromLittleEndian<quint16>(tree + node + 1);
  symbol = value;
  switch (type) {
    case 0: node = bit ? node + 3 + value : node + 3; return TreeStep::Branch;
    case 1:  // emits on 1
    case 2:  // emits on 0
      if (bit == (type == 1 ? 1u : 0u)) return TreeStep::Emit;
      node += 3;
      return TreeStep::Branch;
    case 3:
      if (treeSize - node < 5) return TreeStep::Stop;
      if (bit) symbol = qFromLittleEndian<quint16>(tree + node + 3);
      return TreeStep::Emit;
    default: return TreeStep::Emit;
  }
}

void decodeCoded(StringList& list, const uint8_t* block, size_t size, const uint8_t* tree,
                 size_t treeSize) {
  UnitBuffer out;
  std::vector<uint32_t> starts;
  BitReader bits(block, size);
  size_t node = 0;  // offset of the current record in the tree
  uint32_t stringStart = 0;
  unsigned bit = 0;
  while (bits.next(bit)) {
    uint16_t symbol = 0;
    const TreeStep step = stepTree(tree, treeSize, node, bit, symbol);
    if (step == TreeStep::Stop) break;
    if (step == TreeStep::Branch) continue;
    node = 0;
    if (symbol == 13) continue;  // carriage returns are dropped
    out.put(static_cast<char16_t>(symbol));
    if (symbol == 0) {
      starts.push_back(stringStart);
      stringStart = static_cast<uint32_t>(out.size());
      bits.skipStringGap();
    }
  }
  out.terminate();  // also ends an unfinished last string (not counted)
  if (starts.empty()) {
    list.clear();
    return;
  }
  list.assign(std::move(out.units()), std::move(starts));
}

void decodePlain(StringList& list, const uint8_t* block, size_t size, uint32_t lastIndex) {
  const size_t n = size / 2;
  std::vector<char16_t> units(n + 1);
  for (size_t i = 0; i < n; ++i)
    units[i] = static_cast<char16_t>(qFromLittleEndian<quint16>(block + 2 * i));
  units[n] = 0;
  std::vector<uint32_t> starts;
  size_t pos = 0;
  for (uint32_t k = 0; k <= lastIndex; ++k) {
    if (pos > n) break;
    starts.push_back(static_cast<uint32_t>(pos));
    while (units[pos] != 0) ++pos;  // units[n] is 0, so this stops inside
    ++pos;
  }
  list.assign(std::move(units), std::move(starts));
}

}  // namespace

void decodeBlock(StringList& list, const uint8_t* block, size_t size, const uint8_t* tree,
                 size_t treeSize, uint32_t lastIndex) {
  static const uint8_t kNoBytes[1] = {0};
  if (!block) {
    block = kNoBytes;
    size = 0;
  }
  if (tree && treeSize > 0)
    decodeCoded(list, block, size, tree, treeSize);
  else
    decodePlain(list, block, size, lastIndex);
}

void releasePackage(std::unique_ptr<ResourcePackage>& package) { package.reset(); }

}  // namespace norza
