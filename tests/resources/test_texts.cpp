// The shipped packages: every id the updater asks for, in every language,
// comes back from the built package exactly as its table holds it.
#include "lookup.h"
#include "packbuilder.h"
#include "textlookup.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace norza {
namespace {

const int kIdsInUse[] = {2,    20,   521,  622,  627,  631,  633,  657,  744,  7774, 7800,
                         7801, 7802, 7803, 7804, 7805, 7806, 7807, 7808, 7809, 7810, 7811,
                         7812, 7813, 7814, 7815, 7816, 7817, 7818, 7819, 7820, 7821, 7822,
                         7823, 7824, 7825, 7826, 7827, 7828, 7829, 7830, 7831, 7832, 7833,
                         7834, 7835, 7836, 7837, 7838, 7839, 7840, 7841, 7842, 7843, 7844,
                         7845, 7846, 7847, 7848, 7849, 7850, 7851, 7852, 7853, 7854};

unsigned gLanguage = 1;
unsigned languageNow() { return gLanguage; }

TextTable loadTable(int language) {
  const QString name = QStringLiteral(NORZA_TEXT_TABLES "/Help") +
                       QString::fromStdU16String(languageTag(language)) + QStringLiteral(".tsv");
  QFile file(name);
  TextTable table;
  std::string error;
  if (!file.open(QIODevice::ReadOnly)) {
    ADD_FAILURE() << "cannot read " << name.toStdString();
    return table;
  }
  EXPECT_TRUE(parseTextTable(file.readAll().toStdString(), table, &error)) << error;
  return table;
}

class ShippedTexts : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    saved = QDir::searchPaths(QStringLiteral("resource"));
    QDir::setSearchPaths(QStringLiteral("resource"), {QStringLiteral(NORZA_SHIPPED_RESOURCES)});
    resetTextLookupForTesting();
    setCurrentLanguageSource(languageNow);
  }
  void TearDown() override {
    resetTextLookupForTesting();
    setCurrentLanguageSource(nullptr);
    QDir::setSearchPaths(QStringLiteral("resource"), saved);
  }
  QStringList saved;
};

TEST_P(ShippedTexts, EveryIdInUseHasItsText) {
  const int language = GetParam();
  const TextTable table = loadTable(language);
  // Russian is reached only by naming it; 0..8 come as the current language.
  gLanguage = language <= 8 ? unsigned(language) : 1u;
  const int asked = language <= 8 ? 0 : language;
  for (int id : kIdsInUse) {
    const QString text = textById(id, asked);
    ASSERT_FALSE(text.isEmpty()) << "language " << language << " id " << id;
    ASSERT_TRUE(table.count(id)) << "language " << language << " id " << id;
    EXPECT_EQ(text.toStdU16String(), table.at(id)) << "language " << language << " id " << id;
  }
  // The dialog drops the last character of 521 and adds its own dots.
  EXPECT_GE(textById(521, asked).size(), 2);
  EXPECT_TRUE(textById(7774, asked).endsWith(QChar(0x2026)));
  // The dialog fills in %1 (and %2) as the English texts have them.
  for (int id : {7800, 7802, 7803, 7804, 7805, 7806, 7811}) {
    EXPECT_EQ(textById(id, asked).count(QStringLiteral("%1")), 1)
        << "language " << language << " id " << id;
  }
  for (int id : {7802, 7805}) {
    EXPECT_EQ(textById(id, asked).count(QStringLiteral("%2")), 1)
        << "language " << language << " id " << id;
  }
  // The station's texts fill in the placeholders their English texts have, no others.
  for (int id = 7829; id <= 7854; ++id) {
    const QString english = textById(id, 1);
    const QString text = textById(id, asked);
    for (const char* mark : {"%1", "%2", "%3"}) {
      EXPECT_EQ(text.count(QLatin1String(mark)), english.count(QLatin1String(mark)))
          << "language " << language << " id " << id << " " << mark;
    }
  }
  EXPECT_TRUE(textById(7849, asked).endsWith(QChar(0x2026)));
  const QString folder = textById(657, asked);
  for (QChar c : QStringLiteral("/\\:*?\"<>|"))
    EXPECT_FALSE(folder.contains(c)) << "language " << language;
  EXPECT_FALSE(folder.endsWith('.') || folder.endsWith(' ') || folder.startsWith(' '));
}

TEST_P(ShippedTexts, PackageIsCodedAndFallsBackToEnglish) {
  const int language = GetParam();
  const std::u16string name = packageFileName(language);
  auto package = openPackage(name.c_str(), readResourceRange);
  ASSERT_TRUE(package);
  EXPECT_NE(package->header.treeSize, 0u);
  const uint32_t* codes = package->header.languages;
  EXPECT_TRUE(std::find(codes, codes + kLanguageSlots, 1u) != codes + kLanguageSlots);
  // The untagged package carries variant 1 of language 0, so that code 0
  // (an empty slot) is never its own.
  EXPECT_EQ(package->packageCode(), language == 0 ? 0x80u : uint32_t(language));
}

INSTANTIATE_TEST_SUITE_P(AllLanguages, ShippedTexts, ::testing::Range(0, 10));

}  // namespace
}  // namespace norza
