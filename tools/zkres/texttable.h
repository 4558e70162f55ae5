// The translators' text table: UTF-8, one text per line as
//   id<TAB>text
// with '#' comment lines, blank lines ignored, and the escapes \t \n \\ in
// the text. A trailing CR (Windows line ends) is removed.
#pragma once

#include <QString>

#include <cstdint>
#include <map>
#include <string>

namespace norza {

using TextTable = std::map<int32_t, std::u16string>;

// Parses a table; false with a message naming the line on the first error.
bool parseTextTable(const std::string& utf8, TextTable& table, std::string* error);

// Writes a table in the same format (escaping what needs it), so that
// parseTextTable(formatTextTable(t)) == t for every table without CR or NUL.
std::string formatTextTable(const TextTable& table);

// Strict UTF-8 <-> UTF-16 conversion (no overlongs, no encoded surrogates).
bool utf8ToUtf16(const std::string& in, std::u16string& out);
// Lone surrogates are written as U+FFFD.
std::string utf16ToUtf8(const std::u16string& in);

// The units as they are: QString::fromUtf16 would take a leading U+FEFF or
// U+FFFE for a byte order mark.
inline QString toQString(const char16_t* units, size_t length) {
  return QString(reinterpret_cast<const QChar*>(units), static_cast<int>(length));
}

}  // namespace norza
