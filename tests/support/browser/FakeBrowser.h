#pragma once
// A browser of our own: a window's top-level IWebBrowser2 with its document,
// its frames, ShowBrowserBar and the DWebBrowserEvents2 connection point that
// delivers events through Invoke as the real browser does (pDisp as
// VT_DISPATCH, the other arguments by reference, the array last argument
// first); and the site that the browser gives its band and helper objects.
#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <oleidl.h>
#include <servprov.h>

#include <functional>
#include <string>
#include <vector>

#include "BrowserEvents.h"
#include "BrowserObject.h"
#include "InterfaceStubs.h"
#include "SiteObject.h"
#include "framework/ComPtr.h"
#include "support/browser/FakeDocument.h"
#include "support/browser/StandIn.h"

namespace tarvik::test {

class TFakeWebBrowser final : public standin::TBrowserObject<> {
 public:
  struct TBrowserBarCall {
    VARTYPE ClsidType;
    std::wstring Clsid;  // when given as text
    VARTYPE ShowType;
    bool Show;
    VARTYPE SizeType;
  };

  static ComPtr<TFakeWebBrowser> Create();

  // A second IDispatch pointer of this window: another address, the same COM identity.
  IDispatch* OtherWindowPointer() noexcept { return &FOtherPointer; }

  // Document: empty until set; SetDocumentResult makes get_Document fail.
  void SetDocument(IDispatch* document) { FDocument = document; }
  ComPtr<TFakeHtmlDocument> ShowHtmlDocument();
  void SetDocumentResult(HRESULT hr) noexcept { FDocumentResult = hr; }
  int DocumentRequests() const noexcept { return FDocumentRequests; }

  // A frame of this window: a browser object of its own, with its own document.
  ComPtr<TFakeWebBrowser> AddFrame();

  // ShowBrowserBar records its arguments and answers hr (S_OK by default).
  void SetShowBrowserBarResult(HRESULT hr) noexcept { FShowBrowserBarResult = hr; }
  const std::vector<TBrowserBarCall>& BrowserBarCalls() const noexcept { return FBrowserBarCalls; }
  // Runs inside ShowBrowserBar, where the real browser creates and shows the band.
  void SetOnShowBrowserBar(std::function<void()> action) { FOnShowBrowserBar = std::move(action); }

  // The DWebBrowserEvents2 connection point and ways to make it fail.
  void SetOffersConnectionPoints(bool offers) noexcept { FOffersConnectionPoints = offers; }
  void SetFindConnectionPointResult(HRESULT hr) noexcept { FFindResult = hr; }
  void SetAdviseResult(HRESULT hr) noexcept { FAdviseResult = hr; }
  int AdviseCalls() const noexcept { return FAdviseCalls; }
  const std::vector<DWORD>& UnadviseCalls() const noexcept { return FUnadviseCalls; }
  size_t SinkCount() const noexcept { return FEvents.Count(); }

  // Events, delivered to every connected sink. Each answers the result of
  // the last sink's Invoke, or S_FALSE when no sink is connected.
  HRESULT FireBeforeNavigate2(IDispatch* window, const std::wstring& url, VARIANT_BOOL* cancel = nullptr);
  HRESULT FireNavigateComplete2(IDispatch* window, const std::wstring& url);
  HRESULT FireDocumentComplete(IDispatch* window, const std::wstring& url);
  HRESULT FireDownloadBegin();
  HRESULT FireDownloadComplete();
  // Any event with the parameters given as they stand (malformed ones too).
  HRESULT FireEvent(DISPID dispid, DISPPARAMS* params);
  // One navigation of window as the browser reports it: BeforeNavigate2
  // (and nothing more when a sink cancels it), DownloadBegin,
  // NavigateComplete2, DownloadComplete, DocumentComplete.
  void Navigate(IDispatch* window, const std::wstring& url);

  // IUnknown: also IDispatch, IWebBrowser and IWebBrowserApp; no
  // IConnectionPointContainer when a test takes it away.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  // IWebBrowser2
  STDMETHODIMP get_Document(IDispatch** ppDisp) override;
  STDMETHODIMP ShowBrowserBar(VARIANT* pvaClsid, VARIANT* pvarShow, VARIANT* pvarSize) override;
  // IConnectionPointContainer
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

 private:
  friend class TInterfacedObject;
  TFakeWebBrowser() = default;

  // Parts of this object with interfaces of their own; they live and die with it.
  // The browser host's connection point, counting and refusing connections as a test asks.
  class TEventsPoint final : public standin::TEventsConnectionPoint {
   public:
    explicit TEventsPoint(TFakeWebBrowser* owner) : TEventsConnectionPoint(owner, owner->FEvents), FOwner(owner) {}
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;

   private:
    TFakeWebBrowser* FOwner;
  };
  class TOtherPointer final : public TDispatchStubs {
   public:
    explicit TOtherPointer(TFakeWebBrowser* owner) : FOwner(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return FOwner->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return FOwner->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return FOwner->Release(); }

   private:
    TFakeWebBrowser* FOwner;
  };
  ComPtr<IDispatch> FDocument;
  HRESULT FDocumentResult = S_OK;
  int FDocumentRequests = 0;
  std::vector<ComPtr<TFakeWebBrowser>> FFrames;
  HRESULT FShowBrowserBarResult = S_OK;
  std::vector<TBrowserBarCall> FBrowserBarCalls;
  std::function<void()> FOnShowBrowserBar;
  bool FOffersConnectionPoints = true;
  HRESULT FFindResult = S_OK;
  HRESULT FAdviseResult = S_OK;
  int FAdviseCalls = 0;
  std::vector<DWORD> FUnadviseCalls;
  standin::TEventSinks FEvents;
  TEventsPoint FEventsPoint{this};
  TOtherPointer FOtherPointer{this};
};

// The site a browser window gives its helper objects and bands: its window
// (IOleWindow) and the way to the browser (IServiceProvider).
class TFakeSite final : public standin::TSiteObject {
 public:
  // browser may be empty: the site then finds no browser.
  static ComPtr<TFakeSite> Create(IWebBrowser2* browser, HWND window = nullptr);

  void SetOffersServiceProvider(bool offers) noexcept { FOffersServiceProvider = offers; }
  // QueryService fails with hr and hands out nothing.
  void SetQueryServiceResult(HRESULT hr) noexcept { FQueryServiceResult = hr; }
  // QueryService answers S_OK but hands out nothing.
  void SetAnswersWithoutBrowser(bool answers) noexcept { FAnswersWithoutBrowser = answers; }
  int QueryServiceCalls() const noexcept { return FQueryServiceCalls; }
  const GUID& LastService() const noexcept { return FLastService; }
  const IID& LastRequestedInterface() const noexcept { return FLastRiid; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  // IServiceProvider: SID_SWebBrowserApp leads to the browser.
  STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override;

 private:
  friend class TInterfacedObject;
  TFakeSite(IWebBrowser2* browser, HWND window) : TSiteObject(window), FBrowser(browser) {}

  ComPtr<IWebBrowser2> FBrowser;
  bool FOffersServiceProvider = true;
  HRESULT FQueryServiceResult = S_OK;
  bool FAnswersWithoutBrowser = false;
  int FQueryServiceCalls = 0;
  GUID FLastService = GUID_NULL;
  IID FLastRiid = GUID_NULL;
};

}  // namespace tarvik::test
