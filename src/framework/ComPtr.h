#pragma once
// One owning holder for COM references: the only place (besides the
// reference-counted base) where AddRef and Release are paired by hand.
#include <windows.h>
#include <unknwn.h>

#include <type_traits>
#include <utility>

namespace tarvik {

template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Adds a reference to p.
  ComPtr(T* p) noexcept : FPtr(p) { InternalAddRef(); }
  ComPtr(const ComPtr& other) noexcept : FPtr(other.FPtr) { InternalAddRef(); }
  ComPtr(ComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  // From a holder of a derived class (an implementation to one of its interfaces).
  template <class U>
  requires std::is_convertible_v<U*, T*> ComPtr(const ComPtr<U>& other)
  noexcept : FPtr(other.Get()) { InternalAddRef(); }
  template <class U>
  requires std::is_convertible_v<U*, T*> ComPtr(ComPtr<U>&& other)
  noexcept : FPtr(other.Detach()) {}
  ~ComPtr() { InternalRelease(); }

  // Copy and swap: assigning a holder to itself adds one reference and drops one.
  ComPtr& operator=(const ComPtr& other) noexcept {  // NOLINT(bugprone-unhandled-self-assignment)
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(T* p) noexcept {
    ComPtr(p).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  // Takes over a reference the caller already owns (no AddRef).
  static ComPtr Attach(T* p) noexcept {
    ComPtr r;
    r.FPtr = p;
    return r;
  }
  // Gives up ownership without Release.
  [[nodiscard]] T* Detach() noexcept { return std::exchange(FPtr, nullptr); }

  void Reset() noexcept {
    T* old = std::exchange(FPtr, nullptr);
    if (old) old->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(FPtr, other.FPtr); }

  T* Get() const noexcept { return FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T& operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }

  // For out-parameters: releases what was held first, so nothing leaks.
  T** Put() noexcept {
    Reset();
    return &FPtr;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

  // Copies a new reference into an out-parameter.
  HRESULT CopyTo(T** pp) const noexcept {
    if (!pp) return E_POINTER;
    *pp = FPtr;
    InternalAddRef();
    return S_OK;
  }

  template <class U>
  HRESULT As(ComPtr<U>& out) const noexcept {
    if (!FPtr) return E_POINTER;
    return FPtr->QueryInterface(__uuidof(U), out.PutVoid());
  }
  template <class U>
  ComPtr<U> As() const noexcept {
    ComPtr<U> out;
    As(out);
    return out;
  }

 private:
  void InternalAddRef() const noexcept {
    if (FPtr) FPtr->AddRef();
  }
  void InternalRelease() noexcept { Reset(); }

  T* FPtr = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) noexcept {
  return a.Get() == b.Get();
}

// COM identity: two pointers name the same object when their IUnknowns are equal.
inline bool SameComObject(IUnknown* a, IUnknown* b) noexcept {
  if (!a || !b) return a == b;
  ComPtr<IUnknown> ua, ub;
  if (FAILED(a->QueryInterface(IID_IUnknown, ua.PutVoid()))) return false;
  if (FAILED(b->QueryInterface(IID_IUnknown, ub.PutVoid()))) return false;
  return ua.Get() == ub.Get();
}

}  // namespace tarvik
