#include "browser/CoTarvikBrowserMoniter.h"

#include <exdispid.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/Handles.h"
#include "framework/Trace.h"
#include "support/TraceRecorder.h"
#include "support/browser/FakeBrowser.h"
#include "support/browser/RecordingRuntime.h"

namespace tarvik {
namespace {

using test::TFakeHtmlDocument;
using test::TFakeWebBrowser;
using test::TInformedEvent;
using test::TRecordingRuntime;
using test::TScopedRuntime;

uintptr_t Oid(IDispatch* window) { return reinterpret_cast<uintptr_t>(window); }
std::string Hex8(IDispatch* window) { return Format("%08X", static_cast<unsigned>(Oid(window))); }
int32_t ThisThread() { return static_cast<int32_t>(::GetCurrentThreadId()); }

void ExpectEvent(const TInformedEvent& e, uintptr_t oid, uint8_t category, uint8_t event, const std::string& value) {
  EXPECT_EQ(e.TID, ThisThread());
  EXPECT_EQ(e.OID, oid);
  EXPECT_EQ(e.Category, category);
  EXPECT_EQ(e.Event, event);
  EXPECT_EQ(e.Value, value);
}

void ExpectLine(const test::TraceLine& line, const std::string& source, const std::string& message, int32_t extra,
                int32_t level) {
  EXPECT_EQ(line.Source, source);
  EXPECT_EQ(line.Message, message);
  EXPECT_EQ(line.Extra, extra);
  EXPECT_EQ(line.Level, level);
}

// Arguments built by hand, for events the browser never sends as they are.
VARIANT Var(VARTYPE type) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = type;
  return v;
}
VARIANT DispatchVar(IDispatch* d) {
  VARIANT v = Var(VT_DISPATCH);
  V_DISPATCH(&v) = d;
  return v;
}
VARIANT RefVar(VARIANT* target) {
  VARIANT v = Var(VT_BYREF | VT_VARIANT);
  V_VARIANTREF(&v) = target;
  return v;
}
VARIANT IntVar(LONG value) {
  VARIANT v = Var(VT_I4);
  V_I4(&v) = value;
  return v;
}

// A monitor for one fake browser window, connected to its events, with a
// recording runtime published for the test.
class BrowserMoniter : public ::testing::Test {
 protected:
  void SetUp() override {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(FBrowser->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
    ASSERT_EQ(point->Advise(static_cast<IDispatch*>(FMoniter.Get()), &FCookie), S_OK);
  }
  void TearDown() override {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(FBrowser->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
    EXPECT_EQ(point->Unadvise(FCookie), S_OK);
  }

  HRESULT Invoke(DISPID dispid, DISPPARAMS* params) {
    return FMoniter->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
  }
  IDispatch* Top() { return FBrowser->Window(); }

  // The lines the monitor traced.
  test::TraceRecorder FTrace;
  ComPtr<TRecordingRuntime> FRuntime = TRecordingRuntime::Create();
  TScopedRuntime FScope{FRuntime.Get()};
  ComPtr<TFakeWebBrowser> FBrowser = TFakeWebBrowser::Create();
  ComPtr<TTarvikBrowserMoniter> FMoniter = TTarvikBrowserMoniter::Create(FBrowser.Get());
  DWORD FCookie = 0;
};

TEST_F(BrowserMoniter, TopLevelHttpsNavigationIsRecordedWithoutItsFragment) {
  const std::wstring url = L"https://example.test/page?q=1#section#more";
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), url), S_OK);
  EXPECT_EQ(FBrowser->FireNavigateComplete2(Top(), url), S_OK);

  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 2u);
  ExpectEvent(events[0], Oid(Top()), CategoryMainNavigation, EventStart, "https://example.test/page?q=1");
  ExpectEvent(events[1], Oid(Top()), CategoryMainNavigation, EventFinish, "https://example.test/page?q=1");
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[0], "BrowserMoniter.BeforeNavigation2(window[" + Hex8(Top()) + "])", "https://example.test/page?q=1",
             0, 50);
  ExpectLine(lines[1], "BrowserMoniter.NavigationComplete2(window[" + Hex8(Top()) + "])",
             "https://example.test/page?q=1", 0, 50);
}

