// zkres: the text table format, the package builder (round trips through
// the reader) and the command line.
#include "dump.h"
#include "packbuilder.h"
#include "textlookup.h"
#include "testutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

namespace norza {
namespace {

using test::MemoryFiles;

TEST(TextTable, ParsesCommentsEscapesAndLineEnds) {
  const std::string in =
      "\xEF\xBB\xBF# header comment\n"
      "\n"
      "2\tCancel\r\n"
      "   # indented comment\n"
      "20\tTab\\there\\nnew line \\\\ back\n"
      "21\t\n"
      "7774\tWaiting to start\xE2\x80\xA6\n"
      "30\t# not a comment\n"
      "31\tsmile \xF0\x9F\x98\x80";
  TextTable t;
  std::string error;
  ASSERT_TRUE(parseTextTable(in, t, &error)) << error;
  EXPECT_EQ(t.size(), 6u);
  EXPECT_EQ(t[2], u"Cancel");
  EXPECT_EQ(t[20], u"Tab\there\nnew line \\ back");
  EXPECT_EQ(t[21], u"");
  EXPECT_EQ(t[7774], u"Waiting to start\u2026");
  EXPECT_EQ(t[30], u"# not a comment");
  EXPECT_EQ(t[31], u"smile \U0001F600");
}

TEST(TextTable, RejectsBadLinesNamingThem) {
  const std::pair<const char*, const char*> cases[] = {
      {"1\tok\n2 no tab\n", "line 2"},
      {"0\tzero\n", "outside"},
      {"2147483648\tbig\n", "outside"},
      {"-3\tneg\n", "not a decimal"},
      {"5\ta\n5\tb\n", "twice"},
      {"5\tbad \\x escape\n", "unknown escape"},
      {"5\tends with \\", "end of the line"},
      {"5\t\xC3\x28\n", "UTF-8"},
      {"5\t\xED\xA0\x80\n", "UTF-8"},  // encoded surrogate
      {"5\t\xC0\xAF\n", "UTF-8"},      // overlong
      {"5\ta\rb\n", "carriage return"},
  };
  for (const auto& [in, expected] : cases) {
    TextTable t;
    std::string error;
    EXPECT_FALSE(parseTextTable(in, t, &error)) << in;
    EXPECT_NE(error.find(expected), std::string::npos) << in << " -> " << error;
  }
  TextTable t;
  std::string error;
  EXPECT_FALSE(parseTextTable(std::string("5\ta\0b\n", 6), t, &error));
  EXPECT_NE(error.find("NUL"), std::string::npos) << error;
}

// Random texts from several scripts, tabs, new lines and non-BMP characters.
std::u16string randomText(std::mt19937& rng) {
  static const std::u16string pieces[] = {
      u"a",  u"e", u"t", u" ",  u"Update", u"é",  u"ß",  u"ü",          u"…",          u"\t", u"\n",
      u"\\", u"Ж", u"и", u"固", u"件",     u"フ", u"ァ", u"\U0001F600", u"\U00020000", u".",  u"-"};
  std::uniform_int_distribution<int> len(0, 30), pick(0, int(std::size(pieces)) - 1);
  std::u16string s;
  for (int n = len(rng); n > 0; --n) s += pieces[pick(rng)];
  return s;
}

TextTable randomTable(uint32_t seed) {
  std::mt19937 rng(seed);
  const int32_t blocks[] = {0, 1, 2, 15, 4000, 0x3FFFFF};
  std::uniform_int_distribution<int> count(1, 120), block(0, 5), pos(0, 511);
  TextTable t;
  for (int n = count(rng); n > 0; --n) {
    const int64_t id = int64_t(blocks[block(rng)]) * 512 + pos(rng);
    if (id > 0 && id <= INT32_MAX) t[int32_t(id)] = randomText(rng);
  }
  return t;
}

// Every string of every block as the reader decodes it, by text id.
std::map<int32_t, std::u16string> readAll(const std::vector<uint8_t>& bytes) {
  MemoryFiles files;
  files.put(u"p", bytes);
  auto package = openPackage(u"p", files.reader());
  std::map<int32_t, std::u16string> out;
  if (!package || !ensureIndex(*package)) return out;
  ensureTree(*package);
  for (const auto& entry : package->index) {
    ByteBuffer block;
    size_t size = 0;
    if (!readBlock(*package, entry, block, size)) continue;
    StringList list;
    decodeBlock(list, block.get(), size, package->tree.empty() ? nullptr : package->tree.data(),
                package->tree.size(), entry.lastIndex());
    for (size_t i = 0; i < list.size(); ++i)
      out[int32_t(entry.blockNumber() * 512 + i)] = list.str(i);
  }
  return out;
}

TEST(PackBuilder, RandomTablesRoundTripCodedAndPlain) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    const TextTable table = randomTable(seed);
    for (bool coded : {true, false}) {
      std::vector<uint8_t> bytes;
      std::string error;
      ASSERT_TRUE(buildPackage(table, PackOptions{3, {9, 1}, coded}, bytes, &error)) << error;
      const auto decoded = readAll(bytes);
      // Every text is there, and every other decoded position is empty.
      for (const auto& [id, text] : table)
        ASSERT_EQ(decoded.count(id) ? decoded.at(id) : u"<missing>", text) << seed << " id " << id;
      for (const auto& [id, text] : decoded) {
        if (!table.count(id)) {
          ASSERT_TRUE(text.empty()) << seed << " id " << id;
        }
      }
    }
  }
}

