// JSON views of packages and texts for zkres and its tests.
#pragma once

#include "package.h"

#include <string>

namespace norza {

// A UTF-16 string as a JSON string literal (UTF-8; lone surrogates and
// control characters as \uXXXX escapes, except \b \f \n \r \t).
std::string jsonString(const char16_t* units, size_t length);
std::string jsonString(const std::u16string& s);

// The whole package as one indented JSON document (keys in alphabetical
// order, as QJsonDocument writes them), or an empty string (with the
// reason in *error) when the file does not open as a package.
std::string dumpPackageJson(const char16_t* fileName, const ReadRangeFn& reader,
                            std::string* error);

}  // namespace norza
