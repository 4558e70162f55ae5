// The package reader: header checks, index, blocks and both decoders.
#include "allocations.h"
#include "testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace norza {
namespace {

using test::MemoryFiles;
using test::RawPackage;

const std::u16string kFile = u"HelpDe.zkresource";

std::vector<std::u16string> strings(const StringList& list) {
  std::vector<std::u16string> out;
  for (size_t i = 0; i < list.size(); ++i) out.push_back(list.str(i));
  return out;
}

std::vector<std::u16string> decodeWithTree(const std::vector<uint8_t>& block,
                                           const std::vector<uint8_t>& tree) {
  StringList list;
  decodeBlock(list, block.data(), block.size(), tree.data(), tree.size(), 0);
  return strings(list);
}

std::vector<std::u16string> decodePlain(const std::vector<uint8_t>& block, uint32_t lastIndex) {
  StringList list;
  decodeBlock(list, block.data(), block.size(), nullptr, 0, lastIndex);
  return strings(list);
}

std::unique_ptr<ResourcePackage> openBytes(MemoryFiles& files, std::vector<uint8_t> bytes,
                                           OpenFailure* why = nullptr) {
  files.put(kFile, std::move(bytes));
  return openPackage(kFile.c_str(), files.reader(), why);
}

TEST(PackageFileName, TagsAndRange) {
  EXPECT_EQ(packageFileName(0), u"Help.zkresource");
  EXPECT_EQ(packageFileName(1), u"HelpEn.zkresource");
  EXPECT_EQ(packageFileName(4), u"HelpDe.zkresource");
  EXPECT_EQ(packageFileName(8), u"HelpJa.zkresource");
  EXPECT_EQ(packageFileName(9), u"HelpRu.zkresource");
  EXPECT_TRUE(packageFileName(10).empty());
  EXPECT_TRUE(packageFileName(-1).empty());
  EXPECT_TRUE(packageFileName(0x84).empty());
}

TEST(OpenPackage, ShortHeaderIsZeroFilledAndEnglishAdded) {
  RawPackage p;
  p.header.headerSize = 68;
  p.header.languages[0] = 4;
  p.header.indexCount = 0;
  auto bytes = p.finish();
  std::fill(bytes.begin() + 68, bytes.end(), uint8_t(0xEE));  // not part of the header
  MemoryFiles files;
  auto package = openBytes(files, bytes);
  ASSERT_TRUE(package);
  const uint32_t expected[4] = {4, 1, 0, 0};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(package->header.languages[i], expected[i]) << i;
  const auto copy = package->header.toBytes();
  for (size_t i = 68; i < kHeaderSize; ++i) ASSERT_EQ(copy[i], 0) << i;
  EXPECT_EQ(std::u16string(package->packageFile), kFile);
}

TEST(OpenPackage, EnglishAmendment) {
  struct Case {
    uint32_t in[4];
    uint32_t out[4];
  };
  const Case cases[] = {{{4, 1, 0, 0}, {4, 1, 0, 0}}, {{2, 3, 4, 5}, {2, 3, 4, 5}},
                        {{2, 0, 1, 0}, {2, 1, 1, 0}}, {{0, 0, 0, 0}, {1, 0, 0, 0}},
                        {{7, 8, 0, 9}, {7, 8, 1, 9}}, {{1, 0, 0, 0}, {1, 0, 0, 0}}};
  for (const Case& c : cases) {
    RawPackage p;
    std::copy(c.in, c.in + 4, p.header.languages);
    MemoryFiles files;
    auto package = openBytes(files, p.finish());
    ASSERT_TRUE(package);
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(package->header.languages[i], c.out[i]) << c.in[0] << c.in[1] << c.in[2] << c.in[3];
  }
}

TEST(OpenPackage, RejectsWhatIsNotAPackage) {
  struct Case {
    const char* what;
    uint32_t magic, version, headerSize;
    size_t fileSize;
    OpenFailure why;
  };
  const Case cases[] = {
      {"version +2", kPackageMagic, 0xFE84125Fu, 332, 400, OpenFailure::BadVersion},
      {"version -1", kPackageMagic, 0xFE84125Cu, 332, 400, OpenFailure::BadVersion},
      {"magic", 0xB28A617Du, kPackageVersion0, 332, 400, OpenFailure::BadMagic},
      {"header 333", kPackageMagic, kPackageVersion0, 333, 400, OpenFailure::HeaderTooLarge},
      {"header 2^31", kPackageMagic, kPackageVersion0, 0x80000000u, 400,
       OpenFailure::HeaderTooLarge},
      {"header 11", kPackageMagic, kPackageVersion0, 11, 400, OpenFailure::HeaderTooSmall},
      {"header 0", kPackageMagic, kPackageVersion0, 0, 400, OpenFailure::HeaderTooSmall},
      {"truncated", kPackageMagic, kPackageVersion0, 332, 331, OpenFailure::HeaderTruncated},
      {"11 bytes", kPackageMagic, kPackageVersion0, 332, 11, OpenFailure::TooShort},
  };
  for (const Case& c : cases) {
    RawPackage p;
    p.header.magic = c.magic;
    p.header.version = c.version;
    p.header.headerSize = c.headerSize;
    p.append(std::vector<uint8_t>(100, 0));
    auto bytes = p.finish();
    bytes.resize(c.fileSize);
    MemoryFiles files;
    OpenFailure why = OpenFailure::None;
    EXPECT_FALSE(openBytes(files, bytes, &why)) << c.what;
    EXPECT_EQ(why, c.why) << c.what;
  }
  MemoryFiles none;
  OpenFailure why = OpenFailure::None;
  EXPECT_FALSE(openPackage(u"missing", none.reader(), &why));
  EXPECT_EQ(why, OpenFailure::TooShort);
}

TEST(OpenPackage, AcceptsBothVersionsAndTwelveByteHeader) {
  for (uint32_t version : {kPackageVersion0, kPackageVersion1}) {
    RawPackage p;
    p.header.version = version;
    MemoryFiles files;
    EXPECT_TRUE(openBytes(files, p.finish())) << version;
  }
  RawPackage p;
  p.header.headerSize = 12;
  auto bytes = p.finish();
  bytes.resize(12);
  MemoryFiles files;
  auto package = openBytes(files, bytes);
  ASSERT_TRUE(package);
  EXPECT_EQ(package->packageCode(), 1u);  // empty list amended to English
  EXPECT_TRUE(ensureIndex(*package));
  EXPECT_TRUE(package->index.empty());
}

TEST(OpenPackage, LongFileNameIsCut) {
  const std::u16string name(300, u'x');
  MemoryFiles files;
  files.put(name, RawPackage().finish());
  auto package = openPackage(name.c_str(), files.reader());
  ASSERT_TRUE(package);
  EXPECT_EQ(std::u16string(package->packageFile), name.substr(0, 259));
}

TEST(EnsureIndex, ReadsOnceAndRetriesAfterFailure) {
  RawPackage p;
  p.header.indexCount = 2;
  p.header.indexOffset = p.append(test::indexBytes(
      {PackageIndexEntry::make(1, 3, 0, 0), PackageIndexEntry::make(7, 511, 10, 20)}));
  const auto good = p.finish();
  auto bad = good;
  bad.resize(good.size() - 1);  // last entry one byte short
  MemoryFiles files;
  auto package = openBytes(files, bad);
  ASSERT_TRUE(package);
  EXPECT_FALSE(ensureIndex(*package));
  EXPECT_TRUE(package->index.empty());
  files.put(kFile, good);
  ASSERT_TRUE(ensureIndex(*package));
  ASSERT_EQ(package->index.size(), 2u);
  EXPECT_EQ(package->index[1].blockNumber(), 7u);
  EXPECT_EQ(package->index[1].lastIndex(), 511u);
  EXPECT_EQ(package->index[1].blockOffset, 10u);
  EXPECT_EQ(package->index[1].blockSize(), 20u);
  files.resetCounts();
  EXPECT_TRUE(ensureIndex(*package));
  EXPECT_EQ(files.totalReads(), 0);
}

TEST(EnsureIndex, HostileCountsAndOffsets) {
  struct Case {
    int32_t count;
    uint32_t offset;
  };
  const Case cases[] = {{-1, 332},         {INT32_MIN, 332}, {INT32_MAX, 332},
                        {0x15555556, 332}, {1, 0xFFFFFFF8u}, {2, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    RawPackage p;
    p.header.indexCount = c.count;
    p.header.indexOffset = c.offset;
    p.append(std::vector<uint8_t>(48, 0x11));
    MemoryFiles files;
    auto package = openBytes(files, p.finish());
    ASSERT_TRUE(package);
    EXPECT_FALSE(ensureIndex(*package)) << c.count << " @ " << c.offset;
    EXPECT_TRUE(package->index.empty());
  }
}

TEST(ReadBlock, OffsetsWrapAndBit31IsIgnored) {
  RawPackage p;
  const uint32_t at = p.append(test::utf16le(u"hi"));
  p.header.dataOffset = 0xFFFFFF00u;
  MemoryFiles files;
  auto package = openBytes(files, p.finish());
  ASSERT_TRUE(package);
  ByteBuffer bytes;
  size_t size = 0;
  auto entry = PackageIndexEntry::make(0, 0, at + 0x100u, 6);
  entry.sizeWord |= 0x80000000u;
  ASSERT_TRUE(readBlock(*package, entry, bytes, size));
  ASSERT_EQ(size, 6u);
  EXPECT_EQ(bytes[0], 'h');
  EXPECT_EQ(bytes[2], 'i');

  EXPECT_FALSE(readBlock(*package, PackageIndexEntry::make(0, 0, at + 0x100u, 7), bytes, size));
  EXPECT_FALSE(bytes);
  EXPECT_FALSE(
      readBlock(*package, PackageIndexEntry::make(0, 0, 0x7FFFFFFFu, 0x7FFFFFFFu), bytes, size));
  // An empty block reads as a success with no bytes.
  EXPECT_TRUE(readBlock(*package, PackageIndexEntry::make(0, 0, at + 0x100u, 0), bytes, size));
  EXPECT_EQ(size, 0u);
}

TEST(EnsureTree, ShortAndMissingTrees) {
  RawPackage p;
  p.header.treeOffset = p.append({3, 0x41, 0, 0, 0});
  p.header.treeSize = 1000;  // runs past the end of the file: taken as it comes
  MemoryFiles files;
  auto package = openBytes(files, p.finish());
  ASSERT_TRUE(package);
  ensureTree(*package);
  EXPECT_EQ(package->tree.size(), 5u);
  EXPECT_TRUE(canDecode(*package));

  RawPackage q;
  q.header.treeOffset = 0xFFFFFFF0u;
  q.header.treeSize = 0x20;  // end wraps below begin: nothing is read
  auto coded = openBytes(files, q.finish());
  ASSERT_TRUE(coded);
  ensureTree(*coded);
  EXPECT_TRUE(coded->tree.empty());
  EXPECT_FALSE(canDecode(*coded));
}

// Tree used below: root type 0 with branch 0 = {a, end} and branch 1 = {b, CR}.
// Codes (first bit first): a 00, end 01, b 10, CR 11.
const std::vector<uint8_t> kTree = {0, 5, 0, 3, 'a', 0, 0, 0, 3, 'b', 0, 13, 0};

TEST(DecodeCoded, StringsSkippedBytesAndCarriageReturns) {
  // "ab" ends in the middle of byte 0; byte 1 is skipped; "b" starts at byte 2.
  EXPECT_EQ(decodeWithTree({0x24, 0xFF, 0x09}, kTree), (std::vector<std::u16string>{u"ab", u"b"}));
  // "aab" fills byte 0 exactly; byte 1 is still skipped.
  EXPECT_EQ(decodeWithTree({0x90, 0xFF, 0x09}, kTree), (std::vector<std::u16string>{u"aab", u"b"}));
  // a CR b end: the CR is dropped.
  EXPECT_EQ(decodeWithTree({0x9C}, kTree), (std::vector<std::u16string>{u"ab"}));
  // An unfinished last string is not counted; no complete string gives nothing.
  EXPECT_EQ(decodeWithTree({0x24, 0x00, 0x00}, kTree), (std::vector<std::u16string>{u"ab"}));
  EXPECT_TRUE(decodeWithTree({0x00}, kTree).empty());
  EXPECT_TRUE(decodeWithTree({}, kTree).empty());
}

TEST(DecodeCoded, RecordTypes) {
  // A single type-3 record: bits 0, 1 give "A".
  EXPECT_EQ(decodeWithTree({0x02}, {3, 0x41, 0, 0, 0}), (std::vector<std::u16string>{u"A"}));
  // Type 1: bit 1 emits, bit 0 goes to the next record.
  EXPECT_EQ(decodeWithTree({17}, {1, 'b', 0, 3, 'a', 0, 0, 0}),
            (std::vector<std::u16string>{u"ba"}));
  // Type 2: bit 0 emits, bit 1 goes to the next record.
  EXPECT_EQ(decodeWithTree({26}, {2, 'b', 0, 3, 'a', 0, 0, 0}),
            (std::vector<std::u16string>{u"ba"}));
  // Unknown types emit their value on either bit.
  EXPECT_EQ(decodeWithTree({12}, {0, 3, 0, 7, 'x', 0, 7, 0, 0}),
            (std::vector<std::u16string>{u"x"}));
  // Non-BMP text travels as two code units.
  EXPECT_EQ(decodeWithTree({0x24}, {0, 5, 0, 3, 0x3D, 0xD8, 0, 0, 3, 0x00, 0xDE, 0, 0}),
            (std::vector<std::u16string>{u"\U0001F600"}));
}

TEST(DecodeCoded, WalkLeavingTheTreeEndsTheBlock) {
  const std::vector<uint8_t> tree = {0, 0xFF, 0xFF, 3, 'a', 0, 0, 0};
  // "a", then a 1 bit that jumps 65535 bytes past the root: the block ends
  // there, so the "a" in byte 3 is never decoded.
  EXPECT_EQ(decodeWithTree({0x08, 0x00, 0x01, 0x08}, tree), (std::vector<std::u16string>{u"a"}));
  // Records cut short by the tree's end.
  EXPECT_TRUE(decodeWithTree({0x02, 0x02}, {3, 'a', 0, 0}).empty());
  EXPECT_TRUE(decodeWithTree({0x02}, {3, 'a'}).empty());
  EXPECT_TRUE(decodeWithTree({0x00, 0xFF}, {1, 0, 0}).empty());  // bit 0 leads past the end
}

TEST(DecodeCoded, LongStringsCrossBufferSteps) {
  // Tree 'a' on bit 0, end on bit 1: 3000 zero bits then a 1.
  std::vector<uint8_t> block(375, 0);
  block.push_back(0x01);
  block.push_back(0x00);  // skipped
  block.push_back(0x02);  // "a"
  const auto out = decodeWithTree(block, {3, 'a', 0, 0, 0});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0], std::u16string(3000, u'a'));
  EXPECT_EQ(out[1], u"a");
}

