// The Linux backend's discovery on sysfs as a real kernel lays it out:
// fixtures/qemu-usb-storage.sysfs was captured from Debian's kernel under QEMU
// (scripts/qemu-usb-e2e.sh --capture) with the calculator and a memory stick
// on an xHCI controller, and is rebuilt here as a tree in a temp directory.
// NORZA_SYSFS_FIXTURE names another capture of the same two disks.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "discovery.h"
#include "link.h"
#include "platform.h"
#include "sysfs_tree.h"

namespace norza::linktest {
namespace {

namespace fs = std::filesystem;

const wchar_t kCalculator[] =
    L"\\\\?\\usbstor#disk&ven_zk&prod_norza_update&rev_1.00#nz0001&0#"
    L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const wchar_t kStick[] =
    L"\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#4c530001&0#"
    L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

std::string FixturePath() {
  const char* other = std::getenv("NORZA_SYSFS_FIXTURE");
  if (other != nullptr && *other != '\0') return other;
  return (fs::path(NORZA_LINK_FIXTURES) / "qemu-usb-storage.sysfs").string();
}

// "..." with \\ \" \n \t \xNN escapes; false when malformed.
bool Unquote(const std::string& text, std::string* out) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  out->clear();
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] != '\\') {
      *out += text[i];
      continue;
    }
    if (++i + 1 >= text.size()) return false;
    switch (text[i]) {
      case 'n': *out += '\n'; break;
      case 't': *out += '\t'; break;
      case '\\':
      case '"': *out += text[i]; break;
      case 'x':
        if (i + 3 >= text.size()) return false;
        *out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default: return false;
    }
  }
  return true;
}

// Rebuilds the captured entries under tree.sys() and gives every block entry
// an empty node in tree.dev(). The block names, or empty after a failure.
std::vector<std::string> LoadCapture(SysfsTree& tree, const std::string& fixture) {
  std::ifstream in(fixture);
  if (!in) {
    ADD_FAILURE() << "cannot read " << fixture;
    return {};
  }
  std::vector<std::string> blocks;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string kind, path, quoted, text;
    words >> kind >> path;
    std::getline(words >> std::ws, quoted);
    const fs::path relative(path);
    const bool safe = !path.empty() && relative.is_relative() &&
                      std::none_of(relative.begin(), relative.end(),
                                   [](const fs::path& part) { return part == ".."; });
    if (!safe || (kind != "dir" && !Unquote(quoted, &text))) {
      ADD_FAILURE() << fixture << ":" << number << ": cannot use '" << line << "'";
      return {};
    }
    const fs::path target = fs::path(tree.sys()) / relative;
    fs::create_directories(kind == "dir" ? target : target.parent_path());
    if (kind == "file") {
      std::ofstream(target, std::ios::binary) << text;
    } else if (kind == "link") {
      fs::create_symlink(text, target);
      if (relative.parent_path() == "block") {
        blocks.push_back(relative.filename().string());
        std::ofstream(tree.dev() + "/" + blocks.back());
      }
    } else if (kind != "dir") {
      ADD_FAILURE() << fixture << ":" << number << ": unknown entry kind " << kind;
      return {};
    }
  }
  return blocks;
}

// The kernel name whose SCSI device says vendor, found by resolving the
// links with realpath (the backend resolves them by text).
std::string NameWithVendor(const SysfsTree& tree, const std::vector<std::string>& blocks,
                           const std::string& vendor) {
  for (const std::string& name : blocks) {
    std::error_code error;
    const fs::path device = fs::canonical(tree.sys() + "/block/" + name + "/device", error);
    if (error) continue;
    std::ifstream in(device / "vendor");
    std::string text;
    std::getline(in, text);
    if (text.substr(0, text.find_last_not_of(' ') + 1) == vendor) return name;
  }
  return {};
}

TEST(CapturedSysfs, ListsBothUsbDisksOnTheirNodesAndNoLoopDevice) {
  SysfsTree tree;
  const std::vector<std::string> blocks = LoadCapture(tree, FixturePath());
  ASSERT_GE(blocks.size(), 2u) << "the capture holds the calculator and the stick";
  const std::string calculator = NameWithVendor(tree, blocks, "ZK");
  const std::string stick = NameWithVendor(tree, blocks, "Generic");
  ASSERT_FALSE(calculator.empty());
  ASSERT_FALSE(stick.empty());
  tree.Activate();

  const auto backend = platform::CreateNativeBackend();
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  std::vector<std::wstring> expected{kCalculator, kStick};
  std::sort(paths.begin(), paths.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(paths, expected);
  EXPECT_EQ(backend->DeviceNodeOf(kCalculator),
            platform::Utf8ToWide(tree.dev() + "/" + calculator));
  EXPECT_EQ(backend->DeviceNodeOf(kStick), platform::Utf8ToWide(tree.dev() + "/" + stick));
}

TEST(CapturedSysfs, TheLinksDiscoveryFindsOnlyTheCalculator) {
  SysfsTree tree;
  ASSERT_FALSE(LoadCapture(tree, FixturePath()).empty());
  tree.Activate();
  const auto backend = platform::CreateNativeBackend();
  platform::SetBackendForTesting(backend.get());
  std::array<std::wstring, link::kDeviceSlots> table;
  const int32_t found = link::FindCalculatorDisks(table.data(), kCalculatorVendor,
                                                  kCalculatorProduct, link::kDeviceSlots);
  platform::SetBackendForTesting(nullptr);
  ASSERT_EQ(found, 1);
  EXPECT_EQ(table[0], kCalculator);
}

}  // namespace
}  // namespace norza::linktest
