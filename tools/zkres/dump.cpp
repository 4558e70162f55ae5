#include "dump.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>

#include "texttable.h"

namespace norza {

namespace {

QJsonObject headerJson(const PackageHeader& h) {
  QJsonArray languages;
  for (uint32_t code : h.languages) languages.append(static_cast<qint64>(code));
  return QJsonObject{
      {QStringLiteral("magic"), static_cast<qint64>(h.magic)},
      {QStringLiteral("version"), static_cast<qint64>(h.version)},
      {QStringLiteral("headerSize"), static_cast<qint64>(h.headerSize)},
      {QStringLiteral("languages"), languages},
      {QStringLiteral("treeOffset"), static_cast<qint64>(h.treeOffset)},
      {QStringLiteral("treeSize"), static_cast<qint64>(h.treeSize)},
      {QStringLiteral("indexCount"), static_cast<qint64>(h.indexCount)},
      {QStringLiteral("indexOffset"), static_cast<qint64>(h.indexOffset)},
      {QStringLiteral("dataOffset"), static_cast<qint64>(h.dataOffset)},
  };
}

QJsonObject indexEntryJson(const PackageIndexEntry& e) {
  return QJsonObject{
      {QStringLiteral("blockNumber"), static_cast<qint64>(e.blockNumber())},
      {QStringLiteral("lastIndex"), static_cast<qint64>(e.lastIndex())},
      {QStringLiteral("blockOffset"), static_cast<qint64>(e.blockOffset)},
      {QStringLiteral("blockSize"), static_cast<qint64>(e.blockSize())},
  };
}

// The decoded strings of a block, or null when it cannot be read or decoded.
QJsonValue blockStringsJson(const ResourcePackage& package, const PackageIndexEntry& entry) {
  ByteBuffer bytes;
  size_t size = 0;
  if (!canDecode(package) || !readBlock(package, entry, bytes, size)) return QJsonValue();
  StringList list;
  decodeBlock(list, bytes.get(), size, package.tree.empty() ? nullptr : package.tree.data(),
              package.tree.size(), entry.lastIndex());
  QJsonArray strings;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::u16string s = list.str(i);
    strings.append(toQString(s.data(), s.size()));
  }
  return strings;
}

}  // namespace

std::string jsonString(const char16_t* s, size_t n) {
  // Qt 5 writes no bare values: the string goes out as a one-element array.
  const QByteArray array =
      QJsonDocument(QJsonArray{toQString(s, n)}).toJson(QJsonDocument::Compact);
  return array.mid(1, array.size() - 2).toStdString();
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
  QJsonObject doc{{QStringLiteral("header"), headerJson(package->header)},
                  {QStringLiteral("index"), QJsonValue()},
                  {QStringLiteral("blocks"), QJsonValue()}};
  if (ensureIndex(*package)) {
    QJsonArray index;
    std::map<uint32_t, const PackageIndexEntry*> winners;  // the last entry wins
    for (const PackageIndexEntry& e : package->index) {
      winners[e.blockNumber()] = &e;
      index.append(indexEntryJson(e));
    }
    ensureTree(*package);
    QJsonArray blocks;
    for (const auto& [number, entry] : winners) {
      blocks.append(QJsonObject{{QStringLiteral("blockNumber"), static_cast<qint64>(number)},
                                {QStringLiteral("strings"), blockStringsJson(*package, *entry)}});
    }
    doc[QStringLiteral("index")] = index;
    doc[QStringLiteral("blocks")] = blocks;
  }
  return QJsonDocument(doc).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace norza
