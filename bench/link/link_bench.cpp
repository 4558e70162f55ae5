// Link benchmarks. Run as root for the loop-device pair (skipped otherwise).
// Fixed pauses are switched off: what is measured is the data moving.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "discovery.h"
#include "link.h"
#include "loop_device.h"
#include "pacing.h"
#include "platform.h"
#include "sysfs_tree.h"

namespace {

namespace fs = std::filesystem;
using norza::linktest::LoopDevice;
using norza::linktest::SysfsTree;

constexpr int64_t kTarget = 1 << 20;  // a multiple of 16 KiB, so dd can seek there too
constexpr std::size_t kImageSize = 16 << 20;

// Written and synced, so that no writeback of these pages competes with the
// measured transfers.
void WriteFile(const std::string& path, std::size_t size, char fill) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string block(1 << 16, fill);
  for (std::size_t done = 0; done < size; done += block.size()) {
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) break;
  }
  ::fsync(fd);
  ::close(fd);
}

// A loop device is no calculator: the reply it gives back is the command
// block as written, which the link would refuse and repeat six times. This
// wrapper adds the "accepted" bit to such a reply, so the device costs
// exactly the I/O of a calculator that accepts every command at once.
class AcceptingBackend final : public norza::platform::Backend {
 public:
  explicit AcceptingBackend(std::unique_ptr<norza::platform::Backend> inner)
      : inner_(std::move(inner)) {}
  void ListDiskInterfaces(std::vector<std::wstring>& paths) override {
    inner_->ListDiskInterfaces(paths);
  }
  norza::platform::Handle OpenDisk(const std::wstring& path) override {
    return inner_->OpenDisk(path);
  }
  norza::platform::Handle OpenFileForReading(const std::wstring& path) override {
    return inner_->OpenFileForReading(path);
  }
  bool DescribeFile(norza::platform::Handle h, norza::platform::FileFacts* facts) override {
    return inner_->DescribeFile(h, facts);
  }
  bool ReadAt(norza::platform::Handle h, int64_t at, void* b, uint32_t l, uint32_t* d) override {
    return inner_->ReadAt(h, at, b, l, d);
  }
  int64_t Size(norza::platform::Handle h) override { return inner_->Size(h); }
  int64_t Seek(norza::platform::Handle h, int64_t d, norza::platform::SeekFrom f) override {
    return inner_->Seek(h, d, f);
  }
  bool Read(norza::platform::Handle h, void* buffer, uint32_t length, uint32_t* done) override {
    const bool ok = inner_->Read(h, buffer, length, done);
    auto* bytes = static_cast<unsigned char*>(buffer);
    static const unsigned char kHead[] = {0xAA, 0x55, 0x55, 0xAA, 'B', 'X', 'C', 'D'};
    if (ok && length == 512 && *done == 512 && std::memcmp(bytes, kHead, sizeof kHead) == 0) {
      bytes[15] |= 0x80;
    }
    return ok;
  }
  bool Write(norza::platform::Handle h, const void* b, uint32_t l, uint32_t* d) override {
    return inner_->Write(h, b, l, d);
  }
  bool Flush(norza::platform::Handle h) override { return inner_->Flush(h); }
  void Close(norza::platform::Handle h) override { inner_->Close(h); }
  std::string LastErrorText() override { return inner_->LastErrorText(); }

 private:
  std::unique_ptr<norza::platform::Backend> inner_;
};

// One calculator in a fake sysfs whose node is a loop device over a file.
struct LoopSetup {
  SysfsTree tree;
  std::string image = tree.root() + "/image.bin";
  std::string backing = tree.root() + "/disk.img";
  std::unique_ptr<LoopDevice> loop;
  std::unique_ptr<norza::platform::Backend> backend =
      std::make_unique<AcceptingBackend>(norza::platform::CreateNativeBackend());

  LoopSetup() {
    WriteFile(image, kImageSize, 'i');
    WriteFile(backing, kImageSize + 2 * kTarget, '\0');
    loop = std::make_unique<LoopDevice>(backing);
    if (!loop->ok()) return;
    tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "BENCH", loop->node());
    tree.Activate();
  }
};

