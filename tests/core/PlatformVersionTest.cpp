#include "core/PlatformVersion.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

#include <string>
#endif

namespace tarvik {
namespace {

TEST(PlatformVersion, OverrideDecidesAndScopesRestoreTheEarlierState) {
  const TPlatformVersion reported = ReportedPlatformVersion();
  EXPECT_EQ(PlatformVersion(), reported);
  {
    ScopedPlatformVersion older({4, 90});
    EXPECT_EQ(PlatformVersion(), (TPlatformVersion{4, 90}));
    EXPECT_FALSE(IsWindows2000OrLater());
    {
      ScopedPlatformVersion exactly({5, 0});
      EXPECT_TRUE(IsWindows2000OrLater());
    }
    EXPECT_EQ(PlatformVersion(), (TPlatformVersion{4, 90}));
    SetPlatformVersion(TPlatformVersion{10, 0});
    EXPECT_TRUE(IsWindows2000OrLater());
  }
  EXPECT_EQ(PlatformVersion(), reported);
  SetPlatformVersion(TPlatformVersion{3, 51});
  EXPECT_FALSE(IsWindows2000OrLater());
  SetPlatformVersion(std::nullopt);
  EXPECT_EQ(PlatformVersion(), reported);
}

#ifndef _WIN32
TEST(PlatformVersion, NativeBuildStandsInForACurrentPlatform) {
  EXPECT_EQ(ReportedPlatformVersion(), (TPlatformVersion{5, 1}));
  EXPECT_TRUE(IsWindows2000OrLater());
}
#else
// The kernel's own record of the version, in the page that every process
// maps at 0x7FFE0000: manifests and compatibility shims do not touch it.
TPlatformVersion SharedDataVersion() {
  const auto* page = reinterpret_cast<const volatile unsigned char*>(0x7FFE0000);
  return {*reinterpret_cast<const volatile ULONG*>(page + 0x26C),
          *reinterpret_cast<const volatile ULONG*>(page + 0x270)};
}

TEST(PlatformVersion, WindowsReportsTheKernelsVersion) {
  const TPlatformVersion reported = ReportedPlatformVersion();
  EXPECT_EQ(reported, SharedDataVersion());
  // The platform the tests run on tells threads apart.
  EXPECT_TRUE(reported >= Windows2000);
  EXPECT_TRUE(IsWindows2000OrLater());
}
#endif

}  // namespace
}  // namespace tarvik
