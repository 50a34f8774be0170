#include "support/browser/FakeBrowser.h"

#include <exdispid.h>
#include <shlguid.h>

#include "framework/Handles.h"

namespace tarvik::test {

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
  bool cancelled = false;
  const HRESULT hr = FEvents.BeforeNavigate2(window, url, L"", cancelled);
  if (cancel) *cancel = cancelled ? VARIANT_TRUE : VARIANT_FALSE;
  return hr;
}

HRESULT TFakeWebBrowser::FireNavigateComplete2(IDispatch* window, const std::wstring& url) {
  return FEvents.NavigateComplete2(window, url);
}

HRESULT TFakeWebBrowser::FireDocumentComplete(IDispatch* window, const std::wstring& url) {
  return FEvents.DocumentComplete(window, url);
}

HRESULT TFakeWebBrowser::FireDownloadBegin() { return FEvents.DownloadBegin(); }

HRESULT TFakeWebBrowser::FireDownloadComplete() { return FEvents.DownloadComplete(); }

HRESULT TFakeWebBrowser::FireEvent(DISPID dispid, DISPPARAMS* params) { return FEvents.Fire(dispid, params); }

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
  if (ppv && IsEqualIID(riid, IID_IConnectionPointContainer) && !FOffersConnectionPoints) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return TBrowserObject::QueryInterface(riid, ppv);
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
  return FEventsPoint.Find(riid, ppCP);
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  ++FOwner->FAdviseCalls;
  if (!pUnkSink || !pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (FAILED(FOwner->FAdviseResult)) return FOwner->FAdviseResult;
  return TEventsConnectionPoint::Advise(pUnkSink, pdwCookie);
}

STDMETHODIMP TFakeWebBrowser::TEventsPoint::Unadvise(DWORD dwCookie) {
  FOwner->FUnadviseCalls.push_back(dwCookie);
  return TEventsConnectionPoint::Unadvise(dwCookie);
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
