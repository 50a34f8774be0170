// Navigations of a real host window against a loopback server, seen by a
// sink connected to the window's DWebBrowserEvents2: the browser's order,
// the event shapes, each frame's own identity, every resource fetched once.
#include <exdispid.h>
#include <mshtml.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BrowserWindow.h"
#include "InterfaceStubs.h"
#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "framework/InterfacedObject.h"
#include "support/win/LoopbackHttpServer.h"

namespace tarvik::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::wstring UrlArgument(const VARIANT& argument) {
  const VARIANT* value = &argument;
  if (V_VT(value) == (VT_BYREF | VT_VARIANT)) value = V_VARIANTREF(value);
  return V_VT(value) == VT_BSTR ? std::wstring(V_BSTR(value)) : L"<not text>";
}

// Records the navigation events as "Event window URL", the windows named by
// the order in which they first appear (top, frame1, frame2...).
class TRecordingSink final : public TInterfacedImpl<standin::TDispatchStubs> {
 public:
  static ComPtr<TRecordingSink> Create(IWebBrowser2* top) { return TInterfacedObject::Create<TRecordingSink>(top); }

  std::vector<std::wstring> Events;
  std::wstring CancelUrl;  // BeforeNavigate2 of this address is cancelled
  std::wstring TopTitle;   // the top document's title at its DocumentComplete
  bool ShapesOk = true;

  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    const UINT count = params ? params->cArgs : 0;
    auto window = [&](UINT arguments) {
      // pDisp comes first in the declaration, last in the array.
      ShapesOk = ShapesOk && count == arguments && V_VT(&params->rgvarg[count - 1]) == VT_DISPATCH;
      return ShapesOk ? Name(V_DISPATCH(&params->rgvarg[count - 1])) : L"?";
    };
    switch (id) {
      case DISPID_BEFORENAVIGATE2: {
        const std::wstring who = window(7);
        if (!ShapesOk) break;
        const std::wstring url = UrlArgument(params->rgvarg[5]);
        ShapesOk = V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_BOOL);
        if (ShapesOk && url == CancelUrl) *V_BOOLREF(&params->rgvarg[0]) = VARIANT_TRUE;
        Events.push_back(L"BeforeNavigate2 " + who + L" " + url);
        break;
      }
      case DISPID_NAVIGATECOMPLETE2:
        Events.push_back(L"NavigateComplete2 " + window(2) + L" " + UrlArgument(params->rgvarg[0]));
        break;
      case DISPID_DOCUMENTCOMPLETE: {
        const std::wstring who = window(2);
        Events.push_back(L"DocumentComplete " + who + L" " + UrlArgument(params->rgvarg[0]));
        if (who == L"top") ReadTopTitle();
        break;
      }
      case DISPID_NAVIGATEERROR:
        Events.push_back(L"NavigateError " + window(5) + L" " + UrlArgument(params->rgvarg[3]));
        break;
      case DISPID_DOWNLOADBEGIN:
        Events.push_back(L"DownloadBegin");
        break;
      case DISPID_DOWNLOADCOMPLETE:
        Events.push_back(L"DownloadComplete");
        break;
      default:
        break;
    }
    return S_OK;
  }

 private:
  friend class TInterfacedObject;
  explicit TRecordingSink(IWebBrowser2* top) : FTop(top) {}

  std::wstring Name(IDispatch* window) {
    if (SameComObject(window, FTop)) return L"top";
    ComPtr<IUnknown> identity;
    window->QueryInterface(IID_IUnknown, identity.PutVoid());
    for (size_t i = 0; i < FFrames.size(); ++i)
      if (FFrames[i] == identity) return L"frame" + std::to_wstring(i + 1);
    FFrames.push_back(identity);
    return L"frame" + std::to_wstring(FFrames.size());
  }

  void ReadTopTitle() {
    ComPtr<IDispatch> document;
    if (FAILED(FTop->get_Document(document.Put())) || !document) return;
    ComPtr<IHTMLDocument2> html = document.As<IHTMLDocument2>();
    UniqueBstr title;
    if (html && SUCCEEDED(html->get_title(title.Put())) && title)
      TopTitle.assign(title.Get(), ::SysStringLen(title.Get()));
  }

  IWebBrowser2* FTop;  // the window's browser outlives its sinks
  std::vector<ComPtr<IUnknown>> FFrames;
};

class NavigationOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FServer.Running());
    FWindow = std::make_unique<TBrowserWindow>(TWindowOptions{false, 1});
    ASSERT_TRUE(FWindow->Ready()) << FWindow->StartError();
    FWindow->Run([this] {
      FSink = TRecordingSink::Create(FWindow->Browser());
      ComPtr<IConnectionPointContainer> container;
      ComPtr<IConnectionPoint> point;
      DWORD cookie = 0;
      ASSERT_EQ(FWindow->Browser()->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
      ASSERT_EQ(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
      ASSERT_EQ(point->Advise(static_cast<IDispatch*>(FSink.Get()), &cookie), S_OK);
    });
    ASSERT_TRUE(FSink);
  }
  void TearDown() override {
    if (FWindow) FWindow->Close();
  }

  TNavigationResult NavigateAndWait(const std::wstring& url) {
    FWindow->Navigate(url);
    TNavigationResult result;
    EXPECT_TRUE(FWindow->WaitNavigations(++FNavigations, 60000, result));
    return result;
  }

  test::LoopbackHttpServer FServer;
  std::unique_ptr<TBrowserWindow> FWindow;
  ComPtr<TRecordingSink> FSink;
  unsigned FNavigations = 0;
};

