// zkres: builds, shows and queries resource packages.
//   zkres pack [--code N] [--languages A,B,C] [--plain|--coded] -o OUT TABLE
//   zkres dump FILE
//   zkres lookup --dir DIR --language L ID...
// Exit codes: 0 done, 1 bad usage or input, 2 the file is not a package.
#include "dump.h"
#include "lookup.h"
#include "packbuilder.h"
#include "textlookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), nullptr, 10);
  if (errno != 0 || v > 0xFFFFFFFFull) return false;
  value = uint32_t(v);
  return true;
}

bool parseInt(const std::string& s, int& value) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  value = int(v);
  return true;
}

std::u16string toU16(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size()));
}

int runPack(const std::vector<std::string>& args) {
  norza::PackOptions options;
  std::string outPath, inPath;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--plain") {
      options.coded = false;
    } else if (a == "--coded") {
      options.coded = true;
    } else if (a == "--code" && hasValue) {
      if (!parseUnsigned(args[++i], options.code)) return usage("--code wants a number");
    } else if (a == "--languages" && hasValue) {
      std::string list = args[++i];
      options.languages.clear();
      size_t pos = 0;
      while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        uint32_t code = 0;
        if (!parseUnsigned(list.substr(pos, comma - pos), code))
          return usage("--languages wants numbers separated by commas");
        options.languages.push_back(code);
        pos = comma + 1;
      }
    } else if (a == "-o" && hasValue) {
      outPath = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else if (inPath.empty()) {
      inPath = a;
    } else {
      return usage("one table only");
    }
  }
  if (inPath.empty() || outPath.empty()) return usage("pack needs a table and -o OUT");

  std::ifstream in(inPath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "zkres: cannot read %s\n", inPath.c_str());
    return 1;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  norza::TextTable table;
  std::string error;
  if (!norza::parseTextTable(text, table, &error)) {
    std::fprintf(stderr, "zkres: %s: %s\n", inPath.c_str(), error.c_str());
    return 1;
  }
  std::vector<uint8_t> package;
  if (!norza::buildPackage(table, options, package, &error)) {
    std::fprintf(stderr, "zkres: %s: %s\n", inPath.c_str(), error.c_str());
    return 1;
  }
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(package.data()), std::streamsize(package.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "zkres: cannot write %s\n", outPath.c_str());
    return 1;
  }
  return 0;
}

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
  gLookupLanguage = unsigned(language);
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
