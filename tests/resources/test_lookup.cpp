// Text lookup: package choice, fallbacks, variants, the block cache.
#include "packbuilder.h"
#include "textlookup.h"
#include "testutil.h"

#include <QtEndian>

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

  // English: "Cancel" (2) and "Start" (20) in block 0, "Done" (627) in block 1.
  void putEnglish() {
    std::vector<std::u16string> b0(21), b1(116);
    b0[2] = u"Cancel";
    b0[20] = u"Start";
    b1[115] = u"Done";
    files.put(kEn, test::plainPackage({1}, {{0, b0}, {1, b1}}));
  }
  // A one-block package whose position 2 holds `text` (positions 0..2).
  void putBlock0(const std::u16string& file, std::vector<uint32_t> codes,
                 const std::u16string& text) {
    files.put(file, test::plainPackage(std::move(codes), {{0, {u"", u"", text}}}));
  }

  MemoryFiles files;
};

TEST_F(Lookup, IdZeroAndNoPackages) {
  EXPECT_EQ(lookupText(2, 0), nullptr);  // no file at all
  putEnglish();
  files.resetCounts();
  const char16_t* text = lookupText(0, 0);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text[0], 0);
  EXPECT_EQ(files.totalReads(), 0);
  EXPECT_TRUE(packageRegistry().packages().empty());
  setCurrentLanguageSource(nullptr);  // without a source the language is English
  EXPECT_EQ(currentLanguage(), 1u);
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
  EXPECT_TRUE(textById(631).isEmpty());  // nowhere: the caller shows its literal
  EXPECT_TRUE(textById(511).isEmpty());  // beyond the block's strings
  EXPECT_TRUE(textById(-5).isEmpty());
  EXPECT_EQ(textById(20, 42), QStringLiteral("Start"));  // no file name for 42
  // A German file that appears later is found: failed opens leave nothing.
  putBlock0(kDe, {4}, u"Abbrechen");
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
}

TEST_F(Lookup, GermanGapsEmptyTextsAndPassesComeFromEnglish) {
  putEnglish();
  putBlock0(kDe, {4, 0, 0, 0}, u"Abbrechen");
  gLanguage = 4;
  EXPECT_EQ(textById(20), QStringLiteral("Start"));  // beyond German's 3 strings
  // Each pass and slot cost a cache entry, appended and swapped to the front.
  EXPECT_EQ(cacheKeys(), (std::vector<Key>{{1, 0, 0}, {4, 0, 0}, {4, 1, 0}}));
  files.resetCounts();
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));  // same block: no read
  EXPECT_EQ(files.totalReads(), 0);
  EXPECT_EQ(cacheKeys(), (std::vector<Key>{{4, 0, 0}, {1, 0, 0}, {4, 1, 0}}));
  EXPECT_EQ(textById(1), QString());                 // empty in both
  EXPECT_EQ(textById(627), QStringLiteral("Done"));  // block missing in German
  EXPECT_EQ(findPackage(4, 0)->header.languages[1], 1u);
}

TEST_F(Lookup, EleventhBlockReleasesTheOneUsedJustBefore) {
  std::map<uint32_t, std::vector<std::u16string>> blocks;
  for (uint32_t b = 1; b <= 11; ++b)
    blocks[b] = {u"", u"text " + std::u16string(1, char16_t(u'@' + b))};
  files.put(kEn, test::plainPackage({1}, blocks));
  for (int b = 1; b <= 11; ++b) ASSERT_EQ(textById(b * 512 + 1), QString("text ") + QChar('@' + b));
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
  p.header.dataOffset = p.append(test::utf16le(u"x"));
  p.append(test::utf16le(u"old"));
  p.append(test::utf16le(u"x"));
  p.append(test::utf16le(u"new"));
  p.header.indexCount = 2;
  p.header.indexOffset = p.append(test::indexBytes(
      {PackageIndexEntry::make(0, 1, 0, 12), PackageIndexEntry::make(0, 1, 12, 12)}));
  files.put(kEn, p.finish());
  EXPECT_EQ(textById(1), QStringLiteral("new"));
}

