// libFuzzer target: the input is a resource package file. It is opened and
// its index, tree and blocks are read and decoded; small inputs are also
// decoded raw as a tree plus a block, and the text lookup runs over them as
// the file of every language.
//
// scripts/fuzz.sh runs it with a 1 s timeout, so the target keeps its own
// work linear in the input with a small factor: a timeout means the reader
// is slow, not that the target decoded the same bytes many times over.
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

// Inputs up to this size also go through the raw decoding and the lookup.
// Neither adds anything that depends on a block's length (the package path
// decodes every block), and the lookup may decode a block once in each of
// its eight passes, for three blocks: on large inputs they would only repeat
// the decoding.
constexpr size_t kSmallInput = 16 * 1024;

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
      // Blocks of a sound package do not overlap; overlapping ones are decoded
      // only while their total stays within the input.
      size_t decoded = 0;
      for (size_t i = 0; i < n && norza::canDecode(*package); ++i) {
        norza::ByteBuffer block;
        size_t blockSize = 0;
        if (!norza::readBlock(*package, package->index[i], block, blockSize)) continue;
        if (blockSize > size - decoded) continue;
        decoded += blockSize;
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
  if (size > 1 && size <= kSmallInput) {
    const size_t treeSize = std::min<size_t>(data[0], size - 1);
    norza::StringList list;
    norza::decodeBlock(list, data + 1 + treeSize, size - 1 - treeSize, data + 1, treeSize, 511);
    norza::decodeBlock(list, data + 1, size - 1, nullptr, 0, data[0]);
  }

  if (size <= kSmallInput) {
    norza::resetTextLookupForTesting();
    norza::setPackageReaderForTesting(readInput);
    setCurrentLanguageSource(language);
    for (int id : {2, 20, 521, 627, 7774, 1, 512, 513}) (void)textById(id);
    norza::resetTextLookupForTesting();
  }
  return 0;
}
