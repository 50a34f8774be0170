// The save's archive file: gathered writes reach the file whole and in
// order, and nothing is left behind or replaced without Commit.
#include "ui/ArchiveFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace tarvik {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ArchiveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH + 1] = {};
    ASSERT_NE(::GetTempPathA(sizeof temp, temp), 0u);
    FFolder = std::string(temp) + "tarvik-archive-file-" + std::to_string(::GetCurrentProcessId()) + "\\";
    ASSERT_TRUE(::CreateDirectoryA(FFolder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    WIN32_FIND_DATAA found{};
    HANDLE find = ::FindFirstFileA((FFolder + "*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ::DeleteFileA((FFolder + found.cFileName).c_str());
      } while (::FindNextFileA(find, &found));
      ::FindClose(find);
    }
    ::RemoveDirectoryA(FFolder.c_str());
  }
  int FileCount() const {
    int count = 0;
    WIN32_FIND_DATAA found{};
    HANDLE find = ::FindFirstFileA((FFolder + "*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    } while (::FindNextFileA(find, &found));
    ::FindClose(find);
    return count;
  }
  std::string FFolder;
};

TEST_F(ArchiveFileTest, SmallAndLargePiecesArriveWholeAndInOrder) {
  const std::string path = FFolder + "page.mht";
  std::string expected;
  {
    TArchiveFile file(path);
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
  EXPECT_EQ(FileText(path), expected);
  EXPECT_EQ(FileCount(), 1);  // the work file became the target
}

TEST_F(ArchiveFileTest, WithoutCommitTheEarlierArchiveStaysAndNoWorkFileRemains) {
  const std::string path = FFolder + "page.mht";
  { std::ofstream(path, std::ios::binary) << "earlier archive"; }
  {
    TArchiveFile file(path);
    file.Write(std::string(TArchiveFile::BufferSize + 1, 'x'));
    file.Write("tail");
    EXPECT_EQ(FileCount(), 2);
  }
  EXPECT_EQ(FileText(path), "earlier archive");
  EXPECT_EQ(FileCount(), 1);
}

TEST_F(ArchiveFileTest, CommitReplacesAnEarlierArchive) {
  const std::string path = FFolder + "page.mht";
  { std::ofstream(path, std::ios::binary) << "earlier archive, longer than the new one"; }
  {
    TArchiveFile file(path);
    file.Write("new");
    file.Commit();
  }
  EXPECT_EQ(FileText(path), "new");
  EXPECT_EQ(FileCount(), 1);
}

}  // namespace
}  // namespace tarvik
