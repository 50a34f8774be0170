#pragma once
// The DWebBrowserEvents2 connection point of a browser window and the events
// it delivers through Invoke with the browser's argument shapes: pDisp as
// VT_DISPATCH, the other arguments as references to variants (Cancel as a
// reference to a VARIANT_BOOL), the array holding the last argument first.
#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "framework/ComPtr.h"

namespace tarvik::standin {

class TEventSinks {
 public:
  // Takes DWebBrowserEvents2 or else plain IDispatch, as the browser accepts.
  HRESULT Advise(IUnknown* sink, DWORD* cookie);
  HRESULT Unadvise(DWORD cookie);
  size_t Count() const noexcept { return FSinks.size(); }

  // Each answers the last sink's result, S_FALSE when none is connected.
  HRESULT Fire(DISPID dispid, DISPPARAMS* params);
  // cancel: set when a sink cancelled the navigation.
  HRESULT BeforeNavigate2(IDispatch* window, const std::wstring& url, const std::wstring& targetFrame, bool& cancel);
  HRESULT NavigateComplete2(IDispatch* window, const std::wstring& url);
  HRESULT DocumentComplete(IDispatch* window, const std::wstring& url);
  HRESULT NavigateError(IDispatch* window, const std::wstring& url, const std::wstring& targetFrame, LONG status);
  HRESULT DownloadBegin();
  HRESULT DownloadComplete();
  HRESULT TitleChange(const std::wstring& title);

 private:
  struct TSink {
    DWORD Cookie;
    ComPtr<IDispatch> Sink;
  };
  std::vector<TSink> FSinks;
  DWORD FNextCookie = 0;
};

// The connection point object of a container that owns it (its lifetime is
// the container's: AddRef and Release go to the owner). A stand-in that
// counts or refuses connections overrides Advise and Unadvise.
class TEventsConnectionPoint : public IConnectionPoint {
 public:
  TEventsConnectionPoint(IConnectionPointContainer* owner, TEventSinks& sinks) : FOwner(owner), FSinks(sinks) {}
  // The container's FindConnectionPoint: this point for DWebBrowserEvents2.
  HRESULT Find(REFIID riid, IConnectionPoint** ppCP);
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return FOwner->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return FOwner->Release(); }
  STDMETHODIMP GetConnectionInterface(IID* pIID) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override { return FSinks.Advise(pUnkSink, pdwCookie); }
  STDMETHODIMP Unadvise(DWORD dwCookie) override { return FSinks.Unadvise(dwCookie); }
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

 private:
  IConnectionPointContainer* FOwner;
  TEventSinks& FSinks;
};

}  // namespace tarvik::standin
