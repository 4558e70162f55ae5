#include <gtest/gtest.h>

#include "link.h"
#include "link_fixture.h"

namespace norza::linktest {
namespace {

using link::DevicePathTable;
using link::FindCalculatorDisks;
using link::FindCalculatorDisksWithRetry;
using link::FoldForDevicePath;

std::wstring Fold(const std::wstring& text) {
  std::wstring out(text.size() + 1, L'#');
  const int32_t length = FoldForDevicePath(out.data(), text.c_str());
  EXPECT_EQ(out[static_cast<std::size_t>(length)], L'\0');
  out.resize(static_cast<std::size_t>(length));
  return out;
}

TEST(Folding, SetsBit0x20AndTurnsSpacesIntoUnderscores) {
  EXPECT_EQ(Fold(L"Norza update"), L"norza_update");
  EXPECT_EQ(Fold(L"ZK"), L"zk");
  EXPECT_EQ(Fold(L"A_B"), (std::wstring{L'a', 0x7F, L'b'}));
  EXPECT_EQ(Fold(L"v1.0-x&#"), L"v1.0-x&#");
  EXPECT_EQ(Fold(L""), L"");
  EXPECT_EQ(link::BuildMatchPattern(L"ZK", L"Norza update"),
            L"\\\\?\\usbstor#disk&ven_zk&prod_norza_update");
}

using DiscoveryTest = LinkTest;

TEST_F(DiscoveryTest, OnlyCalculatorPathsInTheirCaseLandInTheTable) {
  fake.AddPlainDisk("A-stick", kDiskSize, emu::Identity{"Kingston", "DataTraveler", {}});
  AddCalculator(9);
  fake.SetInterfacePath(
      DiskName(9),
      L"\\\\?\\USBSTOR#DISK&VEN_ZK&PROD_NORZA_UPDATE&REV_1.00#SN09&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  AddCalculator(1);
  DevicePathTable[1] = L"left over";
  EXPECT_EQ(FindCalculatorDisks(DevicePathTable.data(), kCalculatorVendor, kCalculatorProduct, 16),
            1);
  EXPECT_EQ(DevicePathTable[0], CalculatorPath(1));
  EXPECT_EQ(DevicePathTable[1], L"left over");
}

TEST(CalculatorMatch, TheProductEndsWhereThePatternDoes) {
  const std::wstring pattern = link::BuildMatchPattern(L"ZK", L"Norza update");
  const std::wstring tail = L"&rev_1.00#nz1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  EXPECT_TRUE(link::MatchesCalculatorPath(pattern + tail, pattern));
  EXPECT_TRUE(link::MatchesCalculatorPath(pattern + L"____" + tail, pattern)) << "padding";
  EXPECT_TRUE(link::MatchesCalculatorPath(pattern, pattern));
  EXPECT_FALSE(link::MatchesCalculatorPath(link::BuildMatchPattern(L"ZK", L"Norza update2") + tail,
                                           pattern));
  EXPECT_FALSE(link::MatchesCalculatorPath(link::BuildMatchPattern(L"ZK", L"Norza updater") + tail,
                                           pattern));
}

TEST_F(DiscoveryTest, StopsAtTheNumberOfSlots) {
  for (int i = 0; i < 20; ++i) AddCalculator(i);
  EXPECT_EQ(FindCalculatorDisks(DevicePathTable.data(), kCalculatorVendor, kCalculatorProduct, 16),
            16);
  EXPECT_EQ(DevicePathTable[15], CalculatorPath(15));
}

TEST_F(DiscoveryTest, LongPathsAreKeptWhole) {
  const std::wstring path = CalculatorPath(7) + std::wstring(400, L'x');
  AddCalculator(7);
  fake.SetInterfacePath(DiskName(7), path);
  ASSERT_EQ(FindCalculatorDisks(DevicePathTable.data(), kCalculatorVendor, kCalculatorProduct, 16),
            1);
  EXPECT_EQ(DevicePathTable[0], path);
}

TEST_F(DiscoveryTest, RetryGivesUpAfterSixPassesAndSixPauses) {
  fake.AddCalculator("1", kDiskSize, {}, emu::Identity{"ZK", "Other", {}});
  EXPECT_EQ(FindCalculatorDisksWithRetry(DevicePathTable.data(), kCalculatorVendor,
                                         kCalculatorProduct, 16),
            0);
  EXPECT_EQ(fake.DiscoveryPasses(), 6);
  EXPECT_EQ(Recorder::Pauses(), std::vector<int>(6, 500));
}

TEST_F(DiscoveryTest, PresenceCheckIsOnePassAndLeavesTheDeviceCount) {
  link::deviceCount = 3;
  EXPECT_FALSE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));
  AddCalculator(1);
  EXPECT_TRUE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));
  EXPECT_EQ(fake.DiscoveryPasses(), 2);
  EXPECT_EQ(link::deviceCount, 3);
  EXPECT_TRUE(Recorder::Pauses().empty());
}

}  // namespace
}  // namespace norza::linktest
