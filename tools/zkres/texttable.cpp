#include "texttable.h"

#include <cerrno>
#include <cstdlib>

namespace norza {

bool utf8ToUtf16(const std::string& in, std::u16string& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned c = s[i];
    uint32_t cp = 0;
    size_t len = 0;
    uint32_t min = 0;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      len = 2;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      len = 3;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      len = 4;
      min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (len > 1 && cp < min) return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += len;
  }
  return true;
}

uint32_t codePointAt(const char16_t* units, size_t length, size_t& i) {
  const uint32_t unit = units[i];
  if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 &&
      units[i + 1] <= 0xDFFF) {
    ++i;
    return 0x10000 + ((unit - 0xD800) << 10) + (units[i] - 0xDC00);
  }
  return unit;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string utf16ToUtf8(const std::u16string& in) {
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    const uint32_t cp = codePointAt(in.data(), in.size(), i);
    appendUtf8(out, cp >= 0xD800 && cp <= 0xDFFF ? 0xFFFD : cp);
  }
  return out;
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
    if (e == 't') out += '\t';
    else if (e == 'n') out += '\n';
    else if (e == '\\') out += '\\';
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
    errno = 0;
    const unsigned long long id = std::strtoull(idText.c_str(), nullptr, 10);
    if (errno != 0 || id == 0 || id > 0x7FFFFFFFull)
      return fail(error, lineNo, "id " + idText + " is outside 1..2147483647");
    if (table.count(int32_t(id))) return fail(error, lineNo, "id " + idText + " appears twice");

    std::string text, what;
    if (!unescape(line.substr(tab + 1), text, what)) return fail(error, lineNo, what);
    std::u16string units;
    if (!utf8ToUtf16(text, units)) return fail(error, lineNo, "text is not valid UTF-8");
    for (char16_t u : units) {
      if (u == 0) return fail(error, lineNo, "text holds a NUL character");
      // Coded packages drop carriage returns, so the table cannot hold one.
      if (u == 13) return fail(error, lineNo, "text holds a carriage return");
    }
    table.emplace(int32_t(id), std::move(units));
  }
  return true;
}

std::string formatTextTable(const TextTable& table) {
  std::string out = "# id<TAB>text\n";
  for (const auto& [id, text] : table) {
    out += std::to_string(id);
    out += '\t';
    for (char c : utf16ToUtf8(text)) {
      if (c == '\t') out += "\\t";
      else if (c == '\n') out += "\\n";
      else if (c == '\\') out += "\\\\";
      else out += c;
    }
    out += '\n';
  }
  return out;
}

}  // namespace norza
