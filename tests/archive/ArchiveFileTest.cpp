// The archive file: gathered writes reach the file whole and in order, and
// nothing is left behind or replaced without Commit.
#include "archive/ArchiveFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace tarvik {
namespace {

namespace fs = std::filesystem;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ArchiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("tarvik-archive-file-" + std::to_string(std::random_device()()));
    ASSERT_TRUE(fs::create_directory(FFolder));
  }
  void TearDown() override { fs::remove_all(FFolder); }
  long FileCount() const { return std::distance(fs::directory_iterator(FFolder), fs::directory_iterator()); }
  std::string Target() const { return (FFolder / "page.mht").string(); }

  fs::path FFolder;
};

TEST_F(ArchiveFileTest, SmallAndLargePiecesArriveWholeAndInOrder) {
  std::string expected;
  {
    TArchiveFile file(Target());
    // Small pieces filling the buffer past its end, then a piece larger
    // than the buffer, then small ones again and an empty one.
    for (int i = 0; expected.size() < TArchiveFile::BufferSize + 100; ++i) {
      const std::string piece = "Content-Location: http://example.test/" + std::to_string(i) + "\r\n";
      file.Write(piece);
      expected += piece;
    }
    std::string large(TArchiveFile::BufferSize * 2 + 7, '\0');
    for (size_t k = 0; k < large.size(); ++k) large[k] = static_cast<char>('A' + k % 26);
    file.Write(large);
    expected += large;
    file.Write("\r\n--end--\r\n");
    file.Write("", 0);
    expected += "\r\n--end--\r\n";
    file.Commit();
  }
  EXPECT_EQ(FileText(Target()), expected);
  EXPECT_EQ(FileCount(), 1);  // the work file became the target
}

TEST_F(ArchiveFileTest, WithoutCommitTheEarlierArchiveStaysAndNoWorkFileRemains) {
  { std::ofstream(Target(), std::ios::binary) << "earlier archive"; }
  {
    TArchiveFile file(Target());
    file.Write(std::string(TArchiveFile::BufferSize + 1, 'x'));
    file.Write("tail");
    EXPECT_EQ(FileCount(), 2);
  }
  EXPECT_EQ(FileText(Target()), "earlier archive");
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ArchiveFileTest, CommitReplacesAnEarlierArchive) {
  { std::ofstream(Target(), std::ios::binary) << "earlier archive, longer than the new one"; }
  {
    TArchiveFile file(Target());
    file.Write("new");
    file.Commit();
  }
  EXPECT_EQ(FileText(Target()), "new");
  EXPECT_EQ(FileCount(), 1);
}

}  // namespace
}  // namespace tarvik