TEST_F(BrowserMoniter, OnlyHttpAndHttpsStartsAreRecordedWhateverTheirCase) {
  const std::vector<std::wstring> recorded = {L"HTTP://EXAMPLE.TEST/", L"HtTpS://example.test/a", L"http:x"};
  const std::vector<std::wstring> skipped = {L"about:blank",           L"file:///C:/page.html",
                                             L"javascript:void(0)",    L"ftp://example.test/",
                                             L"httpx://example.test/", L"http",
                                             L"no scheme at all",      L"",
                                             L"#http://fragment.only/"};
  for (const auto& url : recorded) EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), url), S_OK);
  for (const auto& url : skipped) EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), url), S_OK);
  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"HTTP://EXAMPLE.TEST/", "HtTpS://example.test/a", "http:x"}));
  // Every navigation start is traced, recorded or not.
  EXPECT_EQ(FTrace.Lines().size(), recorded.size() + skipped.size());
}

TEST_F(BrowserMoniter, AboutBlankInAFrameIsRecordedOnlyWhenItCompletes) {
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(frame->Window(), L"about:blank"), S_OK);
  EXPECT_TRUE(FRuntime->Events().empty());
  EXPECT_EQ(FBrowser->FireNavigateComplete2(frame->Window(), L"about:blank"), S_OK);
  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 1u);
  ExpectEvent(events[0], Oid(frame->Window()), CategoryFrameNavigation, EventFinish, "about:blank");
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[0], "BrowserMoniter.BeforeNavigation2(iframe[" + Hex8(frame->Window()) + "])", "about:blank", 0, 50);
  ExpectLine(lines[1], "BrowserMoniter.NavigationComplete2(iframe[" + Hex8(frame->Window()) + "])", "about:blank", 0,
             50);
}

TEST_F(BrowserMoniter, FramesAndTheTopWindowAreToldApartByComIdentity) {
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  IDispatch* other = FBrowser->OtherWindowPointer();
  ASSERT_NE(Oid(other), Oid(Top()));  // another address of the same object

  FBrowser->FireBeforeNavigate2(frame->Window(), L"http://example.test/frame.html");
  FBrowser->FireBeforeNavigate2(Top(), L"http://example.test/");
  FBrowser->FireBeforeNavigate2(other, L"http://example.test/other");
  FBrowser->FireNavigateComplete2(frame->Window(), L"http://example.test/frame.html");

  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 4u);
  ExpectEvent(events[0], Oid(frame->Window()), CategoryFrameNavigation, EventStart, "http://example.test/frame.html");
  ExpectEvent(events[1], Oid(Top()), CategoryMainNavigation, EventStart, "http://example.test/");
  // The OID is the pointer the event carried; the category follows the identity.
  ExpectEvent(events[2], Oid(other), CategoryMainNavigation, EventStart, "http://example.test/other");
  ExpectEvent(events[3], Oid(frame->Window()), CategoryFrameNavigation, EventFinish, "http://example.test/frame.html");
  EXPECT_EQ(FTrace.Lines()[2].Source, "BrowserMoniter.BeforeNavigation2(window[" + Hex8(other) + "])");
}

TEST_F(BrowserMoniter, DocumentCompleteRecordsNamedAnchorsThenLinksEndingInHash) {
  ComPtr<TFakeHtmlDocument> document = FBrowser->ShowHtmlDocument();
  document->AddAnchor(L"top", L"http://example.test/page#top");
  document->AddLink(L"http://example.test/page#");
  document->AddLink(L"http://example.test/next");
  document->AddLink(L"http://other.test/#");

  EXPECT_EQ(FBrowser->FireDocumentComplete(Top(), L"http://example.test/page#somewhere"), S_OK);

  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 3u);
  ExpectEvent(events[0], 0, CategoryDownload, EventStart, "http://example.test/page#top");
  ExpectEvent(events[1], 0, CategoryDownload, EventStart, "http://example.test/page#");
  // The page's own URL, not the link's address.
  ExpectEvent(events[2], 0, CategoryDownload, EventStart, "http://example.test/page#");
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  ExpectLine(lines[0], "BrowserMoniter", "DocumentComplete (window[" + Hex8(Top()) + "])", 0, 50);

  // Each element asked for by item(i, 0), in order.
  const auto& anchorCalls = document->Anchors().ItemCalls();
  ASSERT_EQ(anchorCalls.size(), 1u);
  const auto& linkCalls = document->Links().ItemCalls();
  ASSERT_EQ(linkCalls.size(), 3u);
  for (size_t i = 0; i < linkCalls.size(); ++i) {
    EXPECT_EQ(linkCalls[i].NameType, VT_I4);
    EXPECT_EQ(linkCalls[i].Name, static_cast<long>(i));
    EXPECT_EQ(linkCalls[i].IndexType, VT_I4);
    EXPECT_EQ(linkCalls[i].Index, 0);
  }
}

