// Builds resource packages: header, index, optional decoding tree and the
// blocks, plain UTF-16LE or coded with a Huffman code over UTF-16 units.
#pragma once

#include "texttable.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace norza {

struct PackOptions {
  uint32_t code = 1;                // the package's own code (first slot)
  std::vector<uint32_t> languages;  // up to three further codes
  bool coded = true;
};

// A prefix code over 16-bit symbols with its serialized decoding tree.
class HuffmanCode {
 public:
  // Builds the code for these symbol counts (symbols with count 0 are left
  // out). False when the tree cannot be stored (a branch-0 subtree that
  // exceeds 65535 bytes on both sides, which needs tens of thousands of
  // distinct units) or there are no symbols.
  bool build(const std::map<char16_t, uint64_t>& counts, std::string* error);

  struct Code {
    uint64_t bits = 0;  // bit k = branch taken at depth k
    unsigned length = 0;
  };

  const std::vector<uint8_t>& tree() const { return tree_; }
  bool has(char16_t symbol) const { return codes_.count(symbol) != 0; }
  const Code& codeOf(char16_t symbol) const { return codes_.at(symbol); }

 private:
  std::vector<uint8_t> tree_;
  std::map<char16_t, Code> codes_;
};

// Writes bits low bit first into bytes, the way the decoder reads them.
class BitWriter {
 public:
  void put(bool bit);
  void putCode(const HuffmanCode& code, char16_t symbol);
  // Ends a string: the rest of the byte is padding and, unless this was the
  // block's last string, one further byte that the decoder skips.
  void endString(bool lastOfBlock);
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 8;  // bits used in the last byte
};

// Counts every unit of every string plus one terminating 0 per string.
void countSymbols(const std::vector<std::u16string>& strings, std::map<char16_t, uint64_t>& counts);

// One coded block of these strings (position i = string i).
std::vector<uint8_t> encodeCodedBlock(const std::vector<std::u16string>& strings,
                                      const HuffmanCode& code);
// One plain block: UTF-16LE units, each string ended by a zero unit.
std::vector<uint8_t> encodePlainBlock(const std::vector<std::u16string>& strings);

// The whole package file for a table. False (with a message) when the
// options or texts cannot be stored.
bool buildPackage(const TextTable& table, const PackOptions& options, std::vector<uint8_t>& out,
                  std::string* error);

}  // namespace norza
