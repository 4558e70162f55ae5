// Text lookup: package choice, fallbacks, variants, the block cache.
#include "packbuilder.h"
#include "textlookup.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <tuple>

namespace norza {
namespace {

using test::MemoryFiles;
using Key = std::tuple<uint32_t, int, int32_t>;

unsigned gLanguage = 1;
unsigned languageNow() { return gLanguage; }

const std::u16string kEn = u"HelpEn.zkresource";
const std::u16string kDe = u"HelpDe.zkresource";

class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    resetTextLookupForTesting();
    setPackageReaderForTesting(files.reader());
    gLanguage = 1;
    setCurrentLanguageSource(languageNow);
  }
  void TearDown() override {
    resetTextLookupForTesting();
    setPackageReaderForTesting(nullptr);
    setCurrentLanguageSource(nullptr);
  }

  static std::vector<Key> cacheKeys() {
    std::vector<Key> keys;
    for (const auto& e : blockCache().entries())
      keys.emplace_back(e->languageCode, e->pass, e->blockNumber);
    return keys;
  }

  // English package: block 0 holds "Cancel" at 2 and "Start" at 20; block 1
  // holds "Done" at 627 - 512.
  void putEnglish() {
    std::vector<std::u16string> b0(21), b1(116);
    b0[2] = u"Cancel";
    b0[20] = u"Start";
    b1[115] = u"Done";
    files.put(kEn, test::plainPackage({1}, {{0, b0}, {1, b1}}));
  }

  MemoryFiles files;
};

TEST_F(Lookup, IdZeroOpensNothing) {
  putEnglish();
  const char16_t* text = lookupText(0, 0);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text[0], 0);
  EXPECT_TRUE(textById(0).isEmpty());
  EXPECT_EQ(files.totalReads(), 0);
  EXPECT_TRUE(packageRegistry().packages().empty());
}

TEST_F(Lookup, WithoutSourceTheLanguageIsEnglish) {
  setCurrentLanguageSource(nullptr);
  EXPECT_EQ(currentLanguage(), 1u);
  putEnglish();
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
}

TEST_F(Lookup, MissingLanguageFallsBackToTheEnglishFile) {
  putEnglish();
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  EXPECT_EQ(textById(627), QStringLiteral("Done"));
  EXPECT_GT(files.reads(kDe), 0);
  ASSERT_EQ(packageRegistry().packages().size(), 1u);
  EXPECT_EQ(std::u16string(packageRegistry().packages()[0]->packageFile), kEn);
  // Nothing anywhere: empty, so the caller shows its literal.
  EXPECT_TRUE(textById(631).isEmpty());
  EXPECT_TRUE(textById(-5).isEmpty());
  // A language without a file name also ends in English.
  EXPECT_EQ(textById(20, 42), QStringLiteral("Start"));
}

TEST_F(Lookup, NothingOpensWithoutAnyPackage) {
  EXPECT_EQ(lookupText(2, 0), nullptr);
  EXPECT_TRUE(textById(2).isEmpty());
  EXPECT_TRUE(packageRegistry().packages().empty());
}

TEST_F(Lookup, GermanGapsAndEmptyTextsComeFromEnglish) {
  putEnglish();
  std::vector<std::u16string> b0(21);
  b0[2] = u"Abbrechen";  // 20 stays empty: counts as missing
  files.put(kDe, test::plainPackage({4, 0, 0, 0}, {{0, b0}}));
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
  EXPECT_EQ(textById(20), QStringLiteral("Start"));
  EXPECT_EQ(textById(627), QStringLiteral("Done"));  // block missing in German
  ResourcePackage* de = findPackage(4, 0);
  ASSERT_NE(de, nullptr);
  EXPECT_EQ(de->header.languages[1], 1u);
}

