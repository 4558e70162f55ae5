#include "packbuilder.h"

#include "package.h"

#include <QtEndian>

#include <queue>
#include <tuple>

namespace norza {

namespace {

struct Node {
  uint64_t weight = 0;
  int symbol = -1;  // -1 for an inner node
  int child[2] = {-1, -1};
};

bool isLeaf(const std::vector<Node>& nodes, int n) {
  return nodes[static_cast<size_t>(n)].symbol >= 0;
}

void appendLe16(std::vector<uint8_t>& out, uint16_t value) {
  uint8_t bytes[2];
  qToLittleEndian<quint16>(value, bytes);
  out.insert(out.end(), bytes, bytes + 2);
}

void putRecord(std::vector<uint8_t>& out, uint8_t type, uint16_t value) {
  out.push_back(type);
  appendLe16(out, value);
}

// Serializes the subtree at n, choosing the compact record types where a
// branch is a leaf; may swap the children of type-0 nodes so that the
// branch-0 subtree's length fits the 16-bit value.
bool serialize(std::vector<Node>& nodes, int n, std::vector<uint8_t>& out, std::string* error) {
  Node& node = nodes[static_cast<size_t>(n)];
  const int c0 = node.child[0];
  const int c1 = node.child[1];
  const bool leaf0 = isLeaf(nodes, c0);
  const bool leaf1 = isLeaf(nodes, c1);
  if (leaf0 && leaf1) {
    putRecord(out, 3, static_cast<uint16_t>(nodes[size_t(c0)].symbol));
    appendLe16(out, static_cast<uint16_t>(nodes[size_t(c1)].symbol));
    return true;
  }
  if (!leaf0 && leaf1) {
    putRecord(out, 1, static_cast<uint16_t>(nodes[size_t(c1)].symbol));
    return serialize(nodes, c0, out, error);
  }
  if (leaf0 && !leaf1) {
    putRecord(out, 2, static_cast<uint16_t>(nodes[size_t(c0)].symbol));
    return serialize(nodes, c1, out, error);
  }
  std::vector<uint8_t> a, b;
  if (!serialize(nodes, c0, a, error) || !serialize(nodes, c1, b, error)) return false;
  if (a.size() > b.size()) {
    std::swap(a, b);
    std::swap(nodes[static_cast<size_t>(n)].child[0], nodes[static_cast<size_t>(n)].child[1]);
  }
  if (a.size() > 0xFFFF) {
    if (error) *error = "too many distinct characters for a decoding tree (use --plain)";
    return false;
  }
  putRecord(out, 0, static_cast<uint16_t>(a.size()));
  out.insert(out.end(), a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return true;
}

// One leaf per symbol that occurs, in symbol order.
std::vector<Node> makeLeaves(const std::map<char16_t, uint64_t>& counts) {
  std::vector<Node> nodes;
  for (const auto& [symbol, count] : counts) {
    if (count == 0) continue;
    Node leaf;
    leaf.weight = count;
    leaf.symbol = symbol;
    nodes.push_back(leaf);
  }
  return nodes;
}

// Joins the two lightest nodes until one is left; returns the root. Ties are
// broken by creation order, so the same counts give the same tree.
int mergeNodes(std::vector<Node>& nodes) {
  using Item = std::tuple<uint64_t, size_t>;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> queue;
  for (size_t i = 0; i < nodes.size(); ++i) queue.emplace(nodes[i].weight, i);
  while (queue.size() > 1) {
    const auto [wa, a] = queue.top();
    queue.pop();
    const auto [wb, b] = queue.top();
    queue.pop();
    Node inner;
    inner.weight = wa + wb;
    inner.child[0] = static_cast<int>(a);
    inner.child[1] = static_cast<int>(b);
    nodes.push_back(inner);
    queue.emplace(inner.weight, nodes.size() - 1);
  }
  return static_cast<int>(std::get<1>(queue.top()));
}

// The code of every leaf below root: bit k is the branch taken at depth k.
bool collectCodes(const std::vector<Node>& nodes, int root,
                  std::map<char16_t, HuffmanCode::Code>& codes, std::string* error) {
  struct Walk {
    int node;
    uint64_t bits;
    unsigned depth;
  };
  std::vector<Walk> stack{{root, 0, 0}};
  while (!stack.empty()) {
    const Walk w = stack.back();
    stack.pop_back();
    const Node& node = nodes[static_cast<size_t>(w.node)];
    if (node.symbol >= 0) {
      codes[static_cast<char16_t>(node.symbol)] = HuffmanCode::Code{w.bits, w.depth};
      continue;
    }
    if (w.depth >= 64) {
      if (error) *error = "code longer than 64 bits";
      return false;
    }
    stack.push_back({node.child[0], w.bits, w.depth + 1});
    stack.push_back({node.child[1], w.bits | (static_cast<uint64_t>(1) << w.depth), w.depth + 1});
  }
  return true;
}

}  // namespace

bool HuffmanCode::build(const std::map<char16_t, uint64_t>& counts, std::string* error) {
  tree_.clear();
  codes_.clear();
  std::vector<Node> nodes = makeLeaves(counts);
  if (nodes.empty()) {
    if (error) *error = "no symbols to code";
    return false;
  }
  if (nodes.size() == 1) {
    // One symbol still needs a two-branch root: both branches emit it.
    const char16_t s = static_cast<char16_t>(nodes[0].symbol);
    putRecord(tree_, 3, s);
    appendLe16(tree_, s);
    codes_[s] = Code{0, 1};
    return true;
  }
  const int root = mergeNodes(nodes);
  if (!serialize(nodes, root, tree_, error) || !collectCodes(nodes, root, codes_, error)) {
    tree_.clear();
    codes_.clear();
    return false;
  }
  return true;
}

void BitWriter::put(bool bit) {
  if (used_ == 8) {
    bytes_.push_back(0);
    used_ = 0;
  }
  if (bit) bytes_.back() |= static_cast<uint8_t>(1u << used_);
  ++used_;
}

void BitWriter::putCode(const HuffmanCode& code, char16_t symbol) {
  const HuffmanCode::Code& c = code.codeOf(symbol);
  for (unsigned k = 0; k < c.length; ++k) put((c.bits >> k) & 1u);
}

void BitWriter::endString(bool lastOfBlock) {
  used_ = 8;
  // The decoder skips the byte after a string's end; the last one needs none.
  if (!lastOfBlock) bytes_.push_back(0);
}

void countSymbols(const std::vector<std::u16string>& strings,
                  std::map<char16_t, uint64_t>& counts) {
  for (const auto& s : strings) {
    for (char16_t u : s) ++counts[u];
    ++counts[0];
  }
}

std::vector<uint8_t> encodeCodedBlock(const std::vector<std::u16string>& strings,
                                      const HuffmanCode& code) {
  BitWriter writer;
  for (size_t i = 0; i < strings.size(); ++i) {
    for (char16_t u : strings[i]) writer.putCode(code, u);
    writer.putCode(code, 0);
    writer.endString(i + 1 == strings.size());
  }
  return std::move(writer.bytes());
}

std::vector<uint8_t> encodePlainBlock(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> out;
  for (const auto& s : strings) {
    for (char16_t u : s) appendLe16(out, u);
    appendLe16(out, 0);
  }
  return out;
}

namespace {

// Block number -> strings by position; gaps are empty strings.
using BlockStrings = std::map<uint32_t, std::vector<std::u16string>>;

bool groupIntoBlocks(const TextTable& table, BlockStrings& blocks, std::string* error) {
  for (const auto& [id, text] : table) {
    if (id <= 0) {
      if (error) *error = "text ids must be positive";
      return false;
    }
    auto& strings = blocks[static_cast<uint32_t>(id) >> 9];
    const size_t position = static_cast<uint32_t>(id) & 511u;
    if (strings.size() <= position) strings.resize(position + 1);
    strings[position] = text;
  }
  return true;
}

// Header, index, tree, then the blocks; offsets in 64 bits to catch a
// package over 2 GiB before anything is narrowed.
struct Layout {
  uint64_t indexOffset = 0;
  uint64_t treeOffset = 0;
  uint64_t treeSize = 0;
  uint64_t dataOffset = 0;
  uint64_t total = 0;
};

Layout layOut(size_t blockCount, uint64_t treeSize, const std::vector<std::vector<uint8_t>>& data) {
  Layout l;
  l.indexOffset = kHeaderSize;
  l.treeOffset = l.indexOffset + static_cast<uint64_t>(blockCount) * kIndexEntrySize;
  l.treeSize = treeSize;
  l.dataOffset = l.treeOffset + treeSize;
  l.total = l.dataOffset;
  for (const auto& d : data) l.total += d.size();
  return l;
}

PackageHeader makeHeader(const PackOptions& options, const Layout& layout, size_t blockCount,
                         bool coded) {
  PackageHeader header;
  header.magic = kPackageMagic;
  header.version = kPackageVersion0;
  header.headerSize = kHeaderSize;
  header.languages[0] = options.code;
  for (size_t i = 0; i < options.languages.size(); ++i)
    header.languages[i + 1] = options.languages[i];
  header.treeOffset = coded ? static_cast<uint32_t>(layout.treeOffset) : 0;
  header.treeSize = static_cast<uint32_t>(layout.treeSize);
  header.indexCount = static_cast<int32_t>(blockCount);
  header.indexOffset = static_cast<uint32_t>(layout.indexOffset);
  header.dataOffset = static_cast<uint32_t>(layout.dataOffset);
  return header;
}

// One index entry per block, the blocks following each other in order.
void appendIndex(const BlockStrings& blocks, const std::vector<std::vector<uint8_t>>& data,
                 std::vector<uint8_t>& out) {
  uint32_t blockOffset = 0;
  size_t k = 0;
  for (const auto& entry : blocks) {
    uint8_t bytes[kIndexEntrySize];
    PackageIndexEntry::make(entry.first, static_cast<uint32_t>(entry.second.size() - 1),
                            blockOffset, static_cast<uint32_t>(data[k].size()))
        .toBytes(bytes);
    out.insert(out.end(), bytes, bytes + kIndexEntrySize);
    blockOffset += static_cast<uint32_t>(data[k].size());
    ++k;
  }
}

}  // namespace

bool buildPackage(const TextTable& table, const PackOptions& options, std::vector<uint8_t>& out,
                  std::string* error) {
  out.clear();
  if (options.languages.size() > kLanguageSlots - 1) {
    if (error) *error = "at most three further language codes";
    return false;
  }
  BlockStrings blocks;
  if (!groupIntoBlocks(table, blocks, error)) return false;

  HuffmanCode code;
  const bool coded = options.coded && !blocks.empty();
  if (coded) {
    std::map<char16_t, uint64_t> counts;
    for (const auto& entry : blocks) countSymbols(entry.second, counts);
    if (!code.build(counts, error)) return false;
  }
  std::vector<std::vector<uint8_t>> data;
  for (const auto& entry : blocks)
    data.push_back(coded ? encodeCodedBlock(entry.second, code) : encodePlainBlock(entry.second));

  const Layout layout = layOut(blocks.size(), coded ? code.tree().size() : 0, data);
  if (layout.total > 0x7FFFFFFFull) {
    if (error) *error = "package would exceed 2 GiB";
    return false;
  }
  out.reserve(static_cast<size_t>(layout.total));
  const auto headerBytes = makeHeader(options, layout, blocks.size(), coded).toBytes();
  out.insert(out.end(), headerBytes.begin(), headerBytes.end());
  appendIndex(blocks, data, out);
  if (coded) out.insert(out.end(), code.tree().begin(), code.tree().end());
  for (const auto& d : data) out.insert(out.end(), d.begin(), d.end());
  return true;
}

}  // namespace norza
