#include "core/TarvikSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  test::TempFolder FFolder;
  ComPtr<TTarvikSettings> FSettings = TInterfacedObject::Create<TTarvikSettings>(FFolder.File("Tarvik.ini"));
  TIniFile& Ini() { return *FSettings->IniFile(); }
};

TEST_F(SettingsFile, MissingFileReadsDefaultsAndTheFirstWriteCreatesIt) {
  EXPECT_FALSE(test::FileExists(Ini().FileName()));
  EXPECT_EQ(Ini().ReadString("Preferences", "BeepNotification", "True"), "True");
  EXPECT_FALSE(Ini().ValueExists("OOBE", "ToolbarShowed"));
  Ini().WriteString("OOBE", "ToolbarShowed", "Yes");
  EXPECT_TRUE(test::FileExists(Ini().FileName()));
  const std::string text = test::ReadWholeFile(Ini().FileName());
  EXPECT_NE(text.find("[OOBE]"), std::string::npos);
  EXPECT_NE(text.find("ToolbarShowed=Yes"), std::string::npos);
}

TEST_F(SettingsFile, ValuesRoundTripThroughTheProfileFunctions) {
  Ini().WriteString("Preferences", "BeepNotification", "False");
  Ini().WriteString("MRU.SaveLocations", "MRU1", "C:\\Archives\\");
  Ini().WriteString("MRU.SaveLocations", "MRU2", "D:\\Other folder\\");
  Ini().WriteString("MRU.SaveLocations", "MRU1", "C:\\Newer\\");  // replaces
  EXPECT_EQ(Ini().ReadString("Preferences", "BeepNotification", "True"), "False");
  EXPECT_EQ(Ini().ReadString("MRU.SaveLocations", "MRU1", ""), "C:\\Newer\\");
  EXPECT_EQ(Ini().ReadString("MRU.SaveLocations", "MRU2", ""), "D:\\Other folder\\");
  EXPECT_EQ(Ini().ReadSection("MRU.SaveLocations"), (std::vector<std::string>{"MRU1", "MRU2"}));
  // Names compare without regard to letter case.
  EXPECT_TRUE(Ini().ValueExists("mru.savelocations", "mru2"));
  Ini().DeleteKey("MRU.SaveLocations", "MRU2");
  EXPECT_FALSE(Ini().ValueExists("MRU.SaveLocations", "MRU2"));
  EXPECT_EQ(Ini().ReadString("MRU.SaveLocations", "MRU2", "gone"), "gone");
  Ini().DeleteKey("MRU.SaveLocations", "NeverThere");  // not an error
  // A second settings object over the same file sees the same values: nothing is cached.
  ComPtr<TTarvikSettings> other = TInterfacedObject::Create<TTarvikSettings>(Ini().FileName());
  EXPECT_EQ(other->IniFile()->ReadString("MRU.SaveLocations", "MRU1", ""), "C:\\Newer\\");
}

TEST_F(SettingsFile, LongValuesReadBackCutTo2047Bytes) {
  std::string value;
  for (int i = 0; i < 3000; ++i) value.push_back(static_cast<char>('a' + i % 26));
  Ini().WriteString("MRU.RecentArchives", "MRU1", value);
  const std::string read = Ini().ReadString("MRU.RecentArchives", "MRU1", "");
  EXPECT_EQ(read, value.substr(0, 2047));
  Ini().WriteString("MRU.RecentArchives", "MRU2", value.substr(0, 2047));
  EXPECT_EQ(Ini().ReadString("MRU.RecentArchives", "MRU2", ""), value.substr(0, 2047));
}

TEST_F(SettingsFile, TheSameIniObjectIsHandedOutEveryTime) { EXPECT_EQ(FSettings->IniFile(), FSettings->IniFile()); }

// Windows of a restored session open at once, each helper asking on its own thread.
TEST(Settings, ManyThreadsAskingFirstAtOnceShareOneIniObject) {
  constexpr int Threads = 8;
  for (int round = 0; round < 50; ++round) {
    ComPtr<TTarvikSettings> settings = TInterfacedObject::Create<TTarvikSettings>("C:\\x\\Tarvik.ini");
    std::atomic<int> waiting{Threads};
    std::vector<TIniFile*> seen(Threads, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
      threads.emplace_back([&, t] {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
        seen[t] = settings->IniFile();
      });
    for (std::thread& thread : threads) thread.join();
    ASSERT_NE(seen[0], nullptr);
    for (TIniFile* ini : seen) ASSERT_EQ(ini, seen[0]) << "round " << round;
    EXPECT_EQ(settings->IniFile(), seen[0]);
  }
}

TEST(Settings, RefusedWriteRaisesUnableToWriteWithTheFullPath) {
  const std::string path = "Q:\\no-such-folder\\deeper\\Tarvik.ini";
  ComPtr<TTarvikSettings> settings = TInterfacedObject::Create<TTarvikSettings>(path);
  try {
    settings->IniFile()->WriteString("Preferences", "BeepNotification", "True");
    FAIL() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
}

TEST(Settings, TheFileLiesBesideTheHostExecutable) {
  EXPECT_EQ(HostIniFilePath(), test::ExeFolder() + "Tarvik.ini");
  ComPtr<TTarvikSettings> settings = TInterfacedObject::Create<TTarvikSettings>();
  EXPECT_EQ(settings->IniFile()->FileName(), test::ExeFolder() + "Tarvik.ini");
}

// A program named in code page 932 whose name's second byte is 0x5C: the
// folder ends at the real separator, not inside the character.
TEST(Settings, AHostNamedInADoubleByteCodePageKeepsItsFolder) {
  const auto lead932 = [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); };
  const std::string sofuto = "\x83\x5C\x83\x74\x83\x67";  // ソフト
  EXPECT_EQ(IniFilePathBeside("C:\\Programs\\" + sofuto + ".exe", lead932), "C:\\Programs\\Tarvik.ini");
  EXPECT_EQ(IniFilePathBeside(sofuto + ".exe", lead932), "Tarvik.ini");
}

}  // namespace
}  // namespace tarvik
