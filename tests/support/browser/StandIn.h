#pragma once
// The common base of the browser stand-ins: a reference-counted object over
// a stubs class (InterfaceStubs.h) that also answers IDispatch, as every
// object of the browser's object model does.
#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/InterfacedObject.h"

namespace tarvik::test {

// Reads one late-bound property into an empty variant.
using TPropertyGetter = std::function<HRESULT(VARIANT* value)>;

// Late-bound properties by name (letter case ignored), as a script reads them.
class TLateBoundProperties {
 public:
  void Add(std::wstring name, TPropertyGetter get) { FProperties.push_back({std::move(name), std::move(get)}); }
  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const;
  HRESULT Invoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) const;

 private:
  struct TProperty {
    std::wstring Name;
    TPropertyGetter Get;
  };
  std::vector<TProperty> FProperties;
};

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
  // Only the properties given through LateBound(); any other name is unknown.
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return FLateBound.GetIDsOfNames(names, count, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    return FLateBound.Invoke(id, flags, params, result);
  }

 protected:
  TLateBoundProperties& LateBound() noexcept { return FLateBound; }

 private:
  TLateBoundProperties FLateBound;
};

// A new BSTR for an out-parameter; E_POINTER without one.
HRESULT CopyBstr(std::wstring_view text, BSTR* out);

}  // namespace tarvik::test