TEST(DecodeCoded, LongStringIsNotCopiedOverAndOver) {
  // One string of 262,136 units. A buffer grown by a fixed step is allocated
  // (and the string copied) anew at every step, over a hundred times the
  // string's size in all; a geometric growth stays within a few times.
  std::vector<uint8_t> block(32767, 0);
  block.push_back(0x01);
  const std::vector<uint8_t> tree = {3, 'a', 0, 0, 0};
  StringList list;
  size_t allocated = 0;
  {
    test::AllocatedBytes scope;
    decodeBlock(list, block.data(), block.size(), tree.data(), tree.size(), 0);
    allocated = scope.total();
  }
  ASSERT_EQ(list.size(), 1u);
  const size_t units = 8 * 32767;
  EXPECT_EQ(list.str(0), std::u16string(units, u'a'));
  EXPECT_LE(allocated, 4 * units * sizeof(char16_t));
}

TEST(DecodePlain, LastIndexDecidesTheCount) {
  const auto block = test::utf16le(std::u16string(u"ab\0cd", 5), true);  // 0x61 0x62 0 0x63 0x64 0
  ASSERT_EQ(block.size(), 12u);
  EXPECT_EQ(decodePlain(block, 0), (std::vector<std::u16string>{u"ab"}));
  EXPECT_EQ(decodePlain(block, 1), (std::vector<std::u16string>{u"ab", u"cd"}));
  EXPECT_EQ(decodePlain(block, 5), (std::vector<std::u16string>{u"ab", u"cd", u""}));
  EXPECT_EQ(decodePlain({}, 5), (std::vector<std::u16string>{u""}));
  // An odd byte is ignored; a string without its zero unit is ended anyway.
  EXPECT_EQ(decodePlain({'x', 0, 'y', 0, 'z'}, 3), (std::vector<std::u16string>{u"xy"}));
  // Carriage returns stay in plain blocks.
  EXPECT_EQ(decodePlain(test::utf16le(u"a\rb"), 0), (std::vector<std::u16string>{u"a\rb"}));
}

TEST(ReadResourceRange, FollowsTheReaderContract) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile file(dir.filePath(QStringLiteral("HelpDe.zkresource")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("0123456789", 10);
  file.close();
  const QStringList saved = QDir::searchPaths(QStringLiteral("resource"));
  QDir::setSearchPaths(QStringLiteral("resource"), {dir.path()});

  ByteBuffer out(new uint8_t[1]);
  EXPECT_EQ(readResourceRange(kFile.c_str(), out, 2, 5), 3);
  ASSERT_TRUE(out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.get()), 3), "234");
  EXPECT_EQ(readResourceRange(kFile.c_str(), out, 8, 100), 2);  // clamped to the size
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.get()), 2), "89");
  EXPECT_EQ(readResourceRange(kFile.c_str(), out, 10, 100), 0);
  EXPECT_FALSE(out);
  EXPECT_EQ(readResourceRange(kFile.c_str(), out, 5, 5), 0);
  EXPECT_FALSE(out);
  EXPECT_EQ(readResourceRange(u"HelpFr.zkresource", out, 0, 10), 0);
  EXPECT_FALSE(out);
  QDir::setSearchPaths(QStringLiteral("resource"), saved);
}

}  // namespace
}  // namespace norza
