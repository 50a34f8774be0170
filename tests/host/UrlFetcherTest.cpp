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

// What the figures print of the waits: the 99.9th percentile by nearest rank,
// the longest, and how many waited over 50 ms (exactly 50 ms is not over).
TEST(UrlFetcher, SummarizesWaits) {
  struct TRow {
    const char* Name;
    std::vector<float> Micros;
    size_t Long;
    double LongestMs;
    double Percentile999Ms;
  };
  std::vector<float> thousand;
  for (int i = 1000; i >= 1; --i) thousand.push_back(static_cast<float>(i) * 1000);
  std::vector<float> rare(100000, 2000);
  rare[5] = 50001;
  rare[70] = 80000;
  const TRow rows[] = {
      {"none", {}, 0, 0, 0},
      {"one", {1500}, 0, 1.5, 1.5},
      {"at the bound", {50000, 10}, 0, 50, 50},
      {"just over", {50001, 49999, 10}, 1, 50.001, 50.001},
      {"1..1000 ms, any order", thousand, 950, 1000, 999},
      {"two long among many", rare, 2, 80, 2},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const TReadWaits waits = SummarizeWaits(row.Micros);
    EXPECT_EQ(waits.Count, row.Micros.size());
    EXPECT_EQ(waits.Long, row.Long);
    EXPECT_NEAR(waits.LongestMs, row.LongestMs, 1e-6);
    EXPECT_NEAR(waits.Percentile999Ms, row.Percentile999Ms, 1e-6);
  }
}

}  // namespace
}  // namespace tarvik::host
