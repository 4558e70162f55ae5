#include "dump.h"

#include <cstdio>
#include <map>

#include "texttable.h"

namespace norza {

std::string jsonString(const char16_t* s, size_t n) {
  std::string out = "\"";
  char esc[8];
  auto escape = [&](unsigned u) {
    std::snprintf(esc, sizeof esc, "\\u%04x", u);
    out += esc;
  };
  for (size_t i = 0; i < n; ++i) {
    const uint32_t cp = codePointAt(s, n, i);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      escape(cp);
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (cp < 0x20) {
      escape(cp);
    } else {
      appendUtf8(out, cp);
    }
  }
  out += '"';
  return out;
}

std::string jsonString(const std::u16string& s) { return jsonString(s.data(), s.size()); }

std::string dumpPackageJson(const char16_t* fileName, const ReadRangeFn& reader,
                            std::string* error) {
  OpenFailure why = OpenFailure::None;
  auto package = openPackage(fileName, reader, &why);
  if (!package) {
    if (error) *error = describeOpenFailure(why);
    return {};
  }
  const PackageHeader& h = package->header;
  auto num = [](auto v) { return std::to_string(v); };
  std::string out = "{\n  \"header\": {";
  out += "\"magic\": " + num(h.magic);
  out += ", \"version\": " + num(h.version);
  out += ", \"headerSize\": " + num(h.headerSize);
  out += ", \"languages\": [";
  for (int i = 0; i < kLanguageSlots; ++i) out += (i ? ", " : "") + num(h.languages[i]);
  out += "], \"treeOffset\": " + num(h.treeOffset);
  out += ", \"treeSize\": " + num(h.treeSize);
  out += ", \"indexCount\": " + num(h.indexCount);
  out += ", \"indexOffset\": " + num(h.indexOffset);
  out += ", \"dataOffset\": " + num(h.dataOffset);
  out += "},\n";

  if (!ensureIndex(*package)) {
    out += "  \"index\": null,\n  \"blocks\": null\n}\n";
    return out;
  }
  out += "  \"index\": [";
  std::map<uint32_t, const PackageIndexEntry*> winners;  // the last entry wins
  for (size_t i = 0; i < package->index.size(); ++i) {
    const PackageIndexEntry& e = package->index[i];
    winners[e.blockNumber()] = &e;
    out += i ? ",\n    " : "\n    ";
    out += "{\"blockNumber\": " + num(e.blockNumber()) + ", \"lastIndex\": " + num(e.lastIndex()) +
           ", \"blockOffset\": " + num(e.blockOffset) + ", \"blockSize\": " + num(e.blockSize()) +
           "}";
  }
  out += package->index.empty() ? "],\n" : "\n  ],\n";

  out += "  \"blocks\": [";
  bool firstBlock = true;
  ensureTree(*package);
  for (const auto& [number, entry] : winners) {
    out += firstBlock ? "\n    " : ",\n    ";
    firstBlock = false;
    out += "{\"blockNumber\": " + num(number) + ", \"strings\": ";
    ByteBuffer bytes;
    size_t size = 0;
    if (!canDecode(*package) || !readBlock(*package, *entry, bytes, size)) {
      out += "null}";
      continue;
    }
    StringList list;
    decodeBlock(list, bytes.get(), size, package->tree.empty() ? nullptr : package->tree.data(),
                package->tree.size(), entry->lastIndex());
    out += "[";
    for (size_t i = 0; i < list.size(); ++i) {
      out += i ? ",\n      " : "\n      ";
      const std::u16string s = list.str(i);
      out += jsonString(s);
    }
    out += list.empty() ? "]}" : "\n    ]}";
  }
  out += winners.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace norza