TEST(PackBuilder, SingleSymbolAndEmptyTables) {
  // Only empty strings: the only symbol is the end of a string.
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(buildPackage({{1, u""}, {5, u""}}, PackOptions{1, {}, true}, bytes, nullptr));
  const auto decoded = readAll(bytes);
  EXPECT_EQ(decoded.size(), 6u);
  for (const auto& [id, text] : decoded) EXPECT_TRUE(text.empty()) << id;

  ASSERT_TRUE(buildPackage({}, PackOptions{1, {}, true}, bytes, nullptr));
  EXPECT_TRUE(readAll(bytes).empty());
  EXPECT_EQ(bytes.size(), kHeaderSize);
}

TEST(PackBuilder, CodedIsSmallerForUiText) {
  TextTable t;
  for (int i = 1; i <= 200; ++i)
    t[i] = u"Waiting for connection to the calculator, attempt " +
           std::u16string(1, char16_t(u'0' + i % 10));
  std::vector<uint8_t> coded, plain;
  ASSERT_TRUE(buildPackage(t, PackOptions{1, {}, true}, coded, nullptr));
  ASSERT_TRUE(buildPackage(t, PackOptions{1, {}, false}, plain, nullptr));
  EXPECT_LT(coded.size() * 3, plain.size());  // about 4 bits per unit against 16
}

