#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "aligned_buffer.h"
#include "link.h"
#include "link_fixture.h"
#include "loop_device.h"
#include "sysfs_tree.h"
#include "windows_path.h"

namespace norza::linktest {
namespace {

namespace fs = std::filesystem;
using platform::kInvalidHandle;
using platform::SeekFrom;

const wchar_t kCalculator[] =
    L"\\\\?\\usbstor#disk&ven_zk&prod_norza_update&rev_1.00#nz0042&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

TEST(LinuxDiscovery, ListsUsbDisksOnlyAndMapsThemToTheirNodes) {
  SysfsTree tree;
  tree.AddAtaDisk("sda", "ZK", "Norza update");  // not on USB: never listed
  tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042");
  tree.AddUsbDisk("sdc", 2, "Kingston", "DataTraveler 3.0", "PMAP", "");
  tree.AddUsbDisk("sdaa", 3, "ZK", "Norza update", "1.00", "NZ0042");  // same serial
  tree.AddVirtualDisk("loop0");
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(paths[0], kCalculator);
  EXPECT_EQ(paths[1],
            L"\\\\?\\usbstor#disk&ven_kingston&prod_datatraveler_3.0&rev_pmap#&0#"
            L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  EXPECT_NE(paths[2].find(L"#nz0042_sdaa&0#"), std::wstring::npos);
  EXPECT_EQ(backend->DeviceNodeOf(paths[0]), platform::Utf8ToWide(tree.dev() + "/sdb"));
  EXPECT_EQ(backend->DeviceNodeOf(L"nothing"), L"");
  // Who it is, for people: the serial as reported, the USB port it is in.
  const platform::DiskIdentity identity = backend->DescribeDisk(paths[0]);
  EXPECT_EQ(identity.serial, "NZ0042");
  EXPECT_EQ(identity.port, "1-1");
  EXPECT_EQ(backend->DescribeDisk(paths[2]).port, "1-3");

  platform::SetBackendForTesting(backend.get());
  EXPECT_EQ(link::FindCalculatorDisks(link::DevicePathTable.data(), kCalculatorVendor,
                                      kCalculatorProduct, 16),
            2);
  platform::SetBackendForTesting(nullptr);
}

int32_t CalculatorsFound(platform::Backend& backend) {
  platform::SetBackendForTesting(&backend);
  const int32_t count = link::FindCalculatorDisks(link::DevicePathTable.data(), kCalculatorVendor,
                                                  kCalculatorProduct, 16);
  platform::SetBackendForTesting(nullptr);
  return count;
}

// Only units that are disks count, and no sysfs field may make a device pass
// for a calculator: not a CD-ROM unit of the calculator itself, not a longer
// product name, not a serial that spells the calculator's path.
TEST(LinuxDiscovery, OnlyTheCalculatorsDiskUnitMatches) {
  SysfsTree tree;
  SysfsTree::Unit cdrom;
  cdrom.scsiType = 5;
  cdrom.lun = 1;
  tree.AddUsbDisk("sr0", 1, "ZK", "Norza update", "1.00", "NZ0042", "", cdrom);
  tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042");
  tree.AddUsbDisk("sdc", 2, "ZK", "Norza update2", "1.00", "NZ0043");
  tree.AddUsbDisk("sdd", 3, "Generic", "Flash Disk", "8.07",
                  "\\\\?\\usbstor#disk&ven_zk&prod_norza_update&rev_1.00#x&0#");
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  EXPECT_EQ(paths.size(), 3u) << "the CD-ROM unit is no disk";
  EXPECT_EQ(CalculatorsFound(*backend), 1);
  EXPECT_EQ(link::DevicePathTable[0], kCalculator);
  EXPECT_EQ(backend->DeviceNodeOf(kCalculator), platform::Utf8ToWide(tree.dev() + "/sdb"));
}

// One row of tests/system/calculator_identities.tsv, the table the udev rule
// is checked against too.
struct Identity {
  std::string vendor, model;
  bool calculator = false;
  std::string note;
};

// Tab-separated: "vendor", "model" (quoted so that blanks show), yes|no, note.
std::vector<Identity> ReadIdentities(const std::string& path, std::string* error) {
  std::vector<Identity> rows;
  std::ifstream in(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    const auto quoted = [](const std::string& f) {
      return f.size() >= 2 && f.front() == '"' && f.back() == '"';
    };
    if (fields.size() != 4 || !quoted(fields[0]) || !quoted(fields[1]) ||
        (fields[2] != "yes" && fields[2] != "no")) {
      *error = path + ":" + std::to_string(number) + ": malformed row";
      return {};
    }
    rows.push_back({fields[0].substr(1, fields[0].size() - 2),
                    fields[1].substr(1, fields[1].size() - 2), fields[2] == "yes", fields[3]});
  }
  if (rows.empty()) *error = path + ": no rows";
  return rows;
}

// The link takes for a calculator exactly the disks the udev rule grants:
// each row is a USB disk of its own in one tree, found by the real Linux
// backend and matched with the updater's own vendor and product.
TEST(LinuxDiscovery, FindsExactlyTheCalculatorsOfTheSharedTable) {
  std::string error;
  const std::vector<Identity> rows = ReadIdentities(NORZA_CALCULATOR_IDENTITIES, &error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_LE(rows.size(), 25u) << "kernel names sdb to sdz";
  SysfsTree tree;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    tree.AddUsbDisk(std::string("sd") + static_cast<char>('b' + i), static_cast<int>(i + 1),
                    rows[i].vendor, rows[i].model, "1.00", "NZ" + std::to_string(i));
  }
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  ASSERT_EQ(paths.size(), rows.size()) << "every row is a USB disk";
  const int32_t found = CalculatorsFound(*backend);
  std::set<std::wstring> calculators;
  for (int32_t i = 0; i < found; ++i) {
    calculators.insert(backend->DeviceNodeOf(link::DevicePathTable[static_cast<std::size_t>(i)]));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::wstring node = platform::Utf8ToWide(tree.dev() + "/sd" + static_cast<char>('b' + i));
    EXPECT_EQ(calculators.count(node) == 1, rows[i].calculator)
        << "\"" << rows[i].vendor << "\" \"" << rows[i].model << "\" (" << rows[i].note << ")";
  }
}

// One path per block device, always: serials X, X_SDD and X would otherwise
// give two devices one path, and one would be written twice, the other never.
TEST(LinuxDiscovery, EveryBlockDeviceHasAPathOfItsOwn) {
  SysfsTree tree;
  tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "X");
  tree.AddUsbDisk("sdc", 2, "ZK", "Norza update", "1.00", "X_SDD");
  tree.AddUsbDisk("sdd", 3, "ZK", "Norza update", "1.00", "X");
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  ASSERT_EQ(paths.size(), 3u);
  std::set<std::wstring> unique(paths.begin(), paths.end());
  std::set<std::wstring> nodes;
  for (const std::wstring& path : paths) nodes.insert(backend->DeviceNodeOf(path));
  EXPECT_EQ(unique.size(), 3u);
  EXPECT_EQ(nodes.size(), 3u);
  EXPECT_EQ(CalculatorsFound(*backend), 3);
}

TEST(LinuxDiscovery, RootsAreReadAtEveryPass) {
  const auto backend = platform::CreateNativeBackend();
  SysfsTree empty;
  empty.Activate();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  EXPECT_TRUE(paths.empty());
  SysfsTree one;
  one.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042");
  one.Activate();
  backend->ListDiskInterfaces(paths);
  EXPECT_EQ(paths, std::vector<std::wstring>{kCalculator});
}

TEST(LinuxRawIo, SeekReadWriteFlushOnABlockDevice) {
  SysfsTree tree;
  const std::string backing = tree.root() + "/disk.img";
  std::ofstream(backing, std::ios::binary) << std::string(65536, '\0');
  LoopDevice loop(backing);
  if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
  tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", loop.node());
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  const platform::Handle disk = backend->OpenDisk(kCalculator);  // no pass yet: it looks itself
  ASSERT_NE(disk, kInvalidHandle);
  EXPECT_EQ(backend->Size(disk), 65536);

  link::AlignedBuffer out(1024), in(1024);
  std::iota(out.data(), out.data() + 1024, uint8_t{3});
  uint32_t done = 0;
  EXPECT_EQ(backend->Seek(disk, 512, SeekFrom::Begin), 512);
  EXPECT_TRUE(backend->Write(disk, out.data(), 1024, &done));
  EXPECT_EQ(done, 1024u);
  EXPECT_EQ(backend->Seek(disk, 0, SeekFrom::Current), 1536);
  EXPECT_EQ(backend->Seek(disk, -1024, SeekFrom::Current), 512);
  EXPECT_TRUE(backend->Read(disk, in.data(), 1024, &done));
  EXPECT_EQ(std::memcmp(in.data(), out.data(), 1024), 0);
  EXPECT_EQ(backend->Seek(disk, 65536 - 512, SeekFrom::Begin), 65536 - 512);
  EXPECT_TRUE(backend->Read(disk, in.data(), 1024, &done));  // the end cuts it short
  EXPECT_EQ(done, 512u);
  EXPECT_TRUE(backend->Flush(disk));
  backend->Close(disk);

  EXPECT_EQ(backend->Seek(disk, 0, SeekFrom::Begin), -1);
  EXPECT_FALSE(backend->Write(disk, out.data(), 512, &done));
  EXPECT_NE(backend->LastErrorText().find("Bad file descriptor"), std::string::npos);
  EXPECT_EQ(backend->OpenDisk(L"\\\\?\\usbstor#disk&ven_none"), kInvalidHandle);
}

// Only a block device is a disk: a fake tree whose node leads to someone's
// document (a variable left behind in an environment, say) gets the document
// refused, never written.
TEST(LinuxRawIo, ANodeThatIsNoBlockDeviceIsNeverWritten) {
  SysfsTree tree;
  const std::string document = tree.root() + "/thesis.odt";
  const std::string text(1 << 20, 'T');
  std::ofstream(document, std::ios::binary) << text;
  tree.AddUsbDisk("sdb", 1, "ZK", "Norza update", "1.00", "NZ0042", document);
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  platform::SetBackendForTesting(backend.get());
  const std::string image = tree.root() + "/NORZA_OS.ROM";
  std::ofstream(image, std::ios::binary) << std::string(4096, 'x');
  EXPECT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct,
                          platform::Utf8ToWide(image).c_str(), 0x40000, nullptr, nullptr),
            LINK_DISK_NOT_OPEN);
  EXPECT_NE(LinkFailureDetail().find("Block device required"), std::string::npos)
      << LinkFailureDetail();
  EXPECT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_OK) << "nothing to tell";
  platform::SetBackendForTesting(nullptr);
  std::stringstream kept;
  kept << std::ifstream(document, std::ios::binary).rdbuf();
  EXPECT_EQ(kept.str(), text);
}

