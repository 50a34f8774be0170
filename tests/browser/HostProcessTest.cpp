#include "browser/HostProcess.h"

#include <gtest/gtest.h>

namespace tarvik {
namespace {

TEST(HostProcess, TheExecutableNameDecidesWithoutRegardToCase) {
  EXPECT_EQ(ClassifyHost("C:\\Windows\\explorer.exe"), HostKind::Shell);
  EXPECT_EQ(ClassifyHost("C:\\WINDOWS\\EXPLORER.EXE"), HostKind::Shell);
  EXPECT_EQ(ClassifyHost("C:\\Program Files\\Internet Explorer\\iexplore.exe"), HostKind::Browser);
  EXPECT_EQ(ClassifyHost("IExplore.EXE"), HostKind::Browser);
  EXPECT_EQ(ClassifyHost("Z:/build/tests/iexplore.exe"), HostKind::Browser);
  EXPECT_EQ(ClassifyHost("C:\\Windows\\system32\\regsvr32.exe"), HostKind::Other);
  // Only the name counts, not folders or look-alikes.
  EXPECT_EQ(ClassifyHost("C:\\iexplore.exe\\other.exe"), HostKind::Other);
  EXPECT_EQ(ClassifyHost("C:\\x\\myexplorer.exe"), HostKind::Other);
  EXPECT_EQ(ClassifyHost("C:\\x\\iexplore.exe.bak"), HostKind::Other);
  EXPECT_EQ(ClassifyHost(""), HostKind::Other);
}

}  // namespace
}  // namespace tarvik
