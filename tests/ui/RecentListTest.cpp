#include "ui/RecentList.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

using Strings = std::vector<std::string>;

// An ini file in memory; records the order of writes and deletions.
class TMapStore final : public IIniStore {
 public:
  std::map<std::pair<std::string, std::string>, std::string> Values;
  Strings Log;

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const override {
    auto it = Values.find({section, key});
    return it == Values.end() ? defaultValue : it->second;
  }
  void WriteString(const std::string& section, const std::string& key, const std::string& value) override {
    Values[{section, key}] = value;
    Log.push_back("write " + key);
  }
  void DeleteKey(const std::string& section, const std::string& key) override {
    Values.erase({section, key});
    Log.push_back("delete " + key);
  }
  Strings Section(const std::string& section) const {
    Strings keys;
    for (const auto& [name, value] : Values)
      if (name.first == section) keys.push_back(name.second + "=" + value);
    return keys;
  }
};

TEST(TRecentList, AddExpandsMovesSameFileToTopWithNewCaseAndKeepsTen) {
  TRecentList list(TRecentList::FullText, [](const std::string& p) { return "C:\\dir\\" + p; });
  for (const char* name : {"a.mht", "b.mht", "c.mht"}) list.Add(name);
  EXPECT_EQ(list.Items(), (Strings{"C:\\dir\\c.mht", "C:\\dir\\b.mht", "C:\\dir\\a.mht"}));

  list.Add("");  // nothing to remember
  ASSERT_EQ(list.Count(), 3u);
  list.Add("A.MHT");  // the third entry, other letter case
  EXPECT_EQ(list.Items(), (Strings{"C:\\dir\\A.MHT", "C:\\dir\\c.mht", "C:\\dir\\b.mht"}));

  for (int i = 0; i < 7; ++i) list.Add("n" + std::to_string(i));
  ASSERT_EQ(list.Count(), 10u);
  EXPECT_EQ(list.Items().back(), "C:\\dir\\b.mht");
  list.Add("eleventh");
  ASSERT_EQ(list.Count(), TRecentList::MaxItems);
  EXPECT_EQ(list.Items().front(), "C:\\dir\\eleventh");
  EXPECT_EQ(list.Items().back(), "C:\\dir\\c.mht");  // the oldest, b, is gone
}

TEST(TRecentList, ClickMovesEntryToTopWithoutTouchingTheIni) {
  TMapStore ini;
  TRecentList list;
  for (const char* name : {"5", "4", "3", "2", "1"}) list.Add(name);
  list.Store(ini, "S");
  ini.Log.clear();

  EXPECT_EQ(list.Click(4), "5");
  EXPECT_EQ(list.Items(), (Strings{"5", "1", "2", "3", "4"}));
  EXPECT_TRUE(ini.Log.empty());
  EXPECT_EQ(ini.ReadString("S", "MRU1", ""), "1");
  EXPECT_EQ(list.Click(7), "");  // past the end: nothing moves
  EXPECT_EQ(list.Items().front(), "5");
}

TEST(TRecentList, LoadSkipsEmptyKeysKeepsDuplicatesAndReplacesTheList) {
  TMapStore ini;
  ini.Values = {{{"S", "MRU1"}, ""},          {{"S", "MRU2"}, "c:\\x\\P.mht"}, {{"S", "MRU3"}, "c:\\x\\P.mht"},
                {{"S", "MRU5"}, "rel\\path"}, {{"S", "MRU11"}, "ignored"},     {{"Other", "MRU4"}, "other"}};
  TRecentList list(TRecentList::FullText, [](const std::string&) -> std::string { return "expanded"; });
  list.Add("held before");
  list.Load(ini, "S");
  EXPECT_EQ(list.Items(), (Strings{"c:\\x\\P.mht", "c:\\x\\P.mht", "rel\\path"}));
}

TEST(TRecentList, StoreWritesEntriesAndDeletesKeysPastTheEnd) {
  TMapStore ini;
  TRecentList five;
  for (const char* name : {"e", "d", "c", "b", "a"}) five.Add(name);
  five.Store(ini, "S");
  TRecentList three;
  for (const char* name : {"z", "y", "x"}) three.Add(name);
  ini.Values[{"S", "Other"}] = "kept";
  ini.Log.clear();
  three.Store(ini, "S");

  EXPECT_EQ(ini.Section("S"), (Strings{"MRU1=x", "MRU2=y", "MRU3=z", "Other=kept"}));
  EXPECT_EQ(ini.Log.size(), 10u);
  EXPECT_EQ(ini.Log[2], "write MRU3");
  EXPECT_EQ(ini.Log[3], "delete MRU4");
  EXPECT_EQ(ini.Log[9], "delete MRU10");

  TRecentList back;
  back.Load(ini, "S");
  EXPECT_EQ(back.Items(), three.Items());
}

TEST(TRecentList, MenuTextsNumberOneToNineThenA) {
  TRecentList list([](const std::string& p) { return FileTitleText(p, true); });
  for (int i = 10; i >= 1; --i) list.Add("C:\\f\\n" + std::to_string(i) + ".mht");
  list.Add("C:\\f\\Tom & Jerry.mht");  // drops n10
  const Strings texts = list.MenuTexts();
  ASSERT_EQ(texts.size(), 10u);
  EXPECT_EQ(texts[0], "&1 Tom && Jerry");
  EXPECT_EQ(texts[1], "&2 n1");
  EXPECT_EQ(texts[8], "&9 n8");
  EXPECT_EQ(texts[9], "&A n9");
}

TEST(FileTitleText, DropsFolderAndOnlyAHiddenExtension) {
  EXPECT_EQ(FileTitleText("C:\\a.b\\x.y.mht", true), "x.y");
  EXPECT_EQ(FileTitleText("C:\\a.b\\x.y.mht", false), "x.y.mht");
  EXPECT_EQ(FileTitleText("C:\\a.b\\noext", true), "noext");
  EXPECT_EQ(FileTitleText("C:\\a\\.mht", true), ".mht");
}

TEST(BeepNotification, ReadsTheStoredRuleAndWritesTrueOrFalse) {
  TMapStore ini;
  EXPECT_TRUE(ReadBeepNotification(ini));  // missing key
  for (const char* text : {"False", "FALSE", "0"}) {
    ini.Values[{"Preferences", "BeepNotification"}] = text;
    EXPECT_FALSE(ReadBeepNotification(ini)) << text;
  }
  for (const char* text : {"yes", "True", "7", ""}) {
    ini.Values[{"Preferences", "BeepNotification"}] = text;
    EXPECT_TRUE(ReadBeepNotification(ini)) << text;
  }
  WriteBeepNotification(ini, false);
  EXPECT_EQ(ini.ReadString("Preferences", "BeepNotification", ""), "False");
  WriteBeepNotification(ini, true);
  EXPECT_EQ(ini.ReadString("Preferences", "BeepNotification", ""), "True");
}

TEST(TRecentList, AFullListOfTenStoresAndLoadsWhole) {
  TRecentList list;
  for (int i = 1; i <= 10; ++i) list.Add("C:\\f" + std::to_string(i) + ".mht");
  TMapStore store;
  list.Store(store, "S");
  EXPECT_EQ(store.Values.at({"S", "MRU10"}), "C:\\f1.mht");
  TRecentList loaded;
  loaded.Load(store, "S");
  EXPECT_EQ(loaded.Items(), list.Items());
  EXPECT_EQ(loaded.MenuTexts().back(), "&A C:\\f1.mht");
}

}  // namespace
}  // namespace tarvik
