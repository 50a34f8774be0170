#pragma once
// The common ground of every object of the browser's object model that this
// tree plays (the browser host's and the tests' stand-ins): each is also its
// own IDispatch, and answers some members by name, as script and late-bound
// callers use them.
#include <windows.h>
#include <oaidl.h>

#include <iterator>
#include <string_view>

#include "framework/InterfacedObject.h"

namespace tarvik::standin {

// A new BSTR (or a variant holding one) for an out-parameter; E_POINTER without one.
HRESULT ReturnText(std::wstring_view text, BSTR* out);
HRESULT ReturnText(std::wstring_view text, VARIANT* out);
// The object in a variant that owns a new reference to it.
HRESULT ReturnObject(IDispatch* object, VARIANT* out);

// Every object of the model is also its own IDispatch.
template <class Stubs, class... Extra>
class TDispatchObject : public TInterfacedImpl<Stubs, Extra...> {
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

// Members by name: Derived lists kMembers (DISPIDs are positions + 1) and
// answers InvokeMember(name, params, result).
template <class Stubs, class Derived>
class TLateBound : public TDispatchObject<Stubs> {
 public:
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (size_t m = 0; i == 0 && names[i] && m < std::size(Derived::kMembers); ++m)
        if (::lstrcmpiW(names[i], Derived::kMembers[m]) == 0) ids[i] = static_cast<DISPID>(m + 1);
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;  // members take no named arguments
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id < 1 || static_cast<size_t>(id) > std::size(Derived::kMembers)) return DISP_E_MEMBERNOTFOUND;
    if (result) ::VariantInit(result);
    VARIANT ignored;
    ::VariantInit(&ignored);
    const HRESULT hr =
        static_cast<Derived*>(this)->InvokeMember(Derived::kMembers[id - 1], params, result ? result : &ignored);
    ::VariantClear(&ignored);
    return hr;
  }
};

}  // namespace tarvik::standin
