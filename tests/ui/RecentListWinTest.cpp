#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/IniFile.h"
#include "support/win/WinTestUtil.h"
#include "ui/RecentList.h"

namespace tarvik {
namespace {

using Strings = std::vector<std::string>;

TEST(RecentListOnIniFile, StoresThreeOverFiveAndLoadsGapsGarbageAndLongValues) {
  test::TempFolder folder;
  TIniFile file(folder.File("Tarvik.ini"));
  TIniFileStore ini(file);
  TRecentList five;
  for (const char* name : {"C:\\5.mht", "C:\\4.mht", "C:\\3.mht", "C:\\2.mht", "C:\\1.mht"}) five.Add(name);
  five.Store(ini, "MRU.RecentArchives");
  file.WriteString("Other", "MRU4", "kept");
  TRecentList three;
  for (const char* name : {"C:\\c.mht", "C:\\b.mht", "C:\\a.mht"}) three.Add(name);
  three.Store(ini, "MRU.RecentArchives");
  EXPECT_EQ(file.ReadSection("MRU.RecentArchives"), (Strings{"MRU1", "MRU2", "MRU3"}));
  EXPECT_EQ(file.ReadString("Other", "MRU4", ""), "kept");

  // Written by hand: a gap, a duplicate, garbage lines and a value at the profile functions' limit.
  const std::string longValue(TIniFile::MaxValueLength, 'x');
  test::WriteWholeFile(file.FileName(),
                       "[MRU.SaveLocations]\r\nMRU1=\r\nMRU2=C:\\dup\\\r\nMRU3=C:\\dup\\\r\n"
                       "no equals sign\r\n=novalue\r\nMRU5=" +
                           longValue + "\r\nMRU6=\x01\xFF\r\n");
  TRecentList loaded;
  loaded.Load(ini, "MRU.SaveLocations");
  EXPECT_EQ(loaded.Items(), (Strings{"C:\\dup\\", "C:\\dup\\", longValue, "\x01\xFF"}));
}

TEST(RecentListOnPlatform, AddExpandsToTheFullPath) {
  char current[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, current);
  std::string folder = current;
  if (folder.back() != '\\') folder += '\\';
  TRecentList list(TRecentList::FullText, FullPathName);
  list.Add("page.mht");
  list.Add("C:\\a\\..\\b\\.\\x.mht");
  EXPECT_EQ(list.Items(), (Strings{"C:\\b\\x.mht", folder + "page.mht"}));
  list.Add(folder + "PAGE.MHT");  // the same file, other case: moves up with the new text
  EXPECT_EQ(list.Items(), (Strings{folder + "PAGE.MHT", "C:\\b\\x.mht"}));
  const std::string deep = "C:\\" + std::string(300, 'd') + "\\f.mht";  // longer than MAX_PATH
  EXPECT_EQ(FullPathName(deep), deep);
}

TEST(RecentListOnPlatform, ShellHidesExtensionsUnlessTheUserShowsThem) {
  const char* key = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";
  HKEY advanced = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &advanced, nullptr),
            ERROR_SUCCESS);
  DWORD saved = 0, size = sizeof(saved);
  const bool hadValue = ::RegQueryValueExA(advanced, "HideFileExt", nullptr, nullptr, reinterpret_cast<BYTE*>(&saved),
                                           &size) == ERROR_SUCCESS;
  ::RegDeleteValueA(advanced, "HideFileExt");
  const bool hiddenByDefault = ShellHidesExtensions();
  DWORD show = 0;
  ::RegSetValueExA(advanced, "HideFileExt", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&show), sizeof(show));
  const bool hiddenWhenShown = ShellHidesExtensions();
  if (hadValue)
    ::RegSetValueExA(advanced, "HideFileExt", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&saved), sizeof(saved));
  else
    ::RegDeleteValueA(advanced, "HideFileExt");
  ::RegCloseKey(advanced);
  EXPECT_TRUE(hiddenByDefault);
  EXPECT_FALSE(hiddenWhenShown);
}

}  // namespace
}  // namespace tarvik
