#include "DispatchObject.h"

#include "framework/ComPtr.h"

namespace tarvik::standin {

HRESULT ReturnText(std::wstring_view text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnText(std::wstring_view text, VARIANT* out) {
  if (!out) return E_POINTER;
  V_VT(out) = VT_BSTR;
  return ReturnText(text, &V_BSTR(out));
}

HRESULT ReturnObject(IDispatch* object, VARIANT* out) {
  if (!out) return E_POINTER;
  V_VT(out) = VT_DISPATCH;
  // The caller's variant owns the new reference.
  return ComPtr<IDispatch>(object).CopyTo(&V_DISPATCH(out));
}

}  // namespace tarvik::standin