TEST_F(NavigationOrder, PageWithNestedFramesAndStyleSheetsInTheBrowsersOrder) {
  test::HttpResponse redirect;
  redirect.Status = 302;
  redirect.Reason = "Found";
  redirect.Headers.emplace_back("Location", "/page.html");
  FServer.Route("/start", redirect);
  FServer.Serve("/page.html", "text/html; charset=windows-1252",
                "<html><head><title>Gr\xFC\xDF"
                "e</title><link rel=stylesheet href=style.css>"
                "<script src=s.js></script></head><body><a name=top></a><a href=#>x</a>"
                "<img src=a.png><img src=a.png><iframe src=frame.html></iframe></body></html>");
  FServer.Serve("/style.css", "text/css", "@import \"more.css\";\nbody{background:url(bg.png)}");
  FServer.Serve("/more.css", "text/css", "p{background:url('deep.png')}");
  FServer.Serve("/frame.html", "text/html", "<title>Frame</title><iframe src=inner.html></iframe><img src=f.png>");
  FServer.Serve("/inner.html", "text/html", "<p>inner");
  for (const char* path : {"/s.js", "/a.png", "/bg.png", "/deep.png", "/f.png"})
    FServer.Serve(path, "application/octet-stream", "bytes");

  const TNavigationResult result = NavigateAndWait(FServer.UrlW("/start"));
  ASSERT_TRUE(result.Ok) << result.Error;
  const std::wstring u = FServer.UrlW("");
  EXPECT_THAT(
      FSink->Events,
      ElementsAre(L"BeforeNavigate2 top " + u + L"/start", L"DownloadBegin",
                  L"NavigateComplete2 top " + u + L"/page.html", L"BeforeNavigate2 frame1 " + u + L"/frame.html",
                  L"DownloadBegin", L"NavigateComplete2 frame1 " + u + L"/frame.html",
                  L"BeforeNavigate2 frame2 " + u + L"/inner.html", L"DownloadBegin",
                  L"NavigateComplete2 frame2 " + u + L"/inner.html", L"DownloadComplete", L"DownloadComplete",
                  L"DownloadComplete", L"DocumentComplete frame2 " + u + L"/inner.html",
                  L"DocumentComplete frame1 " + u + L"/frame.html", L"DocumentComplete top " + u + L"/page.html"));
  EXPECT_TRUE(FSink->ShapesOk);
  // The title in the charset the server declared, converted to UTF-16.
  EXPECT_EQ(FSink->TopTitle,
            L"Gr\xFC\xDF"
            L"e");
  EXPECT_EQ(result.Title,
            L"Gr\xFC\xDF"
            L"e");
  EXPECT_EQ(result.FinalUrl, u + L"/page.html");
  EXPECT_EQ(result.Status, 200);
  // Every resource once, style sheets followed through @import and url().
  for (const char* path : {"/start", "/page.html", "/style.css", "/more.css", "/frame.html", "/inner.html", "/s.js",
                           "/a.png", "/bg.png", "/deep.png", "/f.png"})
    EXPECT_EQ(FServer.RequestCount(path), 1) << path;
  EXPECT_EQ(result.Resources, 9u);
  EXPECT_EQ(result.FailedResources, 0u);
}

TEST_F(NavigationOrder, CancelledNavigationFetchesNothing) {
  FServer.Serve("/page.html", "text/html", "<title>never</title>");
  FSink->CancelUrl = FServer.UrlW("/page.html");
  const TNavigationResult result = NavigateAndWait(FServer.UrlW("/page.html"));
  EXPECT_FALSE(result.Ok);
  EXPECT_THAT(result.Error, HasSubstr("cancelled"));
  EXPECT_THAT(FSink->Events, ElementsAre(L"BeforeNavigate2 top " + FServer.UrlW("/page.html")));
  EXPECT_EQ(FServer.RequestCount(), 0);
}

TEST_F(NavigationOrder, FailuresAreReportedAndTheWindowGoesOn) {
  std::wstring deadUrl;
  {
    test::LoopbackHttpServer dead;
    deadUrl = dead.UrlW("/gone.html");
  }
  TNavigationResult result = NavigateAndWait(deadUrl);
  EXPECT_FALSE(result.Ok);
  EXPECT_THAT(result.Error, HasSubstr("0x800C"));
  EXPECT_THAT(FSink->Events, ElementsAre(L"BeforeNavigate2 top " + deadUrl, L"DownloadBegin",
                                         L"NavigateError top " + deadUrl, L"DownloadComplete"));

  // A missing resource and an error page: the page completes with its status.
  FSink->Events.clear();
  test::HttpResponse missing;
  missing.Status = 404;
  missing.Reason = "Not Found";
  missing.Headers.emplace_back("Content-Type", "text/html");
  missing.Body = "<title>Not here</title><img src=/nothing.png>";
  FServer.Route("/missing.html", missing);
  result = NavigateAndWait(FServer.UrlW("/missing.html"));
  ASSERT_TRUE(result.Ok) << result.Error;
  EXPECT_EQ(result.Status, 404);
  EXPECT_EQ(result.Title, L"Not here");
  EXPECT_EQ(result.FailedResources, 1u);
  EXPECT_EQ(FSink->Events.back(), L"DocumentComplete top " + FServer.UrlW("/missing.html"));
}

}  // namespace
}  // namespace tarvik::host
