#include "support/browser/FakeBrowser.h"

#include <exdispid.h>
#include <shlguid.h>

#include "framework/Handles.h"

namespace tarvik::test {

namespace {

VARIANT Reference(VARIANT* target) {
  VARIANT argument;
  ::VariantInit(&argument);
  V_VT(&argument) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&argument) = target;
  return argument;
}

VARIANT WindowArgument(IDispatch* window) {
  VARIANT argument;
  ::VariantInit(&argument);
  V_VT(&argument) = VT_DISPATCH;
  V_DISPATCH(&argument) = window;
  return argument;
}

void SetText(UniqueVariant& value, const std::wstring& text) {
  VARIANT* v = value.Put();
  V_VT(v) = VT_BSTR;
  V_BSTR(v) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// pDisp and URL: NavigateComplete2 and DocumentComplete.
HRESULT FireWindowEvent(TFakeWebBrowser& browser, DISPID dispid, IDispatch* window, const std::wstring& url) {
  UniqueVariant urlValue;
  SetText(urlValue, url);
  VARIANT arguments[2] = {Reference(&urlValue.Get()), WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 2, 0};
  return browser.FireEvent(dispid, &params);
}

}  // namespace

ComPtr<TFakeWebBrowser> TFakeWebBrowser::Create() { return TInterfacedObject::Create<TFakeWebBrowser>(); }

ComPtr<TFakeHtmlDocument> TFakeWebBrowser::ShowHtmlDocument() {
  ComPtr<TFakeHtmlDocument> document = TFakeHtmlDocument::Create();
  FDocument = static_cast<IHTMLDocument2*>(document.Get());
  return document;
}

ComPtr<TFakeWebBrowser> TFakeWebBrowser::AddFrame() {
  ComPtr<TFakeWebBrowser> frame = Create();
  FFrames.push_back(frame);
  return frame;
}

HRESULT TFakeWebBrowser::FireBeforeNavigate2(IDispatch* window, const std::wstring& url, VARIANT_BOOL* cancel) {
  UniqueVariant urlValue, flags, targetFrame, postData, headers;
  SetText(urlValue, url);
  V_VT(&flags.Get()) = VT_I4;
  V_I4(&flags.Get()) = 0;
  SetText(targetFrame, L"");
  SetText(headers, L"");
  VARIANT_BOOL cancelValue = VARIANT_FALSE;
  VARIANT cancelArgument;
  ::VariantInit(&cancelArgument);
  V_VT(&cancelArgument) = VT_BYREF | VT_BOOL;
  V_BOOLREF(&cancelArgument) = &cancelValue;
  // Last argument first: Cancel, Headers, PostData, TargetFrameName, Flags, URL, pDisp.
  VARIANT arguments[7] = {cancelArgument,          Reference(&headers.Get()), Reference(&postData.Get()),
                          Reference(&targetFrame.Get()), Reference(&flags.Get()), Reference(&urlValue.Get()),
                          WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 7, 0};
  const HRESULT hr = FireEvent(DISPID_BEFORENAVIGATE2, &params);
  if (cancel) *cancel = cancelValue;
  return hr;
}

HRESULT TFakeWebBrowser::FireNavigateComplete2(IDispatch* window, const std::wstring& url) {
  return FireWindowEvent(*this, DISPID_NAVIGATECOMPLETE2, window, url);
}

HRESULT TFakeWebBrowser::FireDocumentComplete(IDispatch* window, const std::wstring& url) {
  return FireWindowEvent(*this, DISPID_DOCUMENTCOMPLETE, window, url);
}

HRESULT TFakeWebBrowser::FireDownloadBegin() {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return FireEvent(DISPID_DOWNLOADBEGIN, &none);
}

HRESULT TFakeWebBrowser::FireDownloadComplete() {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return FireEvent(DISPID_DOWNLOADCOMPLETE, &none);
}

HRESULT TFakeWebBrowser::FireEvent(DISPID dispid, DISPPARAMS* params) {
  // A sink may disconnect while it handles the event.
  std::vector<ComPtr<IDispatch>> sinks;
  for (const TSink& sink : FSinks) sinks.push_back(sink.Sink);
  if (sinks.empty()) return S_FALSE;
  HRESULT hr = S_OK;
  for (const ComPtr<IDispatch>& sink : sinks)
    hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
  return hr;
}

void TFakeWebBrowser::Navigate(IDispatch* window, const std::wstring& url) {
  VARIANT_BOOL cancel = VARIANT_FALSE;
  FireBeforeNavigate2(window, url, &cancel);
  if (cancel != VARIANT_FALSE) return;
  FireDownloadBegin();
  FireNavigateComplete2(window, url);
  FireDownloadComplete();
  FireDocumentComplete(window, url);
}

STDMETHODIMP TFakeWebBrowser::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, __uuidof(IWebBrowser)) ||
      IsEqualIID(riid, __uuidof(IWebBrowserApp))) {
    *ppv = static_cast<IWebBrowser2*>(this);
    AddRef();
    return S_OK;
  }
  if (IsEqualIID(riid, IID_IConnectionPointContainer) && !FOffersConnectionPoints) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return QueryOwnInterface(riid, ppv);
}

