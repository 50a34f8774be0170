#include "core/TarvikVersionInfo.h"

#include <gtest/gtest.h>

#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

TEST(VersionInfo, TheLibraryVersionRecordGivesItsFileVersion) {
  const TTarvikVersionInfo info = TTarvikVersionInfo::Read(test::HostPathToWindows(TARVIK_DLL_PATH));
  EXPECT_EQ(info.FileVersion, TARVIK_FILE_VERSION);
}

TEST(VersionInfo, FilesWithoutARecordGiveEmptyText) {
  EXPECT_EQ(TTarvikVersionInfo::Read(test::HostPathToWindows(NO_VERSION_DLL_PATH)).FileVersion, "");
  EXPECT_EQ(TTarvikVersionInfo::Read("C:\\no\\such\\file.dll").FileVersion, "");
  // The test program carries no version record either.
  EXPECT_EQ(TTarvikVersionInfo::ReadOwn().FileVersion, "");
}

TEST(VersionInfo, OwnModuleIsTheFileHoldingThisCode) {
  char exe[MAX_PATH];
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  EXPECT_EQ(OwnModulePath(), std::string(exe));
}

}  // namespace
}  // namespace tarvik
