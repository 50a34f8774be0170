#pragma once
// A counted COM object of two interfaces, and a count of the test objects
// freed, shared by the tests of the framework's object bases and holders.
#include <windows.h>
#include <ole2.h>

#include <atomic>

#include "framework/InterfacedObject.h"

namespace tarvik::test {

inline std::atomic<int> GDestroyed{0};

class Probe final : public TInterfacedImpl<IPersist, IOleWindow> {
 public:
  LONG CountSeenInAfterConstruction = -1;
  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = CLSID_NULL;
    return S_OK;
  }
  STDMETHODIMP GetWindow(HWND* hwnd) override {
    *hwnd = nullptr;
    return S_OK;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

 private:
  friend class ::tarvik::TInterfacedObject;
  Probe() = default;
  ~Probe() override { ++GDestroyed; }
  void AfterConstruction() override {
    CountSeenInAfterConstruction = RefCount();
    // A reference taken and dropped here must not free the object.
    AddRef();
    Release();
  }
};

}  // namespace tarvik::test