TEST_F(Lookup, UntaggedFile) {
  putEnglish();
  putBlock0(u"Help.zkresource", {0x80, 1}, u"untagged");
  gLanguage = 0;
  EXPECT_EQ(textById(2), QStringLiteral("untagged"));
  EXPECT_EQ(textById(20), QStringLiteral("Start"));
  // With code 0 the file is amended into an English package, and the English
  // file answers first.
  putBlock0(u"Help.zkresource", {0}, u"untagged");
  resetTextLookupForTesting();
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
}

TEST_F(Lookup, VariantsAndRegistryReuse) {
  putEnglish();
  putBlock0(kDe, {4 | kVariantBit}, u"Abbrechen");
  gLanguage = 4;
  ResourcePackage* v1 = findPackage(4, 1);
  ASSERT_NE(v1, nullptr);
  EXPECT_EQ(v1->packageCode(), 0x84u);
  // Variant 0 looks for code 4, which no record carries: the file is opened
  // and registered again (reuse is only for a plain-code file as variant 1).
  ResourcePackage* v0 = findPackage(4, 0);
  ASSERT_NE(v0, nullptr);
  EXPECT_NE(v0, v1);
  EXPECT_EQ(v0->packageCode(), 0x84u);
  EXPECT_EQ(packageRegistry().packages().size(), 2u);
  EXPECT_EQ(findPackage(0x84, 0), v0);  // the last record with the code
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));

  // A plain-code file asked for as variant 1 again and again: one record.
  putBlock0(kDe, {4}, u"Abbrechen");
  resetTextLookupForTesting();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(textById(i % 2 ? 2 : 20), i % 2 ? "Abbrechen" : "Start");
  EXPECT_EQ(packageRegistry().packages().size(), 2u);

  // A listed variant code without a file name is found once registered.
  putBlock0(u"HelpPt.zkresource", {7 | kVariantBit}, u"Cancelar");
  putBlock0(kDe, {4, 7 | kVariantBit, 1}, u"");
  resetTextLookupForTesting();
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  EXPECT_EQ(textById(2, 7), QStringLiteral("Cancelar"));
  EXPECT_EQ(textById(2), QStringLiteral("Cancelar"));
}

TEST_F(Lookup, UnreadableIndexIsRetriedAtTheNextUse) {
  putEnglish();
  putBlock0(kDe, {4}, u"Abbrechen");
  const auto good = files.at(kDe);
  auto bad = good;
  bad.resize(kHeaderSize + 5);  // header intact, index cut
  files.put(kDe, bad);
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  files.put(kDe, good);  // the registered package reads the file anew
  EXPECT_EQ(textById(2), QStringLiteral("Abbrechen"));
  EXPECT_EQ(packageRegistry().packages().size(), 2u);
}

TEST_F(Lookup, CodedPackageWithoutReadableTreeYieldsNoTexts) {
  putEnglish();
  std::vector<uint8_t> good;
  ASSERT_TRUE(buildPackage({{2, u"Abbrechen"}, {20, u"Starten"}}, PackOptions{4, {1}, true}, good,
                           nullptr));
  auto bad = good;
  qToLittleEndian<quint32>(0x7FFFFFF0u, &bad[40]);  // treeOffset beyond the file
  files.put(kDe, bad);
  gLanguage = 4;
  EXPECT_EQ(textById(2), QStringLiteral("Cancel"));
  // Nothing was cached for German: the block was not split as if plain.
  for (const Key& k : cacheKeys()) EXPECT_EQ(std::get<0>(k), 1u);
  // The tree is tried again at the next lookup.
  findPackage(4, 0)->header.treeOffset = qFromLittleEndian<quint32>(&good[40]);
  EXPECT_EQ(textById(20), QStringLiteral("Starten"));
}

}  // namespace
}  // namespace norza
