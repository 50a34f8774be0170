#pragma once
// The reference-counted interface object that the program's COM objects derive
// from: the count is 1 while the constructor and AfterConstruction run and 0
// when construction ends, AddRef/Release are atomic, and the object frees
// itself when Release brings the count back to 0.
#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <new>
#include <utility>

#include "framework/ComPtr.h"

namespace tarvik {

// Derived classes with non-public constructors befriend TInterfacedObject.
class TInterfacedObject {
 public:
  TInterfacedObject(const TInterfacedObject&) = delete;
  TInterfacedObject& operator=(const TInterfacedObject&) = delete;

  LONG RefCount() const noexcept { return FRefCount.load(std::memory_order_acquire); }

  // Constructs T, runs its AfterConstruction and ends construction with a
  // count of 0; the holder returned takes the first reference. When
  // AfterConstruction throws, the object is destroyed and the exception
  // passed on.
  template <class T, class... Args>
  static ComPtr<T> Create(Args&&... args) {
    T* object = new T(std::forward<Args>(args)...);
    TInterfacedObject* base = object;
    try {
      base->AfterConstruction();
    } catch (...) {
      // The destructor undoes whatever the initialisation had done so far
      // (a place in a list, a count), so nothing stays behind.
      delete base;
      throw;
    }
    base->FRefCount.fetch_sub(1, std::memory_order_acq_rel);
    return ComPtr<T>(object);
  }

 protected:
  TInterfacedObject() noexcept = default;
  virtual ~TInterfacedObject() = default;

  // Runs once construction is over but before the count drops to 0, so an
  // AddRef/Release pair made here cannot free the object under construction.
  virtual void AfterConstruction() {}

  ULONG InternalAddRef() noexcept { return static_cast<ULONG>(FRefCount.fetch_add(1, std::memory_order_acq_rel) + 1); }
  ULONG InternalRelease() noexcept {
    const LONG count = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }

 private:
  std::atomic<LONG> FRefCount{1};
};

// Implements IUnknown for a TInterfacedObject that offers Ifaces...; the
// first interface stands for IUnknown.
template <class First, class... Rest>
class TInterfacedImpl : public TInterfacedObject, public First, public Rest... {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return QueryOwnInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return InternalAddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return InternalRelease(); }

  IUnknown* Identity() noexcept { return static_cast<First*>(this); }

 protected:
  // Answers for the object's own interfaces only.
  HRESULT QueryOwnInterface(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<First*>(this);
    } else {
      FindInterface<First, Rest...>(riid, ppv);
    }
    if (!*ppv) return E_NOINTERFACE;
    InternalAddRef();
    return S_OK;
  }

 private:
  template <class I, class... More>
  void FindInterface(REFIID riid, void** ppv) noexcept {
    if (IsEqualIID(riid, __uuidof(I))) {
      *ppv = static_cast<I*>(this);
      return;
    }
    if constexpr (sizeof...(More) > 0) FindInterface<More...>(riid, ppv);
  }
};

}  // namespace tarvik
