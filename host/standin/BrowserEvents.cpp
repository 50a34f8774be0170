#include "BrowserEvents.h"

#include <exdisp.h>
#include <exdispid.h>
#include <olectl.h>

#include "framework/Handles.h"

namespace tarvik::standin {

namespace {

VARIANT Argument(VARTYPE type) {
  VARIANT argument;
  ::VariantInit(&argument);
  V_VT(&argument) = type;
  return argument;
}

VARIANT ReferenceTo(VARIANT& target) {
  VARIANT argument = Argument(VT_BYREF | VT_VARIANT);
  V_VARIANTREF(&argument) = &target;
  return argument;
}

VARIANT WindowArgument(IDispatch* window) {
  VARIANT argument = Argument(VT_DISPATCH);
  V_DISPATCH(&argument) = window;
  return argument;
}

VARIANT CancelArgument(VARIANT_BOOL& cancel) {
  VARIANT argument = Argument(VT_BYREF | VT_BOOL);
  V_BOOLREF(&argument) = &cancel;
  return argument;
}

void SetText(UniqueVariant& value, const std::wstring& text) {
  VARIANT* v = value.Put();
  V_VT(v) = VT_BSTR;
  V_BSTR(v) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

void SetNumber(UniqueVariant& value, LONG number) {
  VARIANT* v = value.Put();
  V_VT(v) = VT_I4;
  V_I4(v) = number;
}

}  // namespace

HRESULT TEventSinks::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  ComPtr<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(DIID_DWebBrowserEvents2, dispatch.PutVoid())) &&
      FAILED(sink->QueryInterface(IID_IDispatch, dispatch.PutVoid())))
    return CONNECT_E_CANNOTCONNECT;
  *cookie = ++FNextCookie;
  FSinks.push_back({*cookie, std::move(dispatch)});
  return S_OK;
}

HRESULT TEventSinks::Unadvise(DWORD cookie) {
  for (auto it = FSinks.begin(); it != FSinks.end(); ++it)
    if (it->Cookie == cookie) {
      // Released after it has left the list: its release may re-enter.
      ComPtr<IDispatch> sink = std::move(it->Sink);
      FSinks.erase(it);
      return S_OK;
    }
  return CONNECT_E_NOCONNECTION;
}

HRESULT TEventSinks::Fire(DISPID dispid, DISPPARAMS* params) {
  // A sink may disconnect, or connect another, while it handles the event.
  std::vector<ComPtr<IDispatch>> sinks;
  for (const TSink& sink : FSinks) sinks.push_back(sink.Sink);
  HRESULT hr = S_FALSE;
  for (const ComPtr<IDispatch>& sink : sinks)
    hr = sink->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr, nullptr, nullptr);
  return hr;
}

HRESULT TEventSinks::BeforeNavigate2(IDispatch* window, const std::wstring& url, const std::wstring& targetFrame,
                                     bool& cancel) {
  UniqueVariant urlValue, flags, frame, postData, headers;
  SetText(urlValue, url);
  SetNumber(flags, 0);
  SetText(frame, targetFrame);
  SetText(headers, L"");
  VARIANT_BOOL cancelValue = VARIANT_FALSE;
  // Last first: Cancel, Headers, PostData, TargetFrameName, Flags, URL, pDisp.
  VARIANT arguments[7] = {CancelArgument(cancelValue), ReferenceTo(headers.Get()), ReferenceTo(postData.Get()),
                          ReferenceTo(frame.Get()),    ReferenceTo(flags.Get()),   ReferenceTo(urlValue.Get()),
                          WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 7, 0};
  const HRESULT hr = Fire(DISPID_BEFORENAVIGATE2, &params);
  cancel = cancelValue != VARIANT_FALSE;
  return hr;
}

HRESULT TEventSinks::NavigateComplete2(IDispatch* window, const std::wstring& url) {
  UniqueVariant urlValue;
  SetText(urlValue, url);
  VARIANT arguments[2] = {ReferenceTo(urlValue.Get()), WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 2, 0};
  return Fire(DISPID_NAVIGATECOMPLETE2, &params);
}

HRESULT TEventSinks::DocumentComplete(IDispatch* window, const std::wstring& url) {
  UniqueVariant urlValue;
  SetText(urlValue, url);
  VARIANT arguments[2] = {ReferenceTo(urlValue.Get()), WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 2, 0};
  return Fire(DISPID_DOCUMENTCOMPLETE, &params);
}

HRESULT TEventSinks::NavigateError(IDispatch* window, const std::wstring& url, const std::wstring& targetFrame,
                                   LONG status) {
  UniqueVariant urlValue, frame, statusCode;
  SetText(urlValue, url);
  SetText(frame, targetFrame);
  SetNumber(statusCode, status);
  VARIANT_BOOL cancel = VARIANT_FALSE;
  // Last first: Cancel, StatusCode, Frame, URL, pDisp.
  VARIANT arguments[5] = {CancelArgument(cancel), ReferenceTo(statusCode.Get()), ReferenceTo(frame.Get()),
                          ReferenceTo(urlValue.Get()), WindowArgument(window)};
  DISPPARAMS params = {arguments, nullptr, 5, 0};
  return Fire(DISPID_NAVIGATEERROR, &params);
}

HRESULT TEventSinks::DownloadBegin() {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return Fire(DISPID_DOWNLOADBEGIN, &none);
}

HRESULT TEventSinks::DownloadComplete() {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return Fire(DISPID_DOWNLOADCOMPLETE, &none);
}

HRESULT TEventSinks::TitleChange(const std::wstring& title) {
  UniqueVariant text;
  SetText(text, title);
  VARIANT arguments[1] = {text.Get()};
  DISPPARAMS params = {arguments, nullptr, 1, 0};
  return Fire(DISPID_TITLECHANGE, &params);
}

HRESULT TEventsConnectionPoint::Find(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (!IsEqualIID(riid, DIID_DWebBrowserEvents2)) return CONNECT_E_NOCONNECTION;
  return ComPtr<IConnectionPoint>(this).CopyTo(ppCP);
}

STDMETHODIMP TEventsConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP TEventsConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = DIID_DWebBrowserEvents2;
  return S_OK;
}

STDMETHODIMP TEventsConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  return ComPtr<IConnectionPointContainer>(FOwner).CopyTo(ppCPC);
}

}  // namespace tarvik::standin