LoopSetup& Loop() {
  static LoopSetup setup;
  return setup;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double g_linkRate = 0;  // bytes per second, for the closing line
double g_ddRate = 0;

// The data phase of one image to a loop device next to dd writing the same
// image the same way (16 KiB, O_DIRECT | O_SYNC, same offset). The two
// alternate within every iteration, so both see the same load on the disk
// below.
void BM_DataPhaseVsDdToLoopDevice(benchmark::State& state) {
  LoopSetup& setup = Loop();
  if (!setup.loop->ok()) return state.SkipWithError(setup.loop->why().c_str());
  norza::SetPaceScale(0);
  norza::platform::SetBackendForTesting(setup.backend.get());
  const std::wstring image = norza::platform::Utf8ToWide(setup.image);
  const auto link = [&] {
    return DownloadImage(kCalculatorVendor, kCalculatorProduct, image.c_str(), kTarget, nullptr,
                         nullptr) == LINK_OK;
  };
  const std::string command =
      "dd if=" + setup.image + " of=" + setup.loop->node() +
      " bs=16k oflag=direct,sync conv=notrunc status=none seek=" + std::to_string(kTarget / 16384);
  const auto dd = [&] { return std::system(command.c_str()) == 0; };
  if (!link() || !dd()) state.SkipWithError("warm-up failed");
  double linkSeconds = 0;
  double ddSeconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!link()) state.SkipWithError("transfer failed");
    linkSeconds += Seconds(std::chrono::steady_clock::now() - start);
    start = std::chrono::steady_clock::now();
    if (!dd()) state.SkipWithError("dd failed");
    ddSeconds += Seconds(std::chrono::steady_clock::now() - start);
  }
  norza::platform::SetBackendForTesting(nullptr);
  const double bytes = static_cast<double>(state.iterations()) * kImageSize;
  g_linkRate = bytes / linkSeconds;
  g_ddRate = bytes / ddSeconds;
  state.counters["link_MB/s"] = g_linkRate / 1e6;
  state.counters["dd_MB/s"] = g_ddRate / 1e6;
  state.counters["link/dd"] = g_linkRate / g_ddRate;
}
BENCHMARK(BM_DataPhaseVsDdToLoopDevice)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(6);

// N calculators on loop devices over files of the temp directory, all
// written in parallel.
void BM_AggregateThroughput(benchmark::State& state) {
  const int calculators = static_cast<int>(state.range(0));
  constexpr std::size_t kSize = 4 << 20;
  SysfsTree tree;
  const std::string image = tree.root() + "/image.bin";
  WriteFile(image, kSize, 'i');
  std::vector<std::unique_ptr<LoopDevice>> loops;
  for (int i = 0; i < calculators; ++i) {
    const std::string name = std::string("sd") + static_cast<char>('b' + i);
    const std::string backing = tree.root() + "/" + name + ".img";
    WriteFile(backing, kSize + 2 * kTarget, '\0');
    loops.push_back(std::make_unique<LoopDevice>(backing));
    if (!loops.back()->ok()) return state.SkipWithError(loops.back()->why().c_str());
    tree.AddUsbDisk(name, i + 1, "ZK", "Norza update", "1.00", "B" + std::to_string(i),
                    loops.back()->node());
  }
  tree.Activate();
  const auto backend = norza::platform::CreateNativeBackend();
  norza::SetPaceScale(0);
  norza::platform::SetBackendForTesting(backend.get());
  const std::wstring wide = norza::platform::Utf8ToWide(image);
  for (auto _ : state) {
    if (DownloadImage(kCalculatorVendor, kCalculatorProduct, wide.c_str(), kTarget, nullptr,
                      nullptr) != LINK_OK) {
      state.SkipWithError("transfer failed");
    }
  }
  norza::platform::SetBackendForTesting(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize * calculators));
}
BENCHMARK(BM_AggregateThroughput)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// 32 block devices: calculators, other USB disks, SATA disks and loop
// devices without a device link.
void BM_DiscoveryPass32Devices(benchmark::State& state) {
  SysfsTree tree;
  for (int i = 0; i < 32; ++i) {
    const std::string name = "sd" + std::string(1, static_cast<char>('a' + i % 26)) +
                             (i >= 26 ? std::string(1, static_cast<char>('a' + i - 26)) : "");
    switch (i % 4) {
      case 0:
        tree.AddUsbDisk(name, i + 1, "ZK", "Norza update", "1.00", "N" + std::to_string(i));
        break;
      case 1:
        tree.AddUsbDisk(name, i + 1, "SanDisk", "Cruzer Blade", "1.00", "S" + std::to_string(i));
        break;
      case 2: tree.AddAtaDisk(name, "ATA", "Samsung SSD 870"); break;
      default: tree.AddVirtualDisk("loop" + std::to_string(i)); break;
    }
  }
  tree.Activate();
  const auto backend = norza::platform::CreateNativeBackend();
  norza::platform::SetBackendForTesting(backend.get());
  int32_t found = 0;
  for (auto _ : state) {
    found = norza::link::FindCalculatorDisks(norza::link::DevicePathTable.data(), kCalculatorVendor,
                                             kCalculatorProduct, norza::link::kDeviceSlots);
    benchmark::DoNotOptimize(found);
  }
  norza::platform::SetBackendForTesting(nullptr);
  state.counters["calculators"] = found;
}
BENCHMARK(BM_DiscoveryPass32Devices)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  if (g_linkRate > 0 && g_ddRate > 0) {
    std::printf("data phase to %s: link %.1f MB/s, dd %.1f MB/s, link/dd ratio %.2f\n",
                Loop().loop->node().c_str(), g_linkRate / 1e6, g_ddRate / 1e6,
                g_linkRate / g_ddRate);
  }
  benchmark::Shutdown();
  return 0;
}
