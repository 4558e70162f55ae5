// libFuzzer target: the input is a resource package file. It is opened,
// its index, tree and every block are read and decoded, the raw bytes are
// also decoded as a tree plus a block, and the text lookup runs over it as
// the file of every language.
#include "lookup.h"
#include "package.h"
#include "textlookup.h"

#include <algorithm>
#include <cstring>

namespace {

const uint8_t* gData = nullptr;
size_t gSize = 0;

int64_t readInput(const char16_t*, norza::ByteBuffer& out, int64_t begin, int64_t end) {
  out.reset();
  const int64_t limit = std::min<int64_t>(end, int64_t(gSize));
  if (begin < 0 || begin >= limit) return 0;
  out.reset(new uint8_t[size_t(limit - begin)]);
  std::memcpy(out.get(), gData + begin, size_t(limit - begin));
  return limit - begin;
}

unsigned gLanguage = 4;
unsigned language() { return gLanguage; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gData = data;
  gSize = size;

  if (auto package = norza::openPackage(u"HelpDe.zkresource", readInput)) {
    if (norza::ensureIndex(*package)) {
      norza::ensureTree(*package);
      const size_t n = std::min<size_t>(package->index.size(), 64);
      for (size_t i = 0; i < n && norza::canDecode(*package); ++i) {
        norza::ByteBuffer block;
        size_t blockSize = 0;
        if (!norza::readBlock(*package, package->index[i], block, blockSize)) continue;
        norza::StringList list;
        norza::decodeBlock(list, block.get(), blockSize,
                           package->tree.empty() ? nullptr : package->tree.data(),
                           package->tree.size(), package->index[i].lastIndex());
        for (size_t k = 0; k < list.size(); ++k)
          (void)std::char_traits<char16_t>::length(list.at(k));
      }
    }
  }

  // The first byte splits the rest into a tree and a block.
  if (size > 1) {
    const size_t treeSize = std::min<size_t>(data[0], size - 1);
    norza::StringList list;
    norza::decodeBlock(list, data + 1 + treeSize, size - 1 - treeSize, data + 1, treeSize, 511);
    norza::decodeBlock(list, data + 1, size - 1, nullptr, 0, data[0]);
  }

  norza::resetTextLookupForTesting();
  norza::setPackageReaderForTesting(readInput);
  setCurrentLanguageSource(language);
  for (int id : {2, 20, 521, 627, 7774, 1, 512, 513}) (void)textById(id);
  norza::resetTextLookupForTesting();
  return 0;
}
