#include "texttable.h"

#include <QString>
#include <QTextCodec>

#include <charconv>

namespace norza {

namespace {

constexpr int kUtf8Mib = 106;  // IANA MIBenum of UTF-8

}  // namespace

bool utf8ToUtf16(const std::string& in, std::u16string& out) {
  // IgnoreHeader keeps a leading U+FEFF as text; the state counts what the
  // decoder replaced (overlongs, surrogates, beyond U+10FFFF) or left unfinished.
  QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
  const QString s =
      QTextCodec::codecForMib(kUtf8Mib)->toUnicode(in.data(), static_cast<int>(in.size()), &state);
  if (state.invalidChars != 0 || state.remainingChars != 0) {
    out.clear();
    return false;
  }
  out.assign(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size()));
  return true;
}

std::string utf16ToUtf8(const std::u16string& in) {
  // Lone surrogates become U+FFFD first: toUtf8 would write '?'.
  QString s = toQString(in.data(), in.size());
  for (int i = 0; i < s.size(); ++i) {
    if (s.at(i).isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate())
      ++i;
    else if (s.at(i).isSurrogate())
      s[i] = QChar::ReplacementCharacter;
  }
  return s.toStdString();
}

namespace {

bool fail(std::string* error, size_t line, const std::string& what) {
  if (error) *error = "line " + std::to_string(line) + ": " + what;
  return false;
}

bool unescape(const std::string& raw, std::string& out, std::string& what) {
  out.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      out += raw[i];
      continue;
    }
    if (i + 1 == raw.size()) {
      what = "backslash at the end of the line";
      return false;
    }
    const char e = raw[++i];
    if (e == 't')
      out += '\t';
    else if (e == 'n')
      out += '\n';
    else if (e == '\\')
      out += '\\';
    else {
      what = std::string("unknown escape \\") + e;
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseTextTable(const std::string& utf8, TextTable& table, std::string* error) {
  table.clear();
  size_t pos = 0;
  size_t lineNo = 0;
  if (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;  // editors may add a BOM
  while (pos < utf8.size()) {
    size_t end = utf8.find('\n', pos);
    if (end == std::string::npos) end = utf8.size();
    std::string line = utf8.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;

    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return fail(error, lineNo, "no TAB between id and text");
    const std::string idText = line.substr(0, tab);
    if (idText.empty() || idText.find_first_not_of("0123456789") != std::string::npos)
      return fail(error, lineNo, "id '" + idText + "' is not a decimal number");
    uint64_t id = 0;
    const auto parsed = std::from_chars(idText.data(), idText.data() + idText.size(), id);
    if (parsed.ec != std::errc() || id == 0 || id > 0x7FFFFFFFull)
      return fail(error, lineNo, "id " + idText + " is outside 1..2147483647");
    if (table.count(static_cast<int32_t>(id)))
      return fail(error, lineNo, "id " + idText + " appears twice");

    std::string text, what;
    if (!unescape(line.substr(tab + 1), text, what)) return fail(error, lineNo, what);
    std::u16string units;
    if (!utf8ToUtf16(text, units)) return fail(error, lineNo, "text is not valid UTF-8");
    for (char16_t u : units) {
      if (u == 0) return fail(error, lineNo, "text holds a NUL character");
      // Coded packages drop carriage returns, so the table cannot hold one.
      if (u == 13) return fail(error, lineNo, "text holds a carriage return");
    }
    table.emplace(static_cast<int32_t>(id), std::move(units));
  }
  return true;
}

std::string formatTextTable(const TextTable& table) {
  std::string out = "# id<TAB>text\n";
  for (const auto& [id, text] : table) {
    out += std::to_string(id);
    out += '\t';
    for (char c : utf16ToUtf8(text)) {
      if (c == '\t')
        out += "\\t";
      else if (c == '\n')
        out += "\\n";
      else if (c == '\\')
        out += "\\\\";
      else
        out += c;
    }
    out += '\n';
  }
  return out;
}

}  // namespace norza
