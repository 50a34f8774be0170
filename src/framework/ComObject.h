#pragma once
// The COM object base of the browser-facing classes (band, browser helper
// object): aggregation through a controlling unknown, ISupportErrorInfo for
// the interfaces the object offers, and each object counted among the
// server's live ones (ComServer).
#include <windows.h>
#include <oaidl.h>
#include <unknwn.h>

#include <atomic>
#include <new>

#include "framework/ComBoundary.h"
#include "framework/ComPtr.h"
#include "framework/ComServer.h"

namespace tarvik {

template <class Derived, class First, class... Rest>
class TComObject : public ISupportErrorInfo, public First, public Rest... {
 public:
  // Creates the object, aggregated into outer when given (the outer may only
  // ask for IUnknown then, as COM requires).
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    // Constructors may allocate too; their failure ends this call, not the process.
    Derived* object = nullptr;
    if (const HRESULT made = ComBoundary(TComFailure{}, [&] { object = new Derived(); }); FAILED(made)) return made;
    object->FController = outer ? outer : &object->FInner;
    // Hold the object across the query so a failed query frees it.
    object->FInner.AddRef();
    HRESULT hr = object->FInner.QueryInterface(riid, ppv);
    object->FInner.Release();
    return hr;
  }

  // IUnknown of every interface delegates to the controlling unknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return FController->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return FController->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return FController->Release(); }

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
    return OwnInterface<First, Rest...>(riid) ? S_OK : S_FALSE;
  }

  LONG RefCount() const noexcept { return FInner.FRefCount.load(std::memory_order_acquire); }

 protected:
  TComObject() noexcept { ComServer::ObjectCreated(); }
  virtual ~TComObject() { ComServer::ObjectDestroyed(); }

  // Derived classes may answer more interfaces by overriding this.
  virtual HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = &FInner;
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
      *ppv = static_cast<ISupportErrorInfo*>(this);
    } else {
      Find<First, Rest...>(riid, ppv);
    }
    return *ppv ? S_OK : E_NOINTERFACE;
  }

 private:
  // The non-delegating unknown: owns the reference count.
  class Inner final : public IUnknown {
   public:
    explicit Inner(TComObject* owner) noexcept : FOwner(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
      if (!ppv) return E_POINTER;
      *ppv = nullptr;
      HRESULT hr = FOwner->InnerQueryInterface(riid, ppv);
      if (SUCCEEDED(hr)) static_cast<IUnknown*>(*ppv)->AddRef();
      return hr;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(FRefCount.fetch_add(1) + 1); }
    STDMETHODIMP_(ULONG) Release() override {
      const LONG count = FRefCount.fetch_sub(1) - 1;
      if (count == 0) delete FOwner;
      return static_cast<ULONG>(count);
    }
    TComObject* FOwner;
    std::atomic<LONG> FRefCount{0};
  };

  template <class I, class... More>
  static bool OwnInterface(REFIID riid) noexcept {
    if (IsEqualIID(riid, __uuidof(I))) return true;
    if constexpr (sizeof...(More) > 0) return OwnInterface<More...>(riid);
    return false;
  }
  template <class I, class... More>
  void Find(REFIID riid, void** ppv) noexcept {
    if (IsEqualIID(riid, __uuidof(I))) {
      *ppv = static_cast<I*>(this);
      return;
    }
    if constexpr (sizeof...(More) > 0) Find<More...>(riid, ppv);
  }

  Inner FInner{this};
  IUnknown* FController = &FInner;
};

}  // namespace tarvik
