#pragma once
// The common base of the browser stand-ins that tests configure: a
// reference-counted object over a stubs class (InterfaceStubs.h) that also
// answers IDispatch, as every object of the browser's object model does,
// with late-bound properties given one by one.
#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "DispatchObject.h"
#include "InterfaceStubs.h"
#include "framework/InterfacedObject.h"

namespace tarvik::test {

// The interface stubs, under the names the tests have always used.
using standin::TDispatchStubs;
using standin::THTMLDocument2Stubs;

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

// A stand-in with the late-bound properties a test gives it.
template <class Stubs, class... Extra>
class TDispatchStandIn : public standin::TDispatchObject<Stubs, Extra...> {
 public:
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

}  // namespace tarvik::test
