#include "archive/ContentSniffing.h"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

namespace tarvik {
namespace {

TEST(ContentTypeFromExtension, KnownNamesAndTheFallback) {
  EXPECT_EQ(ContentTypeFromExtension("C:\\cache\\page[1].HTM"), "text/html");
  EXPECT_EQ(ContentTypeFromExtension("/tmp/logo.png"), "image/png");
  EXPECT_EQ(ContentTypeFromExtension("style.css?v=3"), "text/css");
  // A cache name may keep the address's fragment, with or without a query.
  EXPECT_EQ(ContentTypeFromExtension("C:\\cache\\app[1].js#top"), "application/javascript");
  EXPECT_EQ(ContentTypeFromExtension("icons.svg#logo?v=2.png"), "image/svg+xml");
  EXPECT_EQ(ContentTypeFromExtension("page.html?a=b#c.png"), "text/html");
  EXPECT_EQ(ContentTypeFromExtension("photo.JPEG"), "image/jpeg");
  EXPECT_EQ(ContentTypeFromExtension("dir.png/noextension"), "text/plain");
  EXPECT_EQ(ContentTypeFromExtension("archive.unknownext"), "text/plain");
  EXPECT_EQ(ContentTypeFromExtension(""), "text/plain");
}

TEST(PartContentType, CompositeAndMalformedTypesCannotStand) {
  EXPECT_EQ(PartContentType("text/html; charset=utf-8"), "text/html; charset=utf-8");
  EXPECT_EQ(PartContentType("image/svg+xml"), "image/svg+xml");
  for (const char* bad : {"multipart/related; boundary=x", "Multipart/X-Mixed-Replace", "message/rfc822",
                          "MESSAGE/partial", "", "html", "text/", "/html", "text/ht ml", "text/h\xE9"})
    EXPECT_EQ(PartContentType(bad), "") << bad;
  // Parameters with bytes a header cannot carry are dropped, the type kept.
  EXPECT_EQ(PartContentType("text/css; charset=\xE9"), "text/css");
  EXPECT_EQ(ContentTypeFromBytes("\x89PNG\r\n\x1a\n...."), "image/png");
  using namespace std::string_view_literals;
  EXPECT_EQ(ContentTypeFromBytes("RIFF\x10\0\0\0WEBPVP8 "sv), "image/webp");
  EXPECT_EQ(ContentTypeFromBytes("XXXX\x10\0\0\0WEBPVP8 "sv), "application/octet-stream");
  EXPECT_EQ(ContentTypeFromBytes("--frame\r\nContent-Type: image/jpeg\r\n"), "application/octet-stream");
  EXPECT_EQ(ContentTypeFromBytes(""), "application/octet-stream");
  // A body exactly as long as its signature is still known by it; one byte
  // short is not.
  for (const auto& [body, type] : {std::pair{"\x89PNG\r\n\x1a\n"sv, "image/png"}, std::pair{"GIF89a"sv, "image/gif"},
                                   std::pair{"\xFF\xD8\xFF"sv, "image/jpeg"}, std::pair{"BM"sv, "image/bmp"},
                                   std::pair{"RIFF\0\0\0\0WEBP"sv, "image/webp"}}) {
    EXPECT_EQ(ContentTypeFromBytes(body), type) << body;
    EXPECT_EQ(ContentTypeFromBytes(body.substr(0, body.size() - 1)), "application/octet-stream") << body;
  }
}

}  // namespace
}  // namespace tarvik
