#include "framework/TraceFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tarvik {
namespace {

TEST(TraceFileTest, ALineCarriesTimeThreadTagAndMessageAndStaysOneBoundedLine) {
  const std::string time = "2026-12-08 20:50:01.123";
  struct Case {
    const char* Name;
    std::string Source, Message;
    int32_t Extra, Level;
    size_t Max;
    std::string Expected;
  };
  const Case cases[] = {
      {"usual pair", "BrowserMoniter", "DocumentComplete (window[000000A0]))", 0, 50, 4096,
       time + " 000001A4 BrowserMoniter: DocumentComplete (window[000000A0]))\r\n"},
      {"other pair", "BrowserMoniter", "DownloadBegin", 3000, 50, 4096,
       time + " 000001A4 BrowserMoniter: DownloadBegin {Extra=3000 Level=50}\r\n"},
      {"no message", "ClassTarvikRuntime.Finalizing Runtime...", "", 0, 50, 4096,
       time + " 000001A4 ClassTarvikRuntime.Finalizing Runtime...\r\n"},
      {"breaks inside", "Tag\r\n", "a\nb\r", 0, 50, 4096, time + " 000001A4 Tag  : a b \r\n"},
      {"cut", "T", std::string(100, 'x'), 0, 50, 48, time + " 000001A4 T: xxxx [...]\r\n"},
  };
  for (const Case& c : cases) {
    const std::string line = TraceFileLine(time, 0x1A4, c.Source, c.Message, c.Extra, c.Level, c.Max);
    EXPECT_EQ(line, c.Expected) << c.Name;
    EXPECT_LE(line.size(), c.Max) << c.Name;
  }
}

TEST(TraceFileTest, ASecondProcessTracesBesideTheNamedFile) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\logs\\trace.log", "C:\\logs\\trace.77.log"},
      {"C:\\logs.d\\trace", "C:\\logs.d\\trace.77"},
      {"/var/log/a.b.txt", "/var/log/a.b.77.txt"},
      {".hidden", ".hidden.77"},
      {"trace", "trace.77"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(TracePathForProcess(path, 77), expected) << path;
}

// A file in memory that can be told to refuse, as a full disk would.
class MemoryStore final : public TTraceStore {
 public:
  explicit MemoryStore(std::string* bytes) : FBytes(bytes) {}
  uint64_t Size() noexcept override { return FBytes->size(); }
  bool Append(std::string_view bytes) noexcept override {
    if (RefuseWrites) return false;
    FBytes->append(bytes);
    return true;
  }
  bool ReadAll(std::string& bytes) override {
    if (RefuseReads) return false;
    bytes = *FBytes;
    return true;
  }
  bool Replace(std::string_view bytes) noexcept override {
    if (RefuseWrites) return false;
    FBytes->assign(bytes);
    return true;
  }
  bool RefuseWrites = false;
  bool RefuseReads = false;

 private:
  std::string* FBytes;
};

std::vector<std::string> LinesOf(const std::string& bytes) {
  std::vector<std::string> lines;
  std::istringstream in(bytes);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every line whole: the stamp, the thread, the tag, and the CR before LF.
const std::regex WholeLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [0-9A-F]{8} [^\r\n]*\r)");

TEST(TraceFileTest, TheFileStaysUnderItsBoundByDroppingItsOldestHalfAtALineStart) {
  std::string bytes = "an older session's last line\r\n";
  auto owned = std::make_unique<MemoryStore>(&bytes);
  TTraceFile file(std::move(owned), 1024);
  int dropped = 0;
  for (int i = 0; i < 200; ++i) {
    const size_t before = bytes.size();
    file.Write("Tag", "line " + std::to_string(i), 0, 50);
    ASSERT_LE(bytes.size(), 1024u) << i;
    if (bytes.size() < before) {
      ++dropped;
      // Nothing newer than half the bound was dropped.
      EXPECT_GE(bytes.size(), 512u - 64u) << i;
    }
  }
  EXPECT_GE(dropped, 10);
  const std::vector<std::string> lines = LinesOf(bytes);
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, WholeLine)) << line;
  EXPECT_NE(lines.back().find("Tag: line 199"), std::string::npos);
  // The lines kept are the newest, in order, without a gap.
  const int first = std::stoi(lines.front().substr(lines.front().rfind(' ') + 1));
  EXPECT_EQ(first + static_cast<int>(lines.size()) - 1, 199);
}