TEST_F(BrowserMoniter, AnAnchorsHrefCountsOnlyWhenItIsExactlyHash) {
  ComPtr<TFakeHtmlDocument> document = FBrowser->ShowHtmlDocument();
  document->AddAnchor(L"named", L"#");  // two items
  document->AddAnchor(L"", L"#");       // one item
  document->AddAnchor(L"", L"page#");   // none: not exactly "#"
  document->AddAnchor(L"", L"");        // none
  FBrowser->FireDocumentComplete(Top(), L"http://example.test/p");
  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"http://example.test/p#named", "http://example.test/p#",
                                                          "http://example.test/p#"}));
}

TEST_F(BrowserMoniter, AFrameThatCompletesHasItsOwnDocumentExamined) {
  FBrowser->ShowHtmlDocument()->AddAnchor(L"outer", L"");
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  frame->ShowHtmlDocument()->AddAnchor(L"inner", L"").AddLink(L"x#");
  EXPECT_EQ(FBrowser->FireDocumentComplete(frame->Window(), L"http://example.test/frame.html#f"), S_OK);
  EXPECT_EQ(FRuntime->Values(),
            (std::vector<std::string>{"http://example.test/frame.html#inner", "http://example.test/frame.html#"}));
  for (const auto& e : FRuntime->Events()) EXPECT_EQ(e.OID, 0u);
  ASSERT_EQ(FTrace.Lines().size(), 1u);
  EXPECT_EQ(FTrace.Lines()[0].Message, "DocumentComplete (iframe[" + Hex8(frame->Window()) + "])");
}

TEST_F(BrowserMoniter, NothingHappensWhileTheTopWindowShowsNoHtmlDocument) {
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  frame->ShowHtmlDocument()->AddAnchor(L"inner", L"#");
  auto expectNothing = [&](const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(FBrowser->FireDocumentComplete(frame->Window(), L"http://example.test/f"), S_OK);
    EXPECT_EQ(FBrowser->FireDocumentComplete(Top(), L"http://example.test/"), S_OK);
    EXPECT_TRUE(FRuntime->Events().empty());
    EXPECT_TRUE(FTrace.Lines().empty());
    EXPECT_EQ(frame->DocumentRequests(), 0);
  };
  expectNothing("no document");
  FBrowser->SetDocument(test::TFakePlainDocument::Create().Get());
  expectNothing("a document that is not HTML");
  FBrowser->ShowHtmlDocument();
  FBrowser->SetDocumentResult(E_ACCESSDENIED);
  expectNothing("the document cannot be obtained");
  EXPECT_GT(FBrowser->DocumentRequests(), 0);
}