TEST(LinuxRawIo, ImagePathsAreNotCutAndMayBeNonAscii) {
  SysfsTree tree;
  std::string directory = tree.root() + "/固件 更新";
  while (directory.size() < 300) directory += "/" + std::string(40, 'd');
  fs::create_directories(directory);
  const std::string image = directory + "/NORZA_OS.ROM";
  std::ofstream(image, std::ios::binary) << std::string(5000, 'x');
  const auto backend = platform::CreateNativeBackend();
  platform::SetBackendForTesting(backend.get());
  const std::wstring wide = platform::Utf8ToWide(image);
  ASSERT_GT(wide.size(), 260u);
  EXPECT_EQ(GetImageFileSize(wide.c_str()), 5000);
  EXPECT_EQ(GetImageFileSize((wide + L"x").c_str()), 0);
  platform::SetBackendForTesting(nullptr);
}

TEST(WindowsPaths, LongAbsolutePathsGetTheExtendedForm) {
  const std::wstring tail(300, L'a');
  EXPECT_EQ(platform::ToExtendedLengthPath(L"C:/fw/" + tail), L"\\\\?\\C:\\fw\\" + tail);
  EXPECT_EQ(platform::ToExtendedLengthPath(L"\\\\server\\share\\" + tail),
            L"\\\\?\\UNC\\server\\share\\" + tail);
  for (const std::wstring& same : {std::wstring(L"C:\\short.rom"), L"relative\\" + tail,
                                   L"\\\\?\\C:\\" + tail, L"\\\\.\\PhysicalDrive1" + tail}) {
    EXPECT_EQ(platform::ToExtendedLengthPath(same), same);
  }
}

}  // namespace
}  // namespace norza::linktest
