// Fetches through urlmon as the host makes them, against a loopback server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UrlFetcher.h"
#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"

namespace tarvik::host {
namespace {

using ::testing::HasSubstr;

// Both ways of binding: blocking (the reads come from the cache file) and
// pulling as a browser does (each read reaches the protocol handlers).
TEST(UrlFetcher, LearnsTheFinalAddressStatusAndTypeOnTheWay) {
  ScopedComInit com;
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  // Large enough to arrive in several pieces, no two alike.
  std::string big(700 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  server.Serve("/page.html", "text/html; charset=koi8-r", "0123456789");
  server.Serve("/big.bin", "application/octet-stream", big);
  test::HttpResponse redirect;
  redirect.Status = 301;
  redirect.Reason = "Moved Permanently";
  redirect.Headers.emplace_back("Location", "/page.html");
  server.Route("/old", redirect);
  test::HttpResponse missing;
  missing.Status = 404;
  missing.Reason = "Not Found";
  missing.Body = "gone";
  server.Route("/missing", missing);
  // Part now, the rest later: a pulling read finds nothing yet in between.
  test::HttpResponse later;
  later.Body = big;
  later.PauseAfter = 100 * 1024;
  later.PauseMs = 400;
  server.Route("/later.bin", later);

  for (const bool pull : {false, true}) {
    SCOPED_TRACE(pull ? "pulling" : "blocking");
    SetPullReads(pull);
    // Only the first bytes are kept, every byte is counted.
    TFetchResult fetch = FetchUrl(server.UrlW("/old"), 4);
    ASSERT_EQ(fetch.Result, S_OK);
    EXPECT_EQ(fetch.FinalUrl, server.UrlW("/page.html"));
    EXPECT_EQ(fetch.Status, 200);
    EXPECT_EQ(fetch.ContentType, "text/html; charset=koi8-r");
    EXPECT_EQ(fetch.Body, "0123");
    EXPECT_EQ(fetch.Size, 10u);

    const size_t readsBefore = ReadWaits().Count;
    fetch = FetchUrl(server.UrlW("/big.bin"), big.size());
    ASSERT_EQ(fetch.Result, S_OK);
    EXPECT_EQ(fetch.Size, big.size());
    EXPECT_TRUE(fetch.Body == big);
    EXPECT_GE(ReadWaits().Count - readsBefore, 2u);
    fetch = FetchUrl(server.UrlW("/later.bin"), big.size());
    ASSERT_EQ(fetch.Result, S_OK);
    EXPECT_TRUE(fetch.Body == big);

    // An error page arrives as a page with its status.
    fetch = FetchUrl(server.UrlW("/missing"), 100);
    EXPECT_EQ(fetch.Status, 404);
    EXPECT_EQ(fetch.FinalUrl, server.UrlW("/missing"));
  }
  SetPullReads(false);
}

TEST(UrlFetcher, AnAddressThatDoesNotAnswerFailsInWords) {
  ScopedComInit com;
  std::wstring dead;
  {
    test::LoopbackHttpServer server;
    dead = server.UrlW("/x");
  }
  for (const bool pull : {false, true}) {
    SCOPED_TRACE(pull ? "pulling" : "blocking");
    SetPullReads(pull);
    const TFetchResult fetch = FetchUrl(dead, 100);
    EXPECT_TRUE(FAILED(fetch.Result));
    EXPECT_TRUE(fetch.Body.empty());
    EXPECT_THAT(DescribeFetchError(fetch.Result), HasSubstr("(0x800C"));
  }
  SetPullReads(false);
  EXPECT_EQ(DescribeFetchError(static_cast<HRESULT>(0x800C0005)),
            "the server did not answer or the resource was not found (0x800C0005)");
}

}  // namespace
}  // namespace tarvik::host
