#pragma once
// The common base of the browser stand-ins: a reference-counted object over
// a stubs class (InterfaceStubs.h) that also answers IDispatch, as every
// object of the browser's object model does.
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <string_view>

#include "framework/InterfacedObject.h"

namespace tarvik::test {

template <class Stubs, class... Extra>
class TDispatchStandIn : public TInterfacedImpl<Stubs, Extra...> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(static_cast<Stubs*>(this));
      this->AddRef();
      return S_OK;
    }
    return this->QueryOwnInterface(riid, ppv);
  }
};

// A new BSTR for an out-parameter; E_POINTER without one.
HRESULT CopyBstr(std::wstring_view text, BSTR* out);

}  // namespace tarvik::test