TEST_F(BrowserMoniter, AMonitorWithoutABrowserRecordsNavigationsButNoDocuments) {
  ComPtr<TTarvikBrowserMoniter> lonely = TTarvikBrowserMoniter::Create(nullptr);
  FBrowser->ShowHtmlDocument()->AddAnchor(L"a", L"#");
  VARIANT url = Var(VT_BSTR);
  UniqueBstr text(::SysAllocString(L"http://example.test/#x"));
  V_BSTR(&url) = text.Get();
  VARIANT args[2] = {RefVar(&url), DispatchVar(Top())};
  DISPPARAMS params = {args, nullptr, 2, 0};
  EXPECT_EQ(lonely->Invoke(DISPID_DOCUMENTCOMPLETE, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_TRUE(FRuntime->Events().empty());
  EXPECT_EQ(lonely->Invoke(DISPID_NAVIGATECOMPLETE2, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 1u);
  // With no top-level browser to compare with, every window is a frame.
  ExpectEvent(events[0], Oid(Top()), CategoryFrameNavigation, EventFinish, "http://example.test/");
}

TEST_F(BrowserMoniter, AnImageMapAreaAmongTheLinksEndsTheScan) {
  ComPtr<TFakeHtmlDocument> document = FBrowser->ShowHtmlDocument();
  document->AddAnchor(L"first", L"");
  document->AddLink(L"a#").AddAreaLink(L"map#").AddLink(L"b#");
  EXPECT_EQ(FBrowser->FireDocumentComplete(Top(), L"http://example.test/"), S_OK);
  // What came before the area stays; nothing after it is looked at.
  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"http://example.test/#first", "http://example.test/#"}));
  EXPECT_EQ(document->Links().ItemCalls().size(), 2u);
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[1], "Browser Moniter", "EXCEPTION [DocumentComplete]", 1000, 200);
}

TEST_F(BrowserMoniter, FailuresInsideTheDocumentEndTheScanWithSOk) {
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  FBrowser->ShowHtmlDocument();

  // A frame showing no HTML document.
  frame->SetDocument(test::TFakePlainDocument::Create().Get());
  EXPECT_EQ(FBrowser->FireDocumentComplete(frame->Window(), L"http://example.test/f.pdf"), S_OK);
  // An element that cannot tell its name, after one that could.
  ComPtr<TFakeHtmlDocument> document = frame->ShowHtmlDocument();
  document->AddAnchor(L"good", L"");
  ComPtr<test::TFakeAnchor> broken = test::TFakeAnchor::Create(L"bad", L"#");
  broken->SetFailure(E_OUTOFMEMORY);
  document->Anchors().Add(broken.Get());
  document->AddLink(L"never#");
  EXPECT_EQ(FBrowser->FireDocumentComplete(frame->Window(), L"http://example.test/f"), S_OK);
  // An empty place in the collection.
  ComPtr<TFakeHtmlDocument> holes = frame->ShowHtmlDocument();
  holes->Links().Add(nullptr);
  EXPECT_EQ(FBrowser->FireDocumentComplete(frame->Window(), L"http://example.test/g"), S_OK);

  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"http://example.test/f#good"}));
  int exceptions = 0;
  for (const auto& line : FTrace.Lines())
    if (line.Source == "Browser Moniter") {
      ExpectLine(line, "Browser Moniter", "EXCEPTION [DocumentComplete]", 1000, 200);
      ++exceptions;
    }
  EXPECT_EQ(exceptions, 3);
}

TEST_F(BrowserMoniter, DownloadEventsAreTracedOnlyAndOtherEventsIgnored) {
  EXPECT_EQ(FBrowser->FireDownloadBegin(), S_OK);
  EXPECT_EQ(FBrowser->FireDownloadComplete(), S_OK);
  // Other events, whatever they carry.
  VARIANT junk[3] = {IntVar(1), Var(VT_NULL), DispatchVar(Top())};
  DISPPARAMS params = {junk, nullptr, 3, 0};
  for (DISPID dispid : {102, 108, 113, 105, 0, -1, 251, 253}) {
    EXPECT_EQ(Invoke(dispid, &params), S_OK) << dispid;
    EXPECT_EQ(Invoke(dispid, nullptr), S_OK) << dispid;
  }
  EXPECT_TRUE(FRuntime->Events().empty());
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  ExpectLine(lines[0], "BrowserMoniter", "DownloadBegin", 3000, 50);
  ExpectLine(lines[1], "BrowserMoniter", "DownloadEnd", 3000, 50);
}

