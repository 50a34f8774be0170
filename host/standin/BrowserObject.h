#pragma once
// What every browser object of a window or frame is, in the host and in the
// tests' stand-in browser alike: IWebBrowser2 (also answered for IDispatch,
// IWebBrowser and IWebBrowserApp) and the container of the object's event
// connection points.
#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>

#include "InterfaceStubs.h"
#include "framework/InterfacedObject.h"

namespace tarvik::standin {

template <class... Extra>
class TBrowserObject : public TInterfacedImpl<TWebBrowser2Stubs, IConnectionPointContainer, Extra...> {
 public:
  // This window or frame as events name it (pDisp).
  IDispatch* Window() noexcept { return static_cast<IWebBrowser2*>(this); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, __uuidof(IWebBrowser)) ||
        IsEqualIID(riid, __uuidof(IWebBrowserApp))) {
      *ppv = static_cast<IWebBrowser2*>(this);
      this->AddRef();
      return S_OK;
    }
    return this->QueryOwnInterface(riid, ppv);
  }
  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
};

}  // namespace tarvik::standin
