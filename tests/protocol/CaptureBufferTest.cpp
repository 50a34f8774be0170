#include "protocol/CaptureBuffer.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik {
namespace {

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);  // zeros included
  return bytes;
}

void AppendInPieces(TCaptureBuffer& buffer, const std::string& bytes, size_t piece) {
  for (size_t offset = 0; offset < bytes.size(); offset += piece)
    buffer.Append(bytes.data() + offset, std::min(piece, bytes.size() - offset));
}

TEST(CaptureBuffer, BodiesOfEverySizeComeBackByteExact) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, TCaptureBuffer::PartSize - 1, TCaptureBuffer::PartSize,
                      TCaptureBuffer::PartSize * 3 + 17}) {
    for (size_t piece : {size_t{1} << 13, size_t{3000}}) {
      if (size > 100000 && piece != (size_t{1} << 13)) continue;
      TCaptureBuffer buffer;
      const std::string bytes = Pattern(size, static_cast<unsigned>(size));
      AppendInPieces(buffer, bytes, piece);
      EXPECT_EQ(buffer.Size(), size);
      EXPECT_EQ(buffer.Copy(), bytes);
      TCaptureBuffer::Bytes published = buffer.Publish();
      ASSERT_TRUE(published);
      EXPECT_EQ(*published, bytes) << "size " << size << " piece " << piece;
    }
  }
}

TEST(CaptureBuffer, AnAnnouncedBodyIsPublishedWithoutACopy) {
  const std::string bytes = Pattern(5 * TCaptureBuffer::PartSize + 3, 7);
  TCaptureBuffer buffer;
  buffer.ExpectSize(bytes.size());
  AppendInPieces(buffer, bytes, 8192);
  EXPECT_EQ(buffer.PartCount(), 1u);
  TCaptureBuffer::Bytes published = buffer.Publish();
  EXPECT_EQ(*published, bytes);
  EXPECT_EQ(published->capacity(), bytes.size());
}

TEST(CaptureBuffer, AnUnannouncedLargeBodyGrowsInPartsAndIsJoinedOnce) {
  const std::string bytes = Pattern(5 * TCaptureBuffer::PartSize + 3, 8);
  TCaptureBuffer buffer;
  AppendInPieces(buffer, bytes, 8192);
  EXPECT_GE(buffer.PartCount(), 4u);
  TCaptureBuffer::Bytes published = buffer.Publish();
  EXPECT_EQ(buffer.PartCount(), 1u);
  EXPECT_EQ(*published, bytes);
  EXPECT_EQ(published->capacity(), bytes.size());
}

TEST(CaptureBuffer, PublishingTwiceSharesOneString) {
  TCaptureBuffer buffer;
  const std::string bytes = Pattern(3 * TCaptureBuffer::PartSize, 1);
  AppendInPieces(buffer, bytes, 8192);
  TCaptureBuffer::Bytes first = buffer.Publish();
  TCaptureBuffer::Bytes second = buffer.Publish();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(*second, bytes);
}

TEST(CaptureBuffer, AppendsAfterPublishingLeaveThePublishedBytesAlone) {
  TCaptureBuffer buffer;
  buffer.Append("abc\0def", 7);
  TCaptureBuffer::Bytes first = buffer.Publish();
  buffer.Append("gh", 2);
  EXPECT_EQ(*first, std::string("abc\0def", 7));
  TCaptureBuffer::Bytes second = buffer.Publish();
  EXPECT_EQ(*second, std::string("abc\0defgh", 9));
  EXPECT_EQ(*first, std::string("abc\0def", 7));
  EXPECT_EQ(buffer.Size(), 9u);
}

TEST(CaptureBuffer, AnAnnouncementTooSmallOrTooLargeStillCapturesEverything) {
  const std::string bytes = Pattern(2 * TCaptureBuffer::PartSize + 5, 3);
  {
    TCaptureBuffer buffer;
    buffer.ExpectSize(100);
    AppendInPieces(buffer, bytes, 4096);
    EXPECT_EQ(*buffer.Publish(), bytes);
  }
  {
    TCaptureBuffer buffer;
    buffer.ExpectSize(bytes.size() * 4);
    AppendInPieces(buffer, bytes, 4096);
    TCaptureBuffer::Bytes published = buffer.Publish();
    EXPECT_EQ(*published, bytes);
    // A body smaller than announced is stored at its own size.
    EXPECT_LT(published->capacity(), bytes.size() * 2);
  }
}

TEST(CaptureBuffer, ASmallBodyIsStoredAtItsOwnSize) {
  TCaptureBuffer buffer;
  const std::string bytes = Pattern(70000, 9);
  AppendInPieces(buffer, bytes, 2048);
  TCaptureBuffer::Bytes published = buffer.Publish();
  EXPECT_EQ(*published, bytes);
  EXPECT_LE(published->capacity(), bytes.size() + bytes.size() / 8 + 64);
}

TEST(CaptureBuffer, NothingAppendedPublishesAnEmptyString) {
  TCaptureBuffer buffer;
  TCaptureBuffer::Bytes published = buffer.Publish();
  ASSERT_TRUE(published);
  EXPECT_TRUE(published->empty());
  buffer.Append("x", 0);
  EXPECT_EQ(buffer.Size(), 0u);
}

// The end of the data decides on the length the response itself gave when
// the handler can tell it, else on what a wrapped sink announced.
TEST(RequestCapture, TheEndStoresOnlyABodyAsLongAsTheResponseSaid) {
  struct Case {
    const char* Name;
    size_t AnnouncedBySink;
    TRequestCapture::TLength Response;
    bool Stored;
  };
  const Case cases[] = {
      {"length given and met", 0, {true, 5}, true},
      {"length given and missed (unwrapped: nothing announced)", 0, {true, 9}, false},
      {"length given and missed (wrapped)", 9, {true, 9}, false},
      {"no length (chunked or encoded) beats a sink's announcement", 9, {true, 0}, true},
      {"handler cannot tell: the sink's announcement counts", 9, {}, false},
      {"handler cannot tell, nothing announced", 0, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TRequestCapture capture(1);
    capture.Begin("http://h/x");
    if (c.AnnouncedBySink) capture.Announce(c.AnnouncedBySink);
    capture.Append("ab", 2);
    capture.Append("cde", 3);
    EXPECT_FALSE(capture.Finished());
    const TRequestCapture::TEnd end = capture.End(c.Response);
    EXPECT_TRUE(capture.Finished());
    EXPECT_EQ(end.URL, "http://h/x");
    EXPECT_EQ(end.ReadLength, 5);
    EXPECT_EQ(end.Cut, !c.Stored);
    ASSERT_EQ(static_cast<bool>(end.Body), c.Stored);
    if (end.Body) EXPECT_EQ(*end.Body, "abcde");
  }
}

TEST(RequestCapture, ASecondStartForgetsTheAnnouncementButKeepsTheBytes) {
  TRequestCapture capture(1);
  capture.Begin("http://h/a");
  capture.Announce(100);
  capture.Append("xy", 2);
  capture.Begin("http://h/b");
  const TRequestCapture::TEnd end = capture.End({});
  EXPECT_EQ(end.URL, "http://h/b");
  ASSERT_TRUE(end.Body);
  EXPECT_EQ(*end.Body, "xy");
}

}  // namespace
}  // namespace tarvik