STDMETHODIMP TFakeWebBrowser::get_Document(IDispatch** ppDisp) {
  ++FDocumentRequests;
  if (!ppDisp) return E_POINTER;
  *ppDisp = nullptr;
  if (FAILED(FDocumentResult)) return FDocumentResult;
  return FDocument ? FDocument.CopyTo(ppDisp) : S_OK;
}

STDMETHODIMP TFakeWebBrowser::ShowBrowserBar(VARIANT* pvaClsid, VARIANT* pvarShow, VARIANT* pvarSize) {
  TBrowserBarCall call{VT_ILLEGAL, L"", VT_ILLEGAL, false, VT_ILLEGAL};
  if (pvaClsid) {
    call.ClsidType = V_VT(pvaClsid);
    if (V_VT(pvaClsid) == VT_BSTR && V_BSTR(pvaClsid)) call.Clsid = V_BSTR(pvaClsid);
  }
  if (pvarShow) {
    call.ShowType = V_VT(pvarShow);
    call.Show = V_VT(pvarShow) == VT_BOOL && V_BOOL(pvarShow) != VARIANT_FALSE;
  }
  if (pvarSize) call.SizeType = V_VT(pvarSize);
  FBrowserBarCalls.push_back(call);
  if (FOnShowBrowserBar) FOnShowBrowserBar();
  return FShowBrowserBarResult;
}

STDMETHODIMP TFakeWebBrowser::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (FAILED(FFindResult)) return FFindResult;
  if (!IsEqualIID(riid, DIID_DWebBrowserEvents2)) return CONNECT_E_NOCONNECTION;
  *ppCP = &FEventsPoint;
  AddRef();
  return S_OK;
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = DIID_DWebBrowserEvents2;
  return S_OK;
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  return FOwner->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  ++FOwner->FAdviseCalls;
  if (!pUnkSink || !pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (FAILED(FOwner->FAdviseResult)) return FOwner->FAdviseResult;
  // The event interface itself, or else plain IDispatch, as the browser accepts.
  ComPtr<IDispatch> sink;
  if (FAILED(pUnkSink->QueryInterface(DIID_DWebBrowserEvents2, sink.PutVoid())) &&
      FAILED(pUnkSink->QueryInterface(IID_IDispatch, sink.PutVoid())))
    return CONNECT_E_CANNOTCONNECT;
  *pdwCookie = ++FOwner->FNextCookie;
  FOwner->FSinks.push_back({*pdwCookie, std::move(sink)});
  return S_OK;
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::Unadvise(DWORD dwCookie) {
  FOwner->FUnadviseCalls.push_back(dwCookie);
  for (auto it = FOwner->FSinks.begin(); it != FOwner->FSinks.end(); ++it)
    if (it->Cookie == dwCookie) {
      // Release the sink after it has left the list: its release may re-enter.
      ComPtr<IDispatch> sink = std::move(it->Sink);
      FOwner->FSinks.erase(it);
      return S_OK;
    }
  return CONNECT_E_NOCONNECTION;
}

ComPtr<TFakeSite> TFakeSite::Create(IWebBrowser2* browser, HWND window) {
  return TInterfacedObject::Create<TFakeSite>(browser, window);
}

STDMETHODIMP TFakeSite::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && IsEqualIID(riid, IID_IServiceProvider) && !FOffersServiceProvider) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return QueryOwnInterface(riid, ppv);
}

STDMETHODIMP TFakeSite::GetWindow(HWND* phwnd) {
  if (!phwnd) return E_POINTER;
  *phwnd = FWindow;
  return FWindow ? S_OK : E_FAIL;
}

STDMETHODIMP TFakeSite::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  ++FQueryServiceCalls;
  FLastService = guidService;
  FLastRiid = riid;
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (FAILED(FQueryServiceResult)) return FQueryServiceResult;
  if (!IsEqualGUID(guidService, SID_SWebBrowserApp)) return E_NOINTERFACE;
  if (FAnswersWithoutBrowser) return S_OK;
  if (!FBrowser) return E_NOINTERFACE;
  return FBrowser->QueryInterface(riid, ppv);
}

}  // namespace tarvik::test