TEST_F(Lookup, EachPassAndSlotCostsACacheEntry) {
  putEnglish();
  std::vector<std::u16string> b0(21);
  b0[2] = u"Abbrechen";
  files.put(kDe, test::plainPackage({4}, {{0, b0}}));
  gLanguage = 4;
  EXPECT_EQ(textById(20), QStringLiteral("Start"));
  // Appended then swapped to the front each time.
  EXPECT_EQ(cacheKeys(), (std::vector<Key>{{1, 0, 0}, {4, 0, 0}, {4, 1, 0}}));

  // A second id of a cached block reads nothing.
  files.resetCounts();
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
  EXPECT_EQ(files.totalReads(), 0);
  EXPECT_EQ(cacheKeys(), (std::vector<Key>{{4, 0, 0}, {1, 0, 0}, {4, 1, 0}}));
}

TEST_F(Lookup, EleventhBlockReleasesTheOneUsedJustBefore) {
  std::map<uint32_t, std::vector<std::u16string>> blocks;
  for (uint32_t b = 1; b <= 11; ++b)
    blocks[b] = {u"", u"text " + std::u16string(1, char16_t(u'@' + b))};
  files.put(kEn, test::plainPackage({1}, blocks));
  for (int b = 1; b <= 11; ++b)
    ASSERT_EQ(textById(b * 512 + 1), QString("text ") + QChar('@' + b)) << b;
  std::vector<Key> expected{{1, 0, 11}};
  for (int32_t b = 1; b <= 9; ++b) expected.emplace_back(1, 0, b);
  EXPECT_EQ(cacheKeys(), expected);

  files.resetCounts();
  EXPECT_EQ(textById(1 * 512 + 1), QStringLiteral("text A"));  // still cached
  EXPECT_EQ(files.totalReads(), 0);
  EXPECT_EQ(textById(10 * 512 + 1), QStringLiteral("text J"));  // released: read again
  EXPECT_GT(files.reads(kEn), 0);
  EXPECT_EQ(blockCache().entries().size(), BlockCache::kCapacity);
}

TEST_F(Lookup, LaterIndexEntryWinsForTheSameBlock) {
  test::RawPackage p;
  p.header.languages[0] = 1;
  auto oldBlock = test::utf16le(u"x");
  auto newBlock = oldBlock;
  const auto o = test::utf16le(u"old"), n = test::utf16le(u"new");
  oldBlock.insert(oldBlock.end(), o.begin(), o.end());
  newBlock.insert(newBlock.end(), n.begin(), n.end());
  p.header.dataOffset = p.append(oldBlock);
  p.append(newBlock);
  p.header.indexCount = 2;
  p.header.indexOffset = p.append(test::indexBytes(
      {PackageIndexEntry::make(0, 1, 0, 12), PackageIndexEntry::make(0, 1, 12, 12)}));
  files.put(kEn, p.finish());
  EXPECT_EQ(textById(1), QStringLiteral("new"));
}

TEST_F(Lookup, CurrentLanguageZeroReadsTheUntaggedFile) {
  putEnglish();
  std::vector<std::u16string> b0(3);
  b0[2] = u"untagged";
  files.put(u"Help.zkresource", test::plainPackage({0x80, 1}, {{0, b0}}));
  gLanguage = 0;
  EXPECT_EQ(textById(2), QStringLiteral("untagged"));
  EXPECT_EQ(textById(20), QStringLiteral("Start"));
}

TEST_F(Lookup, UntaggedFileWithCodeZeroIsShadowedByEnglish) {
  // Code 0 is an empty slot, so opening turns it into English (1); the
  // English file then answers before the untagged one.
  putEnglish();
  std::vector<std::u16string> b0(3);
  b0[2] = u"untagged";
  files.put(u"Help.zkresource", test::plainPackage({0}, {{0, b0}}));
  gLanguage = 0;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  files.remove(kEn);
  resetTextLookupForTesting();
  EXPECT_EQ(textById(2), QStringLiteral("untagged"));
}

