// Pages loaded without a window, on the test's own thread: frames, style
// sheets and pictures from a loopback server into browser objects, and what
// the loader tells the view.
#include <mshtml.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PageLoader.h"
#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"

namespace tarvik::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class TRecordingView final : public TPageView {
 public:
  void ShowTitle(const std::wstring& title) override { Titles.push_back(title); }
  void ShowPage(std::wstring text) override { Pages.push_back(std::move(text)); }
  std::vector<std::wstring> Titles, Pages;
};

std::wstring DocumentTitle(IWebBrowser2& browser) {
  ComPtr<IDispatch> document;
  if (FAILED(browser.get_Document(document.Put())) || !document) return L"<no document>";
  ComPtr<IHTMLDocument2> html = document.As<IHTMLDocument2>();
  UniqueBstr title;
  if (!html || FAILED(html->get_title(title.Put())) || !title) return L"<no title>";
  return std::wstring(title.Get(), ::SysStringLen(title.Get()));
}

class PageLoader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(FServer.Running()); }

  ScopedComInit FCom;
  test::LoopbackHttpServer FServer;
  ComPtr<THostWebBrowser> FTop = THostWebBrowser::Create(nullptr, nullptr);
  TRecordingView FView;
  TPageLoader FLoader{*FTop, &FView};
};

TEST_F(PageLoader, LoadsAFrameAndAStyleSheetIntoBrowserObjects) {
  FServer.Serve("/page.html", "text/html",
                "<title>Top</title><link rel=stylesheet href=style.css><iframe src=frame.html></iframe>");
  FServer.Serve("/style.css", "text/css", "@import \"more.css\"; body{background:url(bg.png)}");
  FServer.Serve("/more.css", "text/css", "p{color:red}");
  FServer.Serve("/frame.html", "text/html", "<title>Frame</title><img src=bg.png><img src=f.png>");
  for (const char* path : {"/bg.png", "/f.png"}) FServer.Serve(path, "image/png", "bytes");

  const TNavigationResult result = FLoader.Navigate(FServer.UrlW("/page.html"));
  ASSERT_TRUE(result.Ok) << result.Error;
  EXPECT_EQ(result.Title, L"Top");
  EXPECT_EQ(result.Status, 200);
  EXPECT_EQ(result.Serial, 0u);  // the window counts its navigations
  // The frame, both style sheets and both pictures, each fetched once.
  EXPECT_EQ(result.Resources, 5u);
  EXPECT_EQ(result.FailedResources, 0u);
  for (const char* path : {"/page.html", "/style.css", "/more.css", "/frame.html", "/bg.png", "/f.png"})
    EXPECT_EQ(FServer.RequestCount(path), 1) << path;

  EXPECT_EQ(DocumentTitle(*FTop), L"Top");
  ASSERT_EQ(FLoader.Frames().size(), 1u);
  EXPECT_EQ(DocumentTitle(*FLoader.Frames()[0]), L"Frame");
  UniqueBstr location;
  ASSERT_EQ(FLoader.Frames()[0]->get_LocationURL(location.Put()), S_OK);
  EXPECT_EQ(std::wstring(location.Get()), FServer.UrlW("/frame.html"));

  EXPECT_THAT(FView.Titles, ElementsAre(L"Top"));
  ASSERT_EQ(FView.Pages.size(), 1u);
  EXPECT_THAT(FView.Pages[0], HasSubstr(L"Address: " + FServer.UrlW("/page.html")));
  EXPECT_THAT(FView.Pages[0], HasSubstr(L"5 frames and resources, 0 failed"));

  // The next page lets go of the last page's frames.
  FServer.Serve("/plain.html", "text/html", "<p>no title");
  ASSERT_TRUE(FLoader.Navigate(FServer.UrlW("/plain.html")).Ok);
  EXPECT_TRUE(FLoader.Frames().empty());
  EXPECT_THAT(FView.Titles, ElementsAre(L"Top", FServer.UrlW("/plain.html")));
}

// The server is asked for the real names: paths as UTF-8, the query in the
// page's own encoding (its header, else its <meta>, else UTF-8 when valid).
TEST_F(PageLoader, ReferencesAskForTheRealNamesInThePagesEncoding) {
  const struct {
    const char* Page;
    const char* Type;
    std::string Body;
    const char* Asked;
  } cases[] = {
      {"/utf8.html", "text/html", "<img src=\"\xD1\x84.png?\xD1\x84\">", "/%D1%84.png?%D1%84"},
      {"/1251.html", "text/html; charset=windows-1251", "<img src=\"\xF4.png?\xF4\">", "/%D1%84.png?%F4"},
      {"/meta.html", "text/html", "<meta charset=windows-1252><iframe src=\"\xE9.html?\xE9\"></iframe>",
       "/%C3%A9.html?%E9"},
  };
  for (const auto& c : cases) {
    FServer.Serve(c.Page, c.Type, c.Body);
    ASSERT_TRUE(FLoader.Navigate(FServer.UrlW(c.Page)).Ok) << c.Page;
    EXPECT_EQ(FServer.RequestCount(c.Asked), 1) << c.Page;
  }
}

TEST_F(PageLoader, AnAddressThatDoesNotAnswerIsShownAsFailed) {
  std::wstring deadUrl;
  {
    test::LoopbackHttpServer dead;
    deadUrl = dead.UrlW("/gone.html");
  }
  const TNavigationResult result = FLoader.Navigate(deadUrl);
  EXPECT_FALSE(result.Ok);
  EXPECT_THAT(result.Error, HasSubstr("0x800C"));
  EXPECT_TRUE(FView.Titles.empty());
  ASSERT_EQ(FView.Pages.size(), 1u);
  EXPECT_THAT(FView.Pages[0], HasSubstr(L"This page cannot be displayed"));
}

}  // namespace
}  // namespace tarvik::host
