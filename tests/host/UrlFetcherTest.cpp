// Fetches through urlmon as the host makes them, against a loopback server.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "UrlFetcher.h"
#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"

namespace tarvik::host {
namespace {

using ::testing::HasSubstr;

TEST(UrlFetcher, LearnsTheFinalAddressStatusAndTypeOnTheWay) {
  ScopedComInit com;
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  server.Serve("/page.html", "text/html; charset=koi8-r", "0123456789");
  test::HttpResponse redirect;
  redirect.Status = 301;
  redirect.Reason = "Moved Permanently";
  redirect.Headers.emplace_back("Location", "/page.html");
  server.Route("/old", redirect);

  // Only the first bytes are kept, every byte is counted.
  TFetchResult fetch = FetchUrl(server.UrlW("/old"), 4);
  ASSERT_EQ(fetch.Result, S_OK);
  EXPECT_EQ(fetch.FinalUrl, server.UrlW("/page.html"));
  EXPECT_EQ(fetch.Status, 200);
  EXPECT_EQ(fetch.ContentType, "text/html; charset=koi8-r");
  EXPECT_EQ(fetch.Body, "0123");
  EXPECT_EQ(fetch.Size, 10u);

  // An error page arrives as a page with its status.
  test::HttpResponse missing;
  missing.Status = 404;
  missing.Reason = "Not Found";
  missing.Body = "gone";
  server.Route("/missing", missing);
  fetch = FetchUrl(server.UrlW("/missing"), 100);
  EXPECT_EQ(fetch.Status, 404);
  EXPECT_EQ(fetch.FinalUrl, server.UrlW("/missing"));
}

TEST(UrlFetcher, AnAddressThatDoesNotAnswerFailsInWords) {
  ScopedComInit com;
  std::wstring dead;
  {
    test::LoopbackHttpServer server;
    dead = server.UrlW("/x");
  }
  const TFetchResult fetch = FetchUrl(dead, 100);
  EXPECT_TRUE(FAILED(fetch.Result));
  EXPECT_TRUE(fetch.Body.empty());
  EXPECT_THAT(DescribeFetchError(fetch.Result), HasSubstr("(0x800C"));
  EXPECT_EQ(DescribeFetchError(static_cast<HRESULT>(0x800C0005)),
            "the server did not answer or the resource was not found (0x800C0005)");
}

}  // namespace
}  // namespace tarvik::host