TEST_F(Lookup, VariantOnePackagesAndRegistryReuse) {
  putEnglish();
  std::vector<std::u16string> b0(3);
  b0[2] = u"Abbrechen";
  files.put(kDe, test::plainPackage({4 | kVariantBit}, {{0, b0}}));
  gLanguage = 4;
  ResourcePackage* v1 = findPackage(4, 1);
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v1->packageCode(), 0x84u);
  EXPECT_EQ(findPackage(4, 0), v1);   // same file: no second record
  EXPECT_EQ(findPackage(0x84, 0), v1);
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));

  // Plain-code file asked for as variant 1 many times: still one record each.
  files.put(kDe, test::plainPackage({4}, {{0, b0}}));
  resetTextLookupForTesting();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(textById(i % 2 ? 2 : 20), i % 2 ? "Abbrechen" : "Start");
  EXPECT_EQ(packageRegistry().packages().size(), 2u);
}

TEST_F(Lookup, ListedVariantCodeIsFoundOnlyOnceRegistered) {
  putEnglish();
  std::vector<std::u16string> pt(3), de(1);
  pt[2] = u"Cancelar";
  files.put(u"HelpPt.zkresource", test::plainPackage({7 | kVariantBit}, {{0, pt}}));
  files.put(kDe, test::plainPackage({4, 7 | kVariantBit, 1}, {{0, de}}));
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));  // 0x87 has no file name
  EXPECT_EQ(textById(2, 7), QStringLiteral("Cancelar"));  // registers HelpPt
  EXPECT_EQ(textById(2), QStringLiteral("Cancelar"));
}

TEST_F(Lookup, FileThatAppearsLaterIsFound) {
  putEnglish();
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  std::vector<std::u16string> b1(116);
  b1[115] = u"Fertig";
  files.put(kDe, test::plainPackage({4}, {{1, b1}}));
  EXPECT_EQ(textById(627), QStringLiteral("Fertig"));
}

TEST_F(Lookup, UnreadableIndexIsRetriedAtTheNextUse) {
  putEnglish();
  std::vector<std::u16string> b0(3);
  b0[2] = u"Abbrechen";
  const auto good = test::plainPackage({4}, {{0, b0}});
  auto bad = good;
  bad.resize(kHeaderSize + 5);  // header intact, index cut
  files.put(kDe, bad);
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  files.put(kDe, good);  // the registered package reads the file anew
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
  EXPECT_EQ(packageRegistry().packages().size(), 2u);
}

TEST_F(Lookup, HostileIndexCountFallsBack) {
  putEnglish();
  test::RawPackage p;
  p.header.languages[0] = 4;
  p.header.indexCount = INT32_MAX;
  p.header.indexOffset = kHeaderSize;
  files.put(kDe, p.finish());
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
}

TEST_F(Lookup, CodedPackageWithoutReadableTreeYieldsNoTexts) {
  putEnglish();
  TextTable table{{2, u"Abbrechen"}, {20, u"Starten"}};
  std::vector<uint8_t> good;
  ASSERT_TRUE(buildPackage(table, PackOptions{4, {1}, true}, good, nullptr));
  auto bad = good;
  storeLe32(&bad[40], 0x7FFFFFF0u);  // treeOffset beyond the file
  files.put(kDe, bad);
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  // Nothing was cached for German: the block was not split as if plain.
  for (const Key& k : cacheKeys()) EXPECT_EQ(std::get<0>(k), 1u);
  // The tree is tried again at the next lookup.
  ResourcePackage* de = findPackage(4, 0);
  ASSERT_NE(de, nullptr);
  de->header.treeOffset = loadLe32(&good[40]);
  EXPECT_EQ(textById(20), QStringLiteral("Starten"));
}

TEST_F(Lookup, IdBeyondTheBlockFallsThrough) {
  putEnglish();
  std::vector<std::u16string> b0(3);
  b0[2] = u"Abbrechen";
  files.put(kDe, test::plainPackage({4}, {{0, b0}}));
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
  EXPECT_EQ(textById(20), QStringLiteral("Start"));  // position 20 > lastIndex 2
  EXPECT_TRUE(textById(511).isEmpty());
}

}  // namespace
}  // namespace norza