TEST_F(BrowserMoniter, MalformedNavigationEventsGiveDispEException) {
  UniqueBstr text(::SysAllocString(L"http://example.test/"));
  VARIANT url = Var(VT_BSTR);
  V_BSTR(&url) = text.Get();
  VARIANT nullUrl = Var(VT_NULL);
  VARIANT objectUrl = DispatchVar(Top());
  VARIANT danglingRef = Var(VT_BYREF | VT_VARIANT);  // a reference to nothing

  struct Case {
    const char* What;
    std::vector<VARIANT> Args;  // in array order: last argument first
    bool NullArray;
  };
  auto navigate = [&](VARIANT window, VARIANT urlArg) {
    return std::vector<VARIANT>{Var(VT_BYREF | VT_BOOL), Var(VT_EMPTY), Var(VT_EMPTY), Var(VT_EMPTY),
                                Var(VT_EMPTY),           urlArg,        window};
  };
  std::vector<Case> cases = {
      {"no arguments", {}, false},
      {"too few", {RefVar(&url), DispatchVar(Top())}, false},
      {"too many",
       [&] {
         auto a = navigate(DispatchVar(Top()), RefVar(&url));
         a.push_back(Var(VT_EMPTY));
         return a;
       }(),
       false},
      {"no array", navigate(DispatchVar(Top()), RefVar(&url)), true},
      {"window as a number", navigate(IntVar(7), RefVar(&url)), false},
      {"window as text", navigate(url, RefVar(&url)), false},
      {"URL null", navigate(DispatchVar(Top()), RefVar(&nullUrl)), false},
      {"URL an object", navigate(DispatchVar(Top()), RefVar(&objectUrl)), false},
      {"URL a reference to nothing", navigate(DispatchVar(Top()), danglingRef), false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.What);
    FRuntime->Clear();
    FTrace.Clear();
    DISPPARAMS params = {c.NullArray ? nullptr : c.Args.data(), nullptr, static_cast<UINT>(c.Args.size()), 0};
    EXPECT_EQ(Invoke(DISPID_BEFORENAVIGATE2, &params), static_cast<HRESULT>(0x80020009));
    EXPECT_TRUE(FRuntime->Events().empty());
    auto lines = FTrace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    ExpectLine(lines[0], "Browser Moniter", "EXCEPTION [BeforeNavigation2]", 1000, 200);
  }
  EXPECT_EQ(Invoke(DISPID_BEFORENAVIGATE2, nullptr), DISP_E_EXCEPTION);

  // The same shapes for the two-argument events.
  FRuntime->Clear();
  FTrace.Clear();
  FBrowser->ShowHtmlDocument()->AddAnchor(L"a", L"#");
  std::vector<std::vector<VARIANT>> shortCases = {{},
                                                  {DispatchVar(Top())},
                                                  {RefVar(&url), DispatchVar(Top()), Var(VT_EMPTY)},
                                                  {RefVar(&url), IntVar(3)},
                                                  {RefVar(&nullUrl), DispatchVar(Top())},
                                                  {danglingRef, DispatchVar(Top())}};
  for (auto& args : shortCases) {
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    EXPECT_EQ(Invoke(DISPID_NAVIGATECOMPLETE2, &params), DISP_E_EXCEPTION);
    EXPECT_EQ(Invoke(DISPID_DOCUMENTCOMPLETE, &params), S_OK);
  }
  EXPECT_TRUE(FRuntime->Events().empty());
  int navigationLines = 0, documentLines = 0;
  for (const auto& line : FTrace.Lines()) {
    EXPECT_EQ(line.Source, "Browser Moniter");
    navigationLines += line.Message == "EXCEPTION [NavigationComplete2]";
    documentLines += line.Message == "EXCEPTION [DocumentComplete]";
  }
  EXPECT_EQ(navigationLines, 6);
  EXPECT_EQ(documentLines, 6);
}

