// zkres: builds, shows and queries resource packages.
//   zkres pack [--code N] [--languages A,B,C] [--plain|--coded] -o OUT TABLE
//   zkres dump FILE
//   zkres lookup --dir DIR --language L ID...
// Exit codes: 0 done, 1 bad usage or input, 2 the file is not a package.
#include "dump.h"
#include "lookup.h"
#include "packbuilder.h"
#include "textlookup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage:\n"
    "  zkres pack [--code N] [--languages A,B,C] [--plain|--coded] -o OUT TABLE.tsv\n"
    "  zkres dump FILE\n"
    "  zkres lookup --dir DIR --language L ID...\n";

int usage(const std::string& why) {
  if (!why.empty()) std::fprintf(stderr, "zkres: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 1;
}

bool parseUnsigned(const std::string& s, uint32_t& value) {
  uint32_t v = 0;
  const char* end = s.data() + s.size();
  const auto parsed = std::from_chars(s.data(), end, v);
  if (parsed.ec != std::errc() || parsed.ptr != end) return false;
  value = v;
  return true;
}

bool parseInt(const std::string& s, int& value) {
  // Leading white space and a '+' sign stay accepted, as strtoll took them.
  size_t begin = s.find_first_not_of(" \t\n\v\f\r");
  if (begin == std::string::npos) return false;
  if (s[begin] == '+' && s.compare(begin + 1, 1, "-") != 0) ++begin;
  int32_t v = 0;
  const char* end = s.data() + s.size();
  const auto parsed = std::from_chars(s.data() + begin, end, v);
  if (parsed.ec != std::errc() || parsed.ptr != end) return false;
  value = v;
  return true;
}

std::u16string toU16(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()),
                        static_cast<size_t>(s.size()));
}

struct PackRequest {
  norza::PackOptions options;
  std::string inPath, outPath;  // as the file system spells them
};

bool parseLanguages(const QString& list, std::vector<uint32_t>& codes) {
  codes.clear();
  for (const QString& part : list.split(QLatin1Char(','))) {
    uint32_t code = 0;
    if (!parseUnsigned(part.toStdString(), code)) return false;
    codes.push_back(code);
  }
  return true;
}

// 0 when the request is complete, else the exit code after the message.
int parsePackArguments(const QStringList& args, PackRequest& request) {
  const QCommandLineOption plain(QStringLiteral("plain"));
  const QCommandLineOption coded(QStringLiteral("coded"));
  const QCommandLineOption code(QStringLiteral("code"), QString(), QStringLiteral("N"));
  const QCommandLineOption languages(QStringLiteral("languages"), QString(),
                                     QStringLiteral("A,B,C"));
  const QCommandLineOption out(QStringLiteral("o"), QString(), QStringLiteral("OUT"));
  QCommandLineParser parser;
  parser.addOptions({plain, coded, code, languages, out});
  if (!parser.parse(QStringList{QStringLiteral("zkres")} + args))
    return usage(parser.errorText().toStdString());

  for (const QString& name : parser.optionNames()) {  // the last of --plain/--coded wins
    if (plain.names().contains(name)) request.options.coded = false;
    if (coded.names().contains(name)) request.options.coded = true;
  }
  for (const QString& value : parser.values(code)) {
    if (!parseUnsigned(value.toStdString(), request.options.code))
      return usage("--code wants a number");
  }
  for (const QString& value : parser.values(languages)) {
    if (!parseLanguages(value, request.options.languages))
      return usage("--languages wants numbers separated by commas");
  }
  if (parser.isSet(out)) request.outPath = QFile::encodeName(parser.value(out)).toStdString();
  for (const QString& a : parser.positionalArguments()) {
    // The parser passes "-" (and what follows "--") on as positional.
    if (a.startsWith(QLatin1Char('-'))) return usage("unknown option " + a.toStdString());
    if (!request.inPath.empty()) return usage("one table only");
    request.inPath = QFile::encodeName(a).toStdString();
  }
  if (request.inPath.empty() || request.outPath.empty())
    return usage("pack needs a table and -o OUT");
  return 0;
}

bool readTable(const std::string& path, norza::TextTable& table) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "zkres: cannot read %s\n", path.c_str());
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  if (!norza::parseTextTable(text, table, &error)) {
    std::fprintf(stderr, "zkres: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "zkres: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

int runPack(const std::vector<std::string>& args) {
  QStringList qargs;
  for (const std::string& a : args) qargs << QString::fromLocal8Bit(a.c_str());
  PackRequest request;
  if (const int status = parsePackArguments(qargs, request)) return status;

  norza::TextTable table;
  if (!readTable(request.inPath, table)) return 1;
  std::vector<uint8_t> package;
  std::string error;
  if (!norza::buildPackage(table, request.options, package, &error)) {
    std::fprintf(stderr, "zkres: %s: %s\n", request.inPath.c_str(), error.c_str());
    return 1;
  }
  return writeFile(request.outPath, package) ? 0 : 1;
}

// Hand-written: the one argument is the file even when it starts with '-'.
int runDump(const std::vector<std::string>& args) {
  if (args.size() != 1) return usage("dump takes one file");
  const std::u16string name = toU16(QString::fromLocal8Bit(args[0].c_str()));
  std::string error;
  const std::string json = norza::dumpPackageJson(name.c_str(), norza::readFileRange, &error);
  if (json.empty()) {
    std::fprintf(stderr, "zkres: %s: %s\n", args[0].c_str(), error.c_str());
    return 2;
  }
  std::fwrite(json.data(), 1, json.size(), stdout);
  return 0;
}

unsigned gLookupLanguage = 1;
unsigned lookupLanguage() { return gLookupLanguage; }

// Hand-written: ids may be negative ("-1"), which QCommandLineParser takes for options.
int runLookup(const std::vector<std::string>& args) {
  std::string dir;
  int language = 1;
  bool haveLanguage = false;
  std::vector<int> ids;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--dir" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (a == "--language" && i + 1 < args.size()) {
      if (!parseInt(args[++i], language)) return usage("--language wants a number");
      haveLanguage = true;
    } else {
      int id = 0;
      if (!parseInt(a, id)) return usage("not a text id: " + a);
      ids.push_back(id);
    }
  }
  if (dir.empty() || !haveLanguage || ids.empty())
    return usage("lookup needs --dir, --language and at least one id");
  QDir::setSearchPaths(QStringLiteral("resource"), {QString::fromLocal8Bit(dir.c_str())});
  gLookupLanguage = static_cast<unsigned>(language);
  setCurrentLanguageSource(lookupLanguage);
  for (int id : ids) {
    const char16_t* text = norza::lookupText(id, 0);
    const std::string line = (text ? norza::jsonString(std::u16string(text)) : "\"\"") + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) return usage("");
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "pack") return runPack(args);
  if (command == "dump") return runDump(args);
  if (command == "lookup") return runLookup(args);
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  return usage("unknown command " + command);
}
