// Text lookup from the block cache, decoding of coded blocks of growing size,
// and the sizes of the shipped packages, coded against plain.
#include "lookup.h"
#include "packbuilder.h"
#include "textlookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <benchmark/benchmark.h>

#include <random>

namespace {

unsigned gLanguage = 4;
unsigned languageNow() { return gLanguage; }

void useShippedPackages(unsigned language) {
  QDir::setSearchPaths(QStringLiteral("resource"), {QStringLiteral(NORZA_SHIPPED_RESOURCES)});
  norza::resetTextLookupForTesting();
  gLanguage = language;
  setCurrentLanguageSource(languageNow);
}

// A lookup answered from the block cache (German, found in the first pass).
void BM_LookupCached(benchmark::State& state) {
  useShippedPackages(4);
  if (!norza::lookupText(2, 0)) state.SkipWithError("shipped German package not found");
  for (auto _ : state) benchmark::DoNotOptimize(norza::lookupText(2, 0));
}
BENCHMARK(BM_LookupCached);

// The same through textById, which copies into a QString.
void BM_TextByIdCached(benchmark::State& state) {
  useShippedPackages(4);
  for (auto _ : state) benchmark::DoNotOptimize(textById(744));
}
BENCHMARK(BM_TextByIdCached);

// The longest cached lookup: a text no package holds (id 3 shares block 0
// with ids 2 and 20), so both passes of the Dutch and the English slot are
// answered by the cache and find nothing.
void BM_LookupCachedFallback(benchmark::State& state) {
  useShippedPackages(6);
  norza::lookupText(3, 0);
  for (auto _ : state) benchmark::DoNotOptimize(norza::lookupText(3, 0));
}
BENCHMARK(BM_LookupCachedFallback);

// Typical UI strings: a few words from a small vocabulary, 5 to 60 units.
std::vector<std::u16string> uiStrings(size_t count) {
  static const std::u16string words[] = {
      u"Update",  u"firmware", u"calculator", u"connection", u"waiting",   u"for",
      u"the",     u"Cancel",   u"Start",      u"Done",       u"failed",    u"Retry",
      u"files",   u"Browse",   u"folder",     u"aborted",    u"available", u"No",
      u"updates", u"are",      u"Verbindung", u"Abbrechen",  u"mise",      u"à",
      u"jour",    u"…",        u"...",        u":",          u"(%1)",      u"-"};
  std::mt19937 rng(512);
  std::uniform_int_distribution<int> n(1, 7), pick(0, int(std::size(words)) - 1);
  std::vector<std::u16string> out;
  for (size_t i = 0; i < count; ++i) {
    std::u16string s;
    for (int k = n(rng); k > 0; --k) {
      if (!s.empty()) s += u' ';
      s += words[pick(rng)];
    }
    out.push_back(s);
  }
  return out;
}

void BM_DecodeCodedBlock(benchmark::State& state) {
  const auto strings = uiStrings(size_t(state.range(0)));
  std::map<char16_t, uint64_t> counts;
  norza::countSymbols(strings, counts);
  norza::HuffmanCode code;
  if (!code.build(counts, nullptr)) state.SkipWithError("no code");
  const auto block = norza::encodeCodedBlock(strings, code);
  size_t units = 0;
  for (const auto& s : strings) units += s.size() + 1;
  for (auto _ : state) {
    norza::StringList list;
    norza::decodeBlock(list, block.data(), block.size(), code.tree().data(), code.tree().size(),
                       511);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block.size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
  state.counters["block_bytes"] = double(block.size());
  state.counters["units"] = double(units);
  state.counters["plain_bytes"] = double(norza::encodePlainBlock(strings).size());
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DecodeCodedBlock)->RangeMultiplier(2)->Range(64, 512)->Complexity(benchmark::oN);

void BM_DecodePlainBlock(benchmark::State& state) {
  const auto strings = uiStrings(size_t(state.range(0)));
  const auto block = norza::encodePlainBlock(strings);
  for (auto _ : state) {
    norza::StringList list;
    norza::decodeBlock(list, block.data(), block.size(), nullptr, 0, 511);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DecodePlainBlock)->RangeMultiplier(2)->Range(64, 512)->Complexity(benchmark::oN);

// The block of the package fuzz/long_string_seed.py writes for a package of
// range(0) bytes: strings "", "" and then one string of a unit per bit (2.09
// million units at 256 KiB). Growing the output by a fixed step made this
// quadratic; the time must grow linearly.
void BM_DecodeLongString(benchmark::State& state) {
  const std::vector<uint8_t> tree = {3, 'A', 0, 0, 0};
  const size_t blockSize =
      size_t(state.range(0)) - norza::kHeaderSize - norza::kIndexEntrySize - tree.size();
  std::vector<uint8_t> block = {0x01, 0x00, 0x01, 0x00};
  block.resize(blockSize - 1, 0);
  block.push_back(0x01);
  const size_t units = 8 * (blockSize - 5);
  {
    norza::StringList list;
    norza::decodeBlock(list, block.data(), block.size(), tree.data(), tree.size(), 511);
    if (list.size() != 3 || std::char_traits<char16_t>::length(list.at(2)) != units)
      state.SkipWithError("not the expected long string");
  }
  for (auto _ : state) {
    norza::StringList list;
    norza::decodeBlock(list, block.data(), block.size(), tree.data(), tree.size(), 511);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block.size()));
  state.counters["units"] = double(units);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DecodeLongString)
    ->RangeMultiplier(2)
    ->Range(32 << 10, 256 << 10)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Sizes of the shipped tables packed both ways (one run each; the time is
// the packing time, the counters are the report).
void BM_ShippedPackageSizes(benchmark::State& state) {
  const int language = int(state.range(0));
  QFile file(QStringLiteral(NORZA_TEXT_TABLES "/Help") +
             QString::fromStdU16String(norza::languageTag(language)) + QStringLiteral(".tsv"));
  norza::TextTable table;
  if (!file.open(QIODevice::ReadOnly) ||
      !norza::parseTextTable(file.readAll().toStdString(), table, nullptr)) {
    state.SkipWithError("cannot read the text table");
    return;
  }
  std::vector<uint8_t> coded, plain;
  for (auto _ : state) {
    norza::buildPackage(table, norza::PackOptions{uint32_t(language), {1}, true}, coded, nullptr);
    norza::buildPackage(table, norza::PackOptions{uint32_t(language), {1}, false}, plain, nullptr);
  }
  state.SetLabel("Help" + QString::fromStdU16String(norza::languageTag(language)).toStdString());
  state.counters["coded_bytes"] = double(coded.size());
  state.counters["plain_bytes"] = double(plain.size());
  state.counters["coded_per_plain"] = double(coded.size()) / double(plain.size());
}
BENCHMARK(BM_ShippedPackageSizes)->DenseRange(0, 9)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  norza::resetTextLookupForTesting();
  return 0;
}