TEST_F(BrowserMoniter, ArgumentsAreTakenDirectOrByReference) {
  UniqueBstr text(::SysAllocString(L"http://example.test/a#b"));
  BSTR textRef = text.Get();
  VARIANT direct = Var(VT_BSTR);
  V_BSTR(&direct) = text.Get();
  VARIANT bstrRef = Var(VT_BYREF | VT_BSTR);
  V_BSTRREF(&bstrRef) = &textRef;
  IDispatch* top = Top();
  VARIANT windowRef = Var(VT_BYREF | VT_DISPATCH);
  V_DISPATCHREF(&windowRef) = &top;
  VARIANT window = DispatchVar(Top());
  VARIANT unknown = Var(VT_UNKNOWN);
  V_UNKNOWN(&unknown) = Top();
  VARIANT number = IntVar(42);

  const std::vector<std::vector<VARIANT>> shapes = {
      {direct, DispatchVar(Top())}, {bstrRef, DispatchVar(Top())}, {RefVar(&direct), RefVar(&window)},
      {RefVar(&direct), windowRef}, {RefVar(&direct), unknown},    {RefVar(&number), DispatchVar(Top())},
  };
  for (auto args : shapes) {
    DISPPARAMS params = {args.data(), nullptr, 2, 0};
    EXPECT_EQ(Invoke(DISPID_NAVIGATECOMPLETE2, &params), S_OK);
  }
  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), shapes.size());
  for (size_t i = 0; i + 1 < events.size(); ++i)
    ExpectEvent(events[i], Oid(Top()), CategoryMainNavigation, EventFinish, "http://example.test/a");
  ExpectEvent(events.back(), Oid(Top()), CategoryMainNavigation, EventFinish, "42");
}

TEST_F(BrowserMoniter, AMissingWindowIsAFrameWithoutIdentity) {
  FBrowser->ShowHtmlDocument()->AddAnchor(L"a", L"#");
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(nullptr, L"http://example.test/"), S_OK);
  EXPECT_EQ(FBrowser->FireNavigateComplete2(nullptr, L"http://example.test/"), S_OK);
  // There is no document of no window to examine.
  EXPECT_EQ(FBrowser->FireDocumentComplete(nullptr, L"http://example.test/"), S_OK);
  const auto events = FRuntime->Events();
  ASSERT_EQ(events.size(), 2u);
  ExpectEvent(events[0], 0, CategoryFrameNavigation, EventStart, "http://example.test/");
  ExpectEvent(events[1], 0, CategoryFrameNavigation, EventFinish, "http://example.test/");
  const auto lines = FTrace.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].Source, "BrowserMoniter.BeforeNavigation2(iframe[00000000])");
  EXPECT_EQ(lines[2].Message, "DocumentComplete (iframe[00000000])");
  ExpectLine(lines[3], "Browser Moniter", "EXCEPTION [DocumentComplete]", 1000, 200);
}

TEST_F(BrowserMoniter, EmptyAndMegabyteUrls) {
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), L""), S_OK);
  EXPECT_EQ(FBrowser->FireNavigateComplete2(Top(), L""), S_OK);
  const std::wstring path(1 << 20, L'a');
  const std::wstring huge = L"http://example.test/" + path + L"#" + path;
  ComPtr<TFakeHtmlDocument> document = FBrowser->ShowHtmlDocument();
  document->AddAnchor(L"n", L"#");
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), huge), S_OK);
  EXPECT_EQ(FBrowser->FireDocumentComplete(Top(), huge), S_OK);

  const std::string cut = "http://example.test/" + std::string(1 << 20, 'a');
  const auto values = FRuntime->Values();
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0], "");  // the end of a navigation is recorded whatever its URL
  EXPECT_EQ(values[1], cut);
  EXPECT_EQ(values[2], cut + "#n");
  EXPECT_EQ(values[3], cut + "#");
}

// Addresses and anchor names enter as the web writes them (AsciiUrl), as the
// protocol monitor keys its records: every character kept, none as "?".
TEST_F(BrowserMoniter, AnchorNamesWithLineBreaksAndNonAsciiText) {
  ComPtr<TFakeHtmlDocument> document = FBrowser->ShowHtmlDocument();
  document->AddAnchor(L"line\r\nbreak", L"");
  document->AddAnchor(L"caf\u00e9", L"");
  document->AddAnchor(L"\u65e5\u672c\u8a9e", L"");
  document->AddAnchor(std::wstring(L"nul\0inside", 10), L"");
  document->AddAnchor(L"\xD800", L"");
  EXPECT_EQ(FBrowser->FireDocumentComplete(Top(), L"http://example.test/\u00fc#x"), S_OK);
  const std::string page = "http://example.test/%C3%BC";
  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{
                                    page + "#line\r\nbreak", page + "#caf%C3%A9", page + "#%E6%97%A5%E6%9C%AC%E8%AA%9E",
                                    page + "#" + std::string("nul\0inside", 10), page + "#%ED%A0%80"}));
}

