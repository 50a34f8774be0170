#pragma once
// Move-only owners for Win32 handles, each with its own close function, and
// scope holders for locks and COM apartments.
#include <windows.h>
#include <commctrl.h>
#include <oleauto.h>

#include <utility>

namespace tarvik {

template <class H, class Traits>
class UniqueResource {
 public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(H h) noexcept : FHandle(h) {}
  UniqueResource(UniqueResource&& other) noexcept : FHandle(other.Take()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Take());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  H Get() const noexcept { return FHandle; }
  bool Valid() const noexcept { return Traits::Valid(FHandle); }
  explicit operator bool() const noexcept { return Valid(); }
  [[nodiscard]] H Take() noexcept { return std::exchange(FHandle, Traits::Invalid()); }
  void Reset(H h = Traits::Invalid()) noexcept {
    H old = std::exchange(FHandle, h);
    if (Traits::Valid(old)) Traits::Close(old);
  }
  // For out-parameters: closes what was held first.
  H* Put() noexcept {
    Reset();
    return &FHandle;
  }

 private:
  H FHandle = Traits::Invalid();
};

struct HandleTraits {  // kernel handles that use INVALID_HANDLE_VALUE or NULL for none
  static HANDLE Invalid() noexcept { return nullptr; }
  static bool Valid(HANDLE h) noexcept { return h && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
struct FindHandleTraits {
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { ::FindClose(h); }
};
// Handles for which NULL means none; each traits adds its Close.
template <class H>
struct NullIsNoneTraits {
  static H Invalid() noexcept { return nullptr; }
  static bool Valid(H h) noexcept { return h != nullptr; }
};
struct HKeyTraits : NullIsNoneTraits<HKEY> {
  static void Close(HKEY h) noexcept { ::RegCloseKey(h); }
};
struct HModuleTraits : NullIsNoneTraits<HMODULE> {
  static void Close(HMODULE h) noexcept { ::FreeLibrary(h); }
};
struct BstrTraits : NullIsNoneTraits<BSTR> {
  static void Close(BSTR b) noexcept { ::SysFreeString(b); }
};
struct HMenuTraits : NullIsNoneTraits<HMENU> {  // a menu destroys its submenus with it
  static void Close(HMENU h) noexcept { ::DestroyMenu(h); }
};
struct ImageListTraits : NullIsNoneTraits<HIMAGELIST> {
  static void Close(HIMAGELIST h) noexcept { ::ImageList_Destroy(h); }
};
template <class H>  // fonts, bitmaps, brushes, pens: not while selected into a DC
struct GdiObjectTraits : NullIsNoneTraits<H> {
  static void Close(H h) noexcept { ::DeleteObject(h); }
};
struct HIconTraits : NullIsNoneTraits<HICON> {  // icons loaded without LR_SHARED
  static void Close(HICON h) noexcept { ::DestroyIcon(h); }
};
struct MemoryDcTraits : NullIsNoneTraits<HDC> {  // from CreateCompatibleDC
  static void Close(HDC h) noexcept { ::DeleteDC(h); }
};

using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueHKey = UniqueResource<HKEY, HKeyTraits>;
using UniqueHModule = UniqueResource<HMODULE, HModuleTraits>;
using UniqueBstr = UniqueResource<BSTR, BstrTraits>;
using UniqueFindHandle = UniqueResource<HANDLE, FindHandleTraits>;
using UniqueHMenu = UniqueResource<HMENU, HMenuTraits>;
using UniqueImageList = UniqueResource<HIMAGELIST, ImageListTraits>;
using UniqueHFont = UniqueResource<HFONT, GdiObjectTraits<HFONT>>;
using UniqueHBitmap = UniqueResource<HBITMAP, GdiObjectTraits<HBITMAP>>;
using UniqueHIcon = UniqueResource<HICON, HIconTraits>;
using UniqueMemoryDc = UniqueResource<HDC, MemoryDcTraits>;

// A window's DC from GetDC, given back to that window with ReleaseDC.
class UniqueWindowDc {
 public:
  explicit UniqueWindowDc(HWND window) noexcept : FWindow(window), FDc(::GetDC(window)) {}
  ~UniqueWindowDc() {
    if (FDc) ::ReleaseDC(FWindow, FDc);
  }
  UniqueWindowDc(const UniqueWindowDc&) = delete;
  UniqueWindowDc& operator=(const UniqueWindowDc&) = delete;
  HDC Get() const noexcept { return FDc; }
  explicit operator bool() const noexcept { return FDc != nullptr; }

 private:
  HWND FWindow;
  HDC FDc;
};

// Selects an object into a DC for the life of a scope and puts the one it
// replaced back; the DC must outlive it, and the object must outlive the scope.
class ScopedSelectObject {
 public:
  ScopedSelectObject(HDC dc, HGDIOBJ object) noexcept : FDc(dc), FPrevious(::SelectObject(dc, object)) {}
  ~ScopedSelectObject() {
    if (FPrevious && FPrevious != HGDI_ERROR) ::SelectObject(FDc, FPrevious);
  }
  ScopedSelectObject(const ScopedSelectObject&) = delete;
  ScopedSelectObject& operator=(const ScopedSelectObject&) = delete;

 private:
  HDC FDc;
  HGDIOBJ FPrevious;
};

// A re-entrant critical section.
class CriticalSection {
 public:
  CriticalSection() noexcept { ::InitializeCriticalSection(&FSection); }
  ~CriticalSection() { ::DeleteCriticalSection(&FSection); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void lock() noexcept { ::EnterCriticalSection(&FSection); }
  void unlock() noexcept { ::LeaveCriticalSection(&FSection); }
  bool try_lock() noexcept { return ::TryEnterCriticalSection(&FSection) != FALSE; }

 private:
  CRITICAL_SECTION FSection;
};

// A variant that clears itself.
class UniqueVariant {
 public:
  UniqueVariant() noexcept { ::VariantInit(&FValue); }
  ~UniqueVariant() { ::VariantClear(&FValue); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  VARIANT* Put() noexcept {
    ::VariantClear(&FValue);
    return &FValue;
  }
  VARIANT& Get() noexcept { return FValue; }
  const VARIANT& Get() const noexcept { return FValue; }

 private:
  VARIANT FValue;
};

// CoInitialize for the life of a scope; CoUninitialize only if it succeeded.
class ScopedComInit {
 public:
  explicit ScopedComInit(DWORD model = COINIT_APARTMENTTHREADED) noexcept : FResult(::CoInitializeEx(nullptr, model)) {}
  ~ScopedComInit() {
    if (SUCCEEDED(FResult)) ::CoUninitialize();
  }
  ScopedComInit(const ScopedComInit&) = delete;
  ScopedComInit& operator=(const ScopedComInit&) = delete;
  HRESULT Result() const noexcept { return FResult; }

 private:
  HRESULT FResult;
};

}  // namespace tarvik