TEST(TraceFileTest, AFileThatRefusesLosesLinesButNeitherThrowsNorPassesItsBound) {
  std::string bytes;
  auto owned = std::make_unique<MemoryStore>(&bytes);
  MemoryStore& store = *owned;
  TTraceFile file(std::move(owned), 512);
  for (int i = 0; i < 20; ++i) file.Write("Tag", "before", 0, 50);
  store.RefuseReads = true;  // once full, the oldest half cannot be dropped: nothing more is written
  for (int i = 0; i < 40; ++i) EXPECT_NO_THROW(file.Write("Tag", "unreadable", 0, 50));
  EXPECT_LE(bytes.size(), 512u);
  size_t unreadable = 0;
  for (size_t at = bytes.find("unreadable"); at != std::string::npos; at = bytes.find("unreadable", at + 1))
    ++unreadable;
  EXPECT_LT(unreadable, 40u);
  const std::string kept = bytes;
  store.RefuseReads = false;
  store.RefuseWrites = true;
  for (int i = 0; i < 20; ++i) EXPECT_NO_THROW(file.Write("Tag", "unwritable", 0, 50));
  EXPECT_EQ(bytes, kept);
  store.RefuseWrites = false;
  file.Write("Tag", "again", 0, 50);
  EXPECT_NE(bytes.find("Tag: again"), std::string::npos);
  EXPECT_LE(bytes.size(), 512u);
}

class TraceFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    FFolder =
        std::filesystem::temp_directory_path() / ("tarvik-trace-" + std::to_string(TraceProcessId()) + "-" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(FFolder);
    std::filesystem::create_directories(FFolder);
  }
  void TearDown() override { std::filesystem::remove_all(FFolder); }
  std::string Path(const std::string& name) const { return (FFolder / name).string(); }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path FFolder;
};

TEST_F(TraceFileOnDisk, ThreadsWritingAtOnceLeaveWholeLinesUnderTheBoundAndASecondOpenTakesItsOwnFile) {
  const std::string path = Path("trace.log");
  std::unique_ptr<TTraceFile> file = TTraceFile::Open(path, 16 * 1024);
  ASSERT_TRUE(file);
  // While this process holds it, another open takes the per-process name.
  std::unique_ptr<TTraceFile> second = TTraceFile::Open(path, 16 * 1024);
  ASSERT_TRUE(second);
  second->Write("Second", "here", 0, 50);
  second.reset();
  EXPECT_NE(Read(TracePathForProcess(path, TraceProcessId())).find("Second: here"), std::string::npos);

  std::vector<std::thread> threads;
  for (const char letter : {'a', 'b', 'c', 'd'})
    threads.emplace_back([&file, letter] {
      for (int i = 0; i < 400; ++i) file->Write(std::string("Thread ") + letter, std::string(40, letter), 0, 50);
    });
  for (std::thread& thread : threads) thread.join();
  file.reset();

  const std::string bytes = Read(path);
  EXPECT_LE(bytes.size(), 16u * 1024u);
  EXPECT_GE(bytes.size(), 8u * 1024u - 128u);
  const std::vector<std::string> lines = LinesOf(bytes);
  for (const std::string& line : lines) ASSERT_TRUE(std::regex_match(line, WholeLine)) << line;
}

TEST_F(TraceFileOnDisk, ReopeningAppendsToWhatAnEarlierProcessLeft) {
  const std::string path = Path("trace.log");
  TTraceFile::Open(path)->Write("First", "session", 0, 50);
  TTraceFile::Open(path)->Write("Second", "session", 0, 50);
  const std::vector<std::string> lines = LinesOf(Read(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[0].find("TraceFile: Tracing process " + std::to_string(TraceProcessId())), std::string::npos);
  EXPECT_NE(lines[1].find("First: session"), std::string::npos);
  EXPECT_NE(lines[3].find("Second: session"), std::string::npos);
  EXPECT_FALSE(TTraceFile::Open(Path("no-such-folder/trace.log")));
}

}  // namespace
}  // namespace tarvik
