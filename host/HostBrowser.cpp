#include "HostBrowser.h"

#include <exdispid.h>
#include <olectl.h>
#include <shlguid.h>

#include "HostDocument.h"
#include "framework/Handles.h"

namespace tarvik::host {

namespace {

// A variant argument as text (by value or by reference); empty otherwise.
std::wstring TextArgument(const VARIANT* argument) {
  if (!argument) return {};
  const VARIANT* value = argument;
  if (V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value)) value = V_VARIANTREF(value);
  if (V_VT(value) == VT_BSTR && V_BSTR(value)) return std::wstring(V_BSTR(value), ::SysStringLen(V_BSTR(value)));
  if (V_VT(value) == (VT_BYREF | VT_BSTR) && V_BSTRREF(value) && *V_BSTRREF(value)) return *V_BSTRREF(value);
  return {};
}

}  // namespace

ComPtr<THostWebBrowser> THostWebBrowser::Create(TBrowserCommands* commands, HWND window) {
  return TInterfacedObject::Create<THostWebBrowser>(commands, window);
}

STDMETHODIMP THostWebBrowser::get_LocationURL(BSTR* LocationURL) { return ReturnText(FLocationUrl, LocationURL); }

STDMETHODIMP THostWebBrowser::get_LocationName(BSTR* LocationName) {
  return ReturnText(FLocationName.empty() ? FLocationUrl : FLocationName, LocationName);
}

STDMETHODIMP THostWebBrowser::get_Busy(VARIANT_BOOL* pBool) {
  if (!pBool) return E_POINTER;
  *pBool = FBusy ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP THostWebBrowser::get_ReadyState(READYSTATE* plReadyState) {
  if (!plReadyState) return E_POINTER;
  *plReadyState = FBusy ? READYSTATE_LOADING : READYSTATE_COMPLETE;
  return S_OK;
}

STDMETHODIMP THostWebBrowser::get_HWND(SHANDLE_PTR* pHWND) {
  if (!pHWND) return E_POINTER;
  *pHWND = reinterpret_cast<SHANDLE_PTR>(FWindow);
  return FCommands ? S_OK : E_FAIL;  // frames have no window of their own
}

STDMETHODIMP THostWebBrowser::get_TopLevelContainer(VARIANT_BOOL* pBool) {
  if (!pBool) return E_POINTER;
  *pBool = FCommands ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP THostWebBrowser::get_Type(BSTR* Type) { return ReturnText(FDocument ? L"HTML Document" : L"", Type); }

STDMETHODIMP THostWebBrowser::Navigate(BSTR URL, VARIANT*, VARIANT*, VARIANT*, VARIANT*) {
  if (!URL) return E_INVALIDARG;
  if (!FCommands) return E_NOTIMPL;
  FCommands->NavigateLater(std::wstring(URL, ::SysStringLen(URL)));
  return S_OK;
}

STDMETHODIMP THostWebBrowser::Navigate2(VARIANT* URL, VARIANT*, VARIANT*, VARIANT*, VARIANT*) {
  const std::wstring url = TextArgument(URL);
  if (url.empty()) return E_INVALIDARG;
  if (!FCommands) return E_NOTIMPL;
  FCommands->NavigateLater(url);
  return S_OK;
}

STDMETHODIMP THostWebBrowser::ShowBrowserBar(VARIANT* pvaClsid, VARIANT* pvarShow, VARIANT*) {
  if (!FCommands) return E_NOTIMPL;
  CLSID band;
  std::wstring text = TextArgument(pvaClsid);
  if (text.empty() || FAILED(::CLSIDFromString(text.c_str(), &band))) return E_INVALIDARG;
  bool show = true;  // an absent Show argument shows the bar
  if (pvarShow && V_VT(pvarShow) != VT_EMPTY && V_VT(pvarShow) != VT_ERROR) {
    UniqueVariant flag;
    if (FAILED(::VariantChangeType(&flag.Get(), pvarShow, 0, VT_BOOL))) return E_INVALIDARG;
    show = V_BOOL(&flag.Get()) != VARIANT_FALSE;
  }
  return FCommands->ShowBrowserBar(band, show);
}

STDMETHODIMP THostWebBrowser::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // Both names stand for one service id in the headers; both are kept so
  // that each way a caller may ask reads here.
  // NOLINTNEXTLINE(misc-redundant-expression)
  if (!IsEqualGUID(guidService, SID_SWebBrowserApp) && !IsEqualGUID(guidService, SID_SInternetExplorer))
    return E_NOINTERFACE;
  return QueryInterface(riid, ppv);
}

ComPtr<TBandSite> TBandSite::Create(IServiceProvider* browser, HWND bandArea) {
  return TInterfacedObject::Create<TBandSite>(browser, bandArea);
}

STDMETHODIMP TBandSite::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  if (!FBrowser) {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return FBrowser->QueryService(guidService, riid, ppv);
}

}  // namespace tarvik::host
