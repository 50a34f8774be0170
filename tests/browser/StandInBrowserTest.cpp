// The stand-in browser must deliver events and answer its object model as
// the real one does, or the tests built on it prove nothing.
#include <exdispid.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Handles.h"
#include "support/browser/FakeBrowser.h"

namespace tarvik {
namespace {

using test::TFakeHtmlDocument;
using test::TFakeWebBrowser;

// A sink that keeps the shape of every call it gets.
class ShapeSink final : public TInterfacedImpl<test::TDispatchStubs> {
 public:
  struct Call {
    DISPID Dispid;
    bool NullIid;
    WORD Flags;
    std::vector<VARTYPE> Types;  // in array order
    IDispatch* Window = nullptr;
    std::wstring Url;
    bool ResultGiven;
  };
  std::vector<Call> Calls;

  STDMETHODIMP Invoke(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    Call call{dispid, IsEqualIID(riid, IID_NULL) != 0, flags, {}, nullptr, L"", result != nullptr};
    for (UINT i = 0; i < params->cArgs; ++i) call.Types.push_back(V_VT(&params->rgvarg[i]));
    if (params->cArgs >= 2) {
      const VARIANT& window = params->rgvarg[params->cArgs - 1];
      const VARIANT& url = params->rgvarg[params->cArgs - 2];
      if (V_VT(&window) == VT_DISPATCH) call.Window = V_DISPATCH(&window);
      if (V_VT(&url) == (VT_BYREF | VT_VARIANT) && V_VT(V_VARIANTREF(&url)) == VT_BSTR)
        call.Url = V_BSTR(V_VARIANTREF(&url));
    }
    // The one argument a sink may write.
    if (dispid == DISPID_BEFORENAVIGATE2 && Cancel) *V_BOOLREF(&params->rgvarg[0]) = VARIANT_TRUE;
    Calls.push_back(call);
    return S_OK;
  }
  bool Cancel = false;
};

DWORD Connect(TFakeWebBrowser& browser, IUnknown* sink) {
  ComPtr<IConnectionPointContainer> container;
  EXPECT_EQ(browser.QueryInterface(IID_IConnectionPointContainer, container.PutVoid()), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
  return cookie;
}

TEST(StandInBrowser, EventsArriveThroughInvokeAsTheBrowserSendsThem) {
  ComPtr<TFakeWebBrowser> browser = TFakeWebBrowser::Create();
  ComPtr<ShapeSink> sink = TInterfacedObject::Create<ShapeSink>();
  Connect(*browser, sink->Identity());
  ComPtr<TFakeWebBrowser> frame = browser->AddFrame();
  browser->Navigate(frame->Window(), L"http://example.test/f");

  const std::vector<DISPID> order = {DISPID_BEFORENAVIGATE2, DISPID_DOWNLOADBEGIN, DISPID_NAVIGATECOMPLETE2,
                                     DISPID_DOWNLOADCOMPLETE, DISPID_DOCUMENTCOMPLETE};
  ASSERT_EQ(sink->Calls.size(), order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(sink->Calls[i].Dispid, order[i]);
    EXPECT_TRUE(sink->Calls[i].NullIid);
    EXPECT_EQ(sink->Calls[i].Flags, DISPATCH_METHOD);
    EXPECT_FALSE(sink->Calls[i].ResultGiven);
  }
  const VARTYPE ref = VT_BYREF | VT_VARIANT;
  EXPECT_EQ(sink->Calls[0].Types, (std::vector<VARTYPE>{VT_BYREF | VT_BOOL, ref, ref, ref, ref, ref, VT_DISPATCH}));
  EXPECT_TRUE(sink->Calls[1].Types.empty());
  EXPECT_EQ(sink->Calls[2].Types, (std::vector<VARTYPE>{ref, VT_DISPATCH}));
  EXPECT_EQ(sink->Calls[4].Types, (std::vector<VARTYPE>{ref, VT_DISPATCH}));
  for (size_t i : {0u, 2u, 4u}) {
    EXPECT_EQ(sink->Calls[i].Window, frame->Window());
    EXPECT_EQ(sink->Calls[i].Url, L"http://example.test/f");
  }

  // A cancelled navigation goes no further.
  sink->Calls.clear();
  sink->Cancel = true;
  browser->Navigate(browser->Window(), L"http://example.test/");
  EXPECT_EQ(sink->Calls.size(), 1u);
}

TEST(StandInBrowser, WindowsHaveTheirOwnIdentitiesAndSinksComeAndGo) {
  ComPtr<TFakeWebBrowser> browser = TFakeWebBrowser::Create();
  ComPtr<TFakeWebBrowser> frame = browser->AddFrame();
  EXPECT_FALSE(SameComObject(browser->Window(), frame->Window()));
  EXPECT_TRUE(SameComObject(browser->Window(), browser->OtherWindowPointer()));
  ComPtr<IWebBrowserApp> app;
  EXPECT_EQ(browser->OtherWindowPointer()->QueryInterface(__uuidof(IWebBrowserApp), app.PutVoid()), S_OK);

  const LONG refs = browser->RefCount();
  ComPtr<ShapeSink> sink = TInterfacedObject::Create<ShapeSink>();
  const DWORD cookie = Connect(*browser, sink->Identity());
  EXPECT_EQ(browser->SinkCount(), 1u);
  EXPECT_EQ(browser->FireDownloadBegin(), S_OK);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(browser->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()), S_OK);
  EXPECT_EQ(point->Unadvise(cookie + 5), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(browser->FireDownloadBegin(), S_FALSE);
  point = nullptr;
  EXPECT_EQ(browser->RefCount(), refs);
  EXPECT_EQ(sink->RefCount(), 1);
}

TEST(StandInBrowser, TheDocumentAnswersTitleSelectionAndLocation) {
  ComPtr<TFakeWebBrowser> browser = TFakeWebBrowser::Create();
  ComPtr<TFakeHtmlDocument> shown = browser->ShowHtmlDocument();
  shown->SetTitle(L"A title");
  shown->SetSelectedText(L"selected words");
  shown->SetLocation(L"http://example.test/page");

  ComPtr<IDispatch> disp;
  ASSERT_EQ(browser->get_Document(disp.Put()), S_OK);
  ComPtr<IHTMLDocument2> document;
  ASSERT_EQ(disp.As(document), S_OK);
  UniqueBstr text;
  ASSERT_EQ(document->get_title(text.Put()), S_OK);
  EXPECT_STREQ(text.Get(), L"A title");
  ComPtr<IHTMLSelectionObject> selection;
  ASSERT_EQ(document->get_selection(selection.Put()), S_OK);
  ComPtr<IDispatch> rangeDisp;
  ASSERT_EQ(selection->createRange(rangeDisp.Put()), S_OK);
  ComPtr<IHTMLTxtRange> range;
  ASSERT_EQ(rangeDisp.As(range), S_OK);
  ASSERT_EQ(range->get_text(text.Put()), S_OK);
  EXPECT_STREQ(text.Get(), L"selected words");
  ComPtr<IHTMLLocation> location;
  ASSERT_EQ(document->get_location(location.Put()), S_OK);
  ASSERT_EQ(location->get_href(text.Put()), S_OK);
  EXPECT_STREQ(text.Get(), L"http://example.test/page");
  // Everything else is not there.
  EXPECT_EQ(document->get_body(nullptr), E_NOTIMPL);

  // An image-map area sits among the links but is no anchor element.
  shown->AddAreaLink(L"map#");
  ComPtr<IHTMLElementCollection> links;
  ASSERT_EQ(document->get_links(links.Put()), S_OK);
  VARIANT first, zero;
  ::VariantInit(&first);
  ::VariantInit(&zero);
  V_VT(&first) = V_VT(&zero) = VT_I4;
  V_I4(&first) = V_I4(&zero) = 0;
  ComPtr<IDispatch> element;
  ASSERT_EQ(links->item(first, zero, element.Put()), S_OK);
  ComPtr<IHTMLAnchorElement> anchor;
  EXPECT_EQ(element.As(anchor), E_NOINTERFACE);
  ComPtr<IHTMLAreaElement> area;
  EXPECT_EQ(element.As(area), S_OK);
}

}  // namespace
}  // namespace tarvik