TEST_F(BrowserMoniter, RawUnicodeNavigationsAreRecordedAsTheWebWritesThem) {
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  const struct {
    IDispatch* Window;
    std::wstring Given;
    std::string Recorded;
  } cases[] = {
      {Top(), L"http://example.test/\x444.html#\x436", "http://example.test/%D1%84.html"},
      {Top(), L"http://example.test/\x436.html", "http://example.test/%D0%B6.html"},
      {frame->Window(), L"http://example.test/%D1%84.html?q=caf\xE9", "http://example.test/%D1%84.html?q=caf%C3%A9"},
      {frame->Window(), L"http://\x444.test/\xD83D\xDE00\xDC00", "http://%D1%84.test/%F0%9F%98%80%ED%B0%80"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(FBrowser->FireBeforeNavigate2(c.Window, c.Given), S_OK);
    EXPECT_EQ(FBrowser->FireNavigateComplete2(c.Window, c.Given), S_OK);
    expected.insert(expected.end(), {c.Recorded, c.Recorded});
  }
  EXPECT_EQ(FRuntime->Values(), expected);
}

TEST_F(BrowserMoniter, TheEventArgumentsAndOutputsAreNeverWritten) {
  VARIANT_BOOL cancel = VARIANT_TRUE;
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), L"http://example.test/"), S_OK);
  FBrowser->FireBeforeNavigate2(Top(), L"http://example.test/", &cancel);
  EXPECT_EQ(cancel, VARIANT_FALSE);

  UniqueBstr text(::SysAllocString(L"http://example.test/x#frag"));
  VARIANT url = Var(VT_BSTR);
  V_BSTR(&url) = text.Get();
  VARIANT args[2] = {RefVar(&url), DispatchVar(Top())};
  DISPPARAMS params = {args, nullptr, 2, 0};
  VARIANT result = IntVar(123);
  EXCEPINFO info;
  std::memset(&info, 0xAB, sizeof info);
  UINT argError = 77;
  for (DISPID dispid : {DISPID_NAVIGATECOMPLETE2, DISPID_DOCUMENTCOMPLETE}) {
    EXPECT_EQ(FMoniter->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &info, &argError), S_OK);
    EXPECT_EQ(V_VT(&url), VT_BSTR);
    EXPECT_EQ(V_BSTR(&url), text.Get());
    EXPECT_STREQ(V_BSTR(&url), L"http://example.test/x#frag");
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 123);
    EXPECT_EQ(info.wCode, 0xABAB);
    EXPECT_EQ(argError, 77u);
  }
  // Even a failing event writes no exception information.
  EXPECT_EQ(
      FMoniter->Invoke(DISPID_NAVIGATECOMPLETE2, IID_NULL, 0, DISPATCH_METHOD, nullptr, &result, &info, &argError),
      DISP_E_EXCEPTION);
  EXPECT_EQ(info.scode, static_cast<SCODE>(0xABABABAB));
  EXPECT_EQ(argError, 77u);
}

TEST_F(BrowserMoniter, TypeInformationIsNotOffered) {
  UINT count = 5;
  EXPECT_EQ(FMoniter->GetTypeInfoCount(&count), E_NOTIMPL);
  EXPECT_EQ(count, 5u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1234);
  EXPECT_EQ(FMoniter->GetTypeInfo(0, 0, &info), E_NOTIMPL);
  EXPECT_EQ(info, reinterpret_cast<ITypeInfo*>(0x1234));
  LPOLESTR name = const_cast<LPOLESTR>(L"Navigate");
  DISPID id = 99;
  EXPECT_EQ(FMoniter->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_NOTIMPL);
  EXPECT_EQ(id, 99);
  // One interface besides IUnknown.
  ComPtr<IDispatch> dispatch;
  EXPECT_EQ(FMoniter->QueryInterface(IID_IDispatch, dispatch.PutVoid()), S_OK);
  ComPtr<IUnknown> other;
  EXPECT_EQ(FMoniter->QueryInterface(DIID_DWebBrowserEvents2, other.PutVoid()), E_NOINTERFACE);
}

