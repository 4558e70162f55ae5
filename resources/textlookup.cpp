#include "textlookup.h"

#include "lookup.h"

#include <utility>

namespace norza {

namespace {

// Process-wide state, created empty before main and released at exit (so the
// leak checker sees every package and block freed). GUI thread only.
struct LookupState {
  PackageRegistry registry;
  BlockCache cache;
  CurrentLanguageFn languageSource = nullptr;
  ReadRangeFn reader;  // empty: readResourceRange
};

LookupState gState;

const ReadRangeFn& activeReader() {
  static const ReadRangeFn kResourceReader = readResourceRange;
  return gState.reader ? gState.reader : kResourceReader;
}

bool sameFile(const ResourcePackage& package, const std::u16string& fileName) {
  return fileName == package.packageFile;
}

}  // namespace

void PackageRegistry::clear() {
  for (auto& package : packages_) releasePackage(package);
  packages_.clear();
}

int BlockCache::find(uint32_t languageCode, int pass, int32_t blockNumber) const {
  for (size_t i = entries_.size(); i-- > 0;) {
    const CachedBlock& e = *entries_[i];
    if (e.languageCode == languageCode && e.pass == pass && e.blockNumber == blockNumber)
      return static_cast<int>(i);
  }
  return -1;
}

void BlockCache::moveToFront(size_t position) {
  if (position != 0 && position < entries_.size()) std::swap(entries_[0], entries_[position]);
}

void BlockCache::trim() {
  // After a swap the entry at kCapacity is the one that was at the front
  // before, so that is the one released, not the least recently used.
  while (entries_.size() > kCapacity) entries_.erase(entries_.begin() + kCapacity);
}

PackageRegistry& packageRegistry() { return gState.registry; }
BlockCache& blockCache() { return gState.cache; }

unsigned currentLanguage() { return gState.languageSource ? gState.languageSource() : 1u; }

ResourcePackage* findPackage(int language, int variant) {
  if (language == 0) language = static_cast<int>(currentLanguage());
  const uint32_t code =
      variant ? (static_cast<uint32_t>(language) | kVariantBit) : static_cast<uint32_t>(language);
  auto& packages = gState.registry.packages();
  for (size_t i = packages.size(); i-- > 0;)
    if (packages[i]->packageCode() == code) return packages[i].get();

  const std::u16string fileName = packageFileName(language);
  if (fileName.empty()) return nullptr;
  // A plain-code file asked for as variant 1 answers again instead of being
  // opened and appended at every such request: its texts are the same. Only
  // that case; any other request opens the file as it stands.
  if (variant != 0 && (static_cast<uint32_t>(language) & kVariantBit) == 0) {
    for (size_t i = packages.size(); i-- > 0;)
      if (packages[i]->packageCode() == static_cast<uint32_t>(language) &&
          sameFile(*packages[i], fileName))
        return packages[i].get();
  }

  auto package = openPackage(fileName.c_str(), activeReader());
  if (!package) return nullptr;
  packages.push_back(std::move(package));
  return packages.back().get();
}

namespace {

// Answer of one pass: the string, or nullptr when the pass finds nothing.
const char16_t* usable(const StringList& list, uint32_t position) {
  if (position >= list.size()) return nullptr;
  const char16_t* s = list.at(position);
  return s[0] != 0 ? s : nullptr;  // an empty text counts as missing
}

const char16_t* searchPass(ResourcePackage& package, uint32_t code, int pass, int32_t block,
                           uint32_t position) {
  BlockCache& cache = gState.cache;
  const int hit = cache.find(code, pass, block);
  if (hit >= 0) {
    auto& entries = cache.entries();
    if (position >= entries[static_cast<size_t>(hit)]->strings.size()) return nullptr;
    cache.moveToFront(static_cast<size_t>(hit));
    cache.trim();
    return usable(entries[0]->strings, position);
  }

  if (!ensureIndex(package)) return nullptr;
  const PackageIndexEntry* entry = nullptr;
  for (size_t i = package.index.size(); i-- > 0;) {
    if (static_cast<int64_t>(package.index[i].blockNumber()) == block) {
      entry = &package.index[i];
      break;
    }
  }
  if (!entry) return nullptr;
  // A coded package whose tree cannot be read yields no texts (nothing is
  // cached, so a later lookup tries the tree again).
  ensureTree(package);
  if (!canDecode(package)) return nullptr;
  ByteBuffer bytes;
  size_t size = 0;
  if (!readBlock(package, *entry, bytes, size)) return nullptr;

  auto cached = std::make_unique<CachedBlock>();
  cached->languageCode = code;
  cached->pass = pass;
  cached->blockNumber = block;
  decodeBlock(cached->strings, bytes.get(), size,
              package.tree.empty() ? nullptr : package.tree.data(), package.tree.size(),
              entry->lastIndex());
  bytes.reset();
  auto& entries = cache.entries();
  entries.push_back(std::move(cached));
  if (entries.size() > 1) cache.moveToFront(entries.size() - 1);
  cache.trim();
  return usable(entries[0]->strings, position);
}

}  // namespace

const char16_t* lookupText(int id, int language) {
  static const char16_t kEmpty[1] = {0};
  if (id == 0) return kEmpty;
  if (language == 0) language = static_cast<int>(currentLanguage());

  ResourcePackage* primary = findPackage(language, 1);
  if (!primary) primary = findPackage(language, 0);
  if (!primary) primary = findPackage(1, 1);
  if (!primary) primary = findPackage(1, 0);
  if (!primary) return nullptr;

  const int32_t block = id >> 9;  // arithmetic: negative ids match no block
  const uint32_t position = static_cast<uint32_t>(id) & 511u;
  // Copy the list: findPackage may append to the registry, but the primary
  // package's record itself never moves (it is held by unique_ptr).
  uint32_t slots[kLanguageSlots];
  for (int i = 0; i < kLanguageSlots; ++i) slots[i] = primary->header.languages[i];
  for (uint32_t code : slots) {
    if (code == 0) continue;
    for (int pass = 0; pass < 2; ++pass) {
      ResourcePackage* package = findPackage(static_cast<int>(code), pass == 0 ? 1 : 0);
      if (!package) continue;
      if (const char16_t* text = searchPass(*package, code, pass, block, position)) return text;
    }
  }
  return nullptr;
}

void resetTextLookupForTesting() {
  gState.cache.clear();
  gState.registry.clear();
}

void setPackageReaderForTesting(ReadRangeFn reader) { gState.reader = std::move(reader); }

}  // namespace norza

QString textById(int id, int language) {
  const char16_t* text = norza::lookupText(id, language);
  if (!text) return QString();
  return QString::fromUtf16(text);
}

void setCurrentLanguageSource(CurrentLanguageFn source) { norza::gState.languageSource = source; }
