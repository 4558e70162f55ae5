// Text lookup by id: the process-wide package registry and block cache.
// Used only from the GUI thread; nothing here is locked.
#pragma once

#include "package.h"

#include <memory>
#include <vector>

namespace norza {

// Every package opened so far, in the order opened; searched from the back.
// Packages are never removed before exit.
class PackageRegistry {
 public:
  std::vector<std::unique_ptr<ResourcePackage>>& packages() { return packages_; }
  void clear();

 private:
  std::vector<std::unique_ptr<ResourcePackage>> packages_;
};

struct CachedBlock {
  uint32_t languageCode = 0;  // slot value of the primary package's list
  int pass = 0;               // 0: variant 1, 1: variant 0
  int32_t blockNumber = 0;
  StringList strings;
};

// At most kCapacity decoded blocks; position 0 is the one used last.
class BlockCache {
 public:
  static constexpr size_t kCapacity = 10;
  std::vector<std::unique_ptr<CachedBlock>>& entries() { return entries_; }
  // Index of the entry with this key, searched from the back; -1 if none.
  int find(uint32_t languageCode, int pass, int32_t blockNumber) const;
  void moveToFront(size_t position);
  // Releases the entry at position kCapacity until at most kCapacity remain.
  void trim();
  void clear() { entries_.clear(); }

 private:
  std::vector<std::unique_ptr<CachedBlock>> entries_;
};

PackageRegistry& packageRegistry();
BlockCache& blockCache();

// The current language from the registered source, 1 without one.
unsigned currentLanguage();

// The package for language (0: the current one) and variant, opening and
// registering its file when needed; nullptr when there is none.
ResourcePackage* findPackage(int language, int variant);

// The text with this id, valid until the next lookup; nullptr when no
// package holds a non-empty one. Id 0 gives a constant empty string.
const char16_t* lookupText(int id, int language);

// Testing only: empty the registry and the cache, and choose the reader that
// findPackage opens files with (nullptr restores readResourceRange).
void resetTextLookupForTesting();
void setPackageReaderForTesting(ReadRangeFn reader);

}  // namespace norza