// With no sink listening (tracing off), the events are recorded all the same.
TEST_F(BrowserMoniter, WithoutAListeningSinkTheEventsAreRecordedAllTheSame) {
  TraceSink* listening = SetTraceSink(nullptr);
  EXPECT_EQ(FBrowser->FireBeforeNavigate2(Top(), L"http://example.test/"), S_OK);
  EXPECT_EQ(Invoke(DISPID_DOWNLOADBEGIN, nullptr), S_OK);
  SetTraceSink(listening);
  EXPECT_EQ(FRuntime->Events().size(), 1u);
}

// Outside the browser's process: not a trace, not an event, not even a look
// at the document, and S_OK even for events that would otherwise fail.
TEST_F(BrowserMoniter, WithoutARuntimeNothingIsCalledAtAll) {
  test::TraceRecorder trace;
  TScopedRuntime none(nullptr);
  ComPtr<TFakeWebBrowser> frame = FBrowser->AddFrame();
  FBrowser->ShowHtmlDocument()->AddAnchor(L"a", L"#");
  frame->ShowHtmlDocument()->AddAreaLink(L"x#");

  FBrowser->Navigate(Top(), L"http://example.test/");
  FBrowser->Navigate(frame->Window(), L"http://example.test/frame");
  EXPECT_EQ(Invoke(DISPID_BEFORENAVIGATE2, nullptr), S_OK);
  EXPECT_EQ(Invoke(DISPID_NAVIGATECOMPLETE2, nullptr), S_OK);
  EXPECT_EQ(Invoke(DISPID_DOCUMENTCOMPLETE, nullptr), S_OK);

  EXPECT_TRUE(FRuntime->Events().empty());
  EXPECT_TRUE(trace.Lines().empty());
  EXPECT_EQ(FBrowser->DocumentRequests(), 0);
  EXPECT_EQ(frame->DocumentRequests(), 0);
}

// The whole road into the process's real timeline.
TEST(BrowserMoniterTimeline, OneNavigationReachesTheRuntimesTimeline) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>([](IInternetSession** session) -> HRESULT {
    *session = nullptr;
    return E_FAIL;
  });
  TScopedRuntime scope(static_cast<ITarvikRuntime*>(runtime.Get()));
  ComPtr<TFakeWebBrowser> browser = TFakeWebBrowser::Create();
  ComPtr<TTarvikBrowserMoniter> moniter = TTarvikBrowserMoniter::Create(browser.Get());
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(browser->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IDispatch*>(moniter.Get()), &cookie), S_OK);
  browser->ShowHtmlDocument()->AddAnchor(L"intro", L"");
  ComPtr<TFakeWebBrowser> frame = browser->AddFrame();

  browser->Navigate(browser->Window(), L"https://example.test/index.html#top");
  browser->Navigate(frame->Window(), L"https://example.test/frame.html");

  const auto items = runtime->Timeline().Snapshot();
  ASSERT_EQ(items.size(), 5u);
  const struct {
    uintptr_t Oid;
    uint8_t Category, Event;
    const char* Value;
  } expected[] = {
      {Oid(browser->Window()), CategoryMainNavigation, EventStart, "https://example.test/index.html"},
      {Oid(browser->Window()), CategoryMainNavigation, EventFinish, "https://example.test/index.html"},
      {0, CategoryDownload, EventStart, "https://example.test/index.html#intro"},
      {Oid(frame->Window()), CategoryFrameNavigation, EventStart, "https://example.test/frame.html"},
      {Oid(frame->Window()), CategoryFrameNavigation, EventFinish, "https://example.test/frame.html"},
      // The frame shows no document of its own yet: its completion ends in the exception branch.
  };
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(items[i].TID, ThisThread());
    EXPECT_EQ(items[i].OID, expected[i].Oid);
    EXPECT_EQ(items[i].Category, expected[i].Category);
    EXPECT_EQ(items[i].Event, expected[i].Event);
    EXPECT_EQ(items[i].Value, expected[i].Value);
    if (i > 0) {
      EXPECT_GT(items[i].SID, items[i - 1].SID);
    }
  }
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

}  // namespace
}  // namespace tarvik
