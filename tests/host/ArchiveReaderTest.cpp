// The host's listing of an archive's parts.
#include "ArchiveReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tarvik::host {
namespace {

TEST(ArchiveReader, ListsPartsWithTheirDecodedBytes) {
  const std::string archive =
      "From: <Saved by the archiver>\r\nSubject: Caf\xC3\xA9\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/related;\r\n\tboundary=\"----=_NextPart_01\"\r\n\r\n"
      "This is a multi-part message.\r\n\r\n"
      "------=_NextPart_01\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Location: http://h/\r\n\r\nPGh0bWw+\r\nPC9odG1sPg==\r\n"
      "------=_NextPart_01\r\nContent-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n"
      "Content-Location: http://h/a.txt\r\n\r\na=3Db=\r\nc\r\n"
      "------=_NextPart_01\r\nContent-Type: image/png\r\nContent-Location: http://h/raw\r\n\r\n\x89PNG\r\n"
      "------=_NextPart_01--\r\n";
  TArchive read;
  std::string error;
  ASSERT_TRUE(ReadArchive(archive, read, error)) << error;
  EXPECT_EQ(read.Subject, "Caf\xC3\xA9");
  ASSERT_EQ(read.Parts.size(), 3u);
  EXPECT_EQ(read.Parts[0].ContentLocation, "http://h/");
  EXPECT_EQ(read.Parts[0].Body, "<html></html>");
  EXPECT_EQ(read.Parts[1].Body, "a=bc");
  EXPECT_EQ(read.Parts[2].ContentType, "image/png");
  EXPECT_EQ(read.Parts[2].Body, "\x89PNG");

  EXPECT_FALSE(ReadArchive("Subject: x\r\nContent-Type: text/html\r\n\r\n<html>", read, error));
  EXPECT_THAT(error, ::testing::HasSubstr("not a MIME multipart"));
  EXPECT_FALSE(ReadArchive("Content-Type: multipart/related\r\n\r\n", read, error));
  EXPECT_EQ(error, "the archive names no boundary");
}

// Pieces of any size give the same parts; a body line far longer than a
// piece, or than any delimiter, is never held whole.
TEST(ArchiveReader, PiecesOfAnySizeGiveTheSameParts) {
  const std::string big(300000, 'x');
  std::string encoded;
  for (size_t i = 0; i < big.size(); i += 3) encoded += "eHh4";
  const std::string archive =
      "Content-Type: multipart/related; boundary= \"--B\"\r\n\r\n"
      "----B\r\nContent-Location: http://h/big\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      encoded +
      "\r\n\r\n"
      "----B\r\nContent-Location: http://h/raw\r\n\r\n----B-not\r\n\r\n"
      "----B\r\nContent-Location: http://h/#a\r\n\r\n\r\n----B--\r\n";
  for (const size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{4096}, archive.size()}) {
    TArchiveScanner scanner(piece == 7);
    std::string error;
    for (size_t at = 0; at < archive.size(); at += piece)
      ASSERT_TRUE(scanner.Feed(std::string_view(archive).substr(at, piece), error)) << error;
    ASSERT_TRUE(scanner.Finish(error)) << error;
    ASSERT_EQ(scanner.Parts().size(), 3u) << piece;
    EXPECT_EQ(scanner.Parts()[0].Size, big.size()) << piece;
    EXPECT_EQ(scanner.Parts()[1].Size, 11u) << piece;  // "----B-not" and its line break
    EXPECT_EQ(scanner.Parts()[2].ContentLocation, "http://h/#a");
    EXPECT_EQ(scanner.Parts()[2].Size, 0u) << piece;
    if (piece == 7) {
      EXPECT_EQ(scanner.Parts()[0].Body, big);
      EXPECT_EQ(scanner.Parts()[1].Body, "----B-not\r\n");
    }
  }
}

}  // namespace
}  // namespace tarvik::host