TEST(Json, StringsEscapeWhatJsonNeeds) {
  const char16_t lone[] = {u'a', 0xDC00, u'b', 0xD83D};
  EXPECT_EQ(jsonString(lone, 4), "\"a\\udc00b\\ud83d\"");
  EXPECT_EQ(jsonString(u"q\"\\\n\t\x01"), "\"q\\\"\\\\\\n\\t\\u0001\"");
  EXPECT_EQ(jsonString(u"\u00e9\U0001F600"), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(jsonString(u"\u2026"), "\"\xE2\x80\xA6\"");
}

TEST(Utf, SixteenToEightEncodesEveryLengthAndReplacesLoneSurrogates) {
  EXPECT_EQ(utf16ToUtf8(u"a\u00e9\u2026\U0001F600"), "a\xC3\xA9\xE2\x80\xA6\xF0\x9F\x98\x80");
  const char16_t lone[] = {0xD83D, u'x', 0xDC00};
  EXPECT_EQ(utf16ToUtf8(std::u16string(lone, 3)), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

struct CommandRun {
  int exitCode = -1;
  QByteArray out, err;
};

CommandRun zkres(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(NORZA_ZKRES), args);
  CommandRun r;
  if (!p.waitForFinished(30000)) return r;
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

class ZkresCommand : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString path(const char* name) const { return dir.filePath(QString::fromUtf8(name)); }
  void write(const char* name, const QByteArray& bytes) {
    QFile f(path(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  QTemporaryDir dir;
};

TEST_F(ZkresCommand, PackThenDump) {
  write("es.tsv", "# Spanish\n2\tCancelar\n20\tIniciar\n627\tListo\n631\t\n");
  CommandRun pack = zkres(
      {"pack", "--code", "5", "--languages", "1", "-o", path("HelpEs.zkresource"), path("es.tsv")});
  ASSERT_EQ(pack.exitCode, 0) << pack.err.toStdString();
  CommandRun dump = zkres({"dump", path("HelpEs.zkresource")});
  ASSERT_EQ(dump.exitCode, 0) << dump.err.toStdString();
  QJsonParseError error;
  const QJsonObject doc = QJsonDocument::fromJson(dump.out, &error).object();
  ASSERT_EQ(error.error, QJsonParseError::NoError) << dump.out.toStdString();
  const QJsonObject header = doc["header"].toObject();
  EXPECT_EQ(header["magic"].toDouble(), double(kPackageMagic));
  EXPECT_EQ(header["version"].toDouble(), double(kPackageVersion0));
  EXPECT_EQ(header["headerSize"].toInt(), 332);
  EXPECT_EQ(header["languages"].toArray(), QJsonArray({5, 1, 0, 0}));
  EXPECT_EQ(header["indexCount"].toInt(), 2);
  EXPECT_GT(header["treeSize"].toInt(), 0);
  const QJsonArray index = doc["index"].toArray();
  ASSERT_EQ(index.size(), 2);
  EXPECT_EQ(index[1].toObject()["blockNumber"].toInt(), 1);
  EXPECT_EQ(index[1].toObject()["lastIndex"].toInt(), 631 - 512);
  const QJsonArray blocks = doc["blocks"].toArray();
  ASSERT_EQ(blocks.size(), 2);
  const QJsonArray b0 = blocks[0].toObject()["strings"].toArray();
  ASSERT_EQ(b0.size(), 21);
  EXPECT_EQ(b0[2].toString(), QStringLiteral("Cancelar"));
  EXPECT_EQ(b0[20].toString(), QStringLiteral("Iniciar"));
  EXPECT_EQ(blocks[1].toObject()["strings"].toArray()[627 - 512].toString(),
            QStringLiteral("Listo"));
}

TEST_F(ZkresCommand, DumpShowsUnreadablePartsAsNull) {
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(buildPackage({{2, u"a"}, {700, u"b"}}, PackOptions{1, {}, false}, bytes, nullptr));
  // Second index entry points past the end of the file.
  PackageIndexEntry::make(1, 188, 0x10000, 4).toBytes(&bytes[kHeaderSize + kIndexEntrySize]);
  write("blocks.zkresource",
        QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
  CommandRun dump = zkres({"dump", path("blocks.zkresource")});
  ASSERT_EQ(dump.exitCode, 0);
  QJsonObject doc = QJsonDocument::fromJson(dump.out).object();
  const QJsonArray blocks = doc["blocks"].toArray();
  ASSERT_EQ(blocks.size(), 2);
  EXPECT_TRUE(blocks[0].toObject()["strings"].isArray());
  EXPECT_TRUE(blocks[1].toObject()["strings"].isNull());

  bytes.resize(kHeaderSize + 4);  // index cut short
  write("index.zkresource",
        QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())));
  dump = zkres({"dump", path("index.zkresource")});
  ASSERT_EQ(dump.exitCode, 0);
  doc = QJsonDocument::fromJson(dump.out).object();
  EXPECT_EQ(doc["header"].toObject()["indexCount"].toInt(), 2);
  EXPECT_TRUE(doc["index"].isNull());
  EXPECT_TRUE(doc["blocks"].isNull());
}

TEST_F(ZkresCommand, DumpRejectsOtherFiles) {
  write("text.zkresource", "just some text, not a package");
  for (const QString& file : {path("text.zkresource"), path("missing.zkresource")}) {
    CommandRun dump = zkres({"dump", file});
    EXPECT_EQ(dump.exitCode, 2);
    EXPECT_TRUE(dump.out.isEmpty());
    EXPECT_EQ(dump.err.count('\n'), 1) << dump.err.toStdString();
  }
}

TEST_F(ZkresCommand, LookupFollowsTheFallbacks) {
  write("en.tsv", "2\tCancel\n20\tStart\n");
  write("de.tsv", "2\tAbbrechen\n20\t\n");
  ASSERT_EQ(
      zkres({"pack", "--code", "1", "-o", path("HelpEn.zkresource"), path("en.tsv")}).exitCode, 0);
  ASSERT_EQ(
      zkres({"pack", "--plain", "--code", "4", "-o", path("HelpDe.zkresource"), path("de.tsv")})
          .exitCode,
      0);
  CommandRun r = zkres({"lookup", "--dir", dir.path(), "--language", "4", "2", "20", "627", "0"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QByteArray("\"Abbrechen\"\n\"Start\"\n\"\"\n\"\"\n"));
}

TEST_F(ZkresCommand, PackReportsBadInput) {
  write("bad.tsv", "2\tok\n3 missing tab\n");
  CommandRun r = zkres({"pack", "-o", path("x.zkresource"), path("bad.tsv")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("line 2")) << r.err.toStdString();
  EXPECT_FALSE(QFile::exists(path("x.zkresource")));
  EXPECT_EQ(zkres({"pack", "--code", "x", "-o", path("x"), path("bad.tsv")}).exitCode, 1);
  EXPECT_EQ(zkres({"frobnicate"}).exitCode, 1);
  write("ok.tsv", "2\tok\n");
  r = zkres({"pack", "--languages", "2,3,4,5", "-o", path("x"), path("ok.tsv")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("three")) << r.err.toStdString();
}

}  // namespace
}  // namespace norza
