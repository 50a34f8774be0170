#include "DocumentObjects.h"

#include "framework/Handles.h"

namespace tarvik::standin {

ComPtr<TAnchorElement> TAnchorElement::Create(std::wstring name, std::wstring href) {
  return TInterfacedObject::Create<TAnchorElement>(std::move(name), std::move(href));
}

STDMETHODIMP TAnchorElement::get_name(BSTR* p) {
  if (FAILED(FFailure)) return FFailure;
  // The browser answers an absent name with no string at all.
  if (p && FName.empty()) {
    *p = nullptr;
    return S_OK;
  }
  return ReturnText(FName, p);
}

STDMETHODIMP TAnchorElement::get_href(BSTR* p) {
  if (FAILED(FFailure)) return FFailure;
  return ReturnText(FHref, p);
}

HRESULT TAnchorElement::InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result) {
  if (FAILED(FFailure)) return FFailure;
  return ReturnText(name == L"name" ? FName : FHref, result);
}

ComPtr<TAreaElement> TAreaElement::Create(std::wstring href) {
  return TInterfacedObject::Create<TAreaElement>(std::move(href));
}

ComPtr<TElementCollection> TElementCollection::Create(std::vector<ComPtr<IDispatch>> elements) {
  return TInterfacedObject::Create<TElementCollection>(std::move(elements));
}

STDMETHODIMP TElementCollection::get_length(LONG* p) {
  if (!p) return E_POINTER;
  *p = static_cast<LONG>(FElements.size());
  return S_OK;
}

STDMETHODIMP TElementCollection::item(VARIANT name, VARIANT index, IDispatch** pdisp) {
  if (!pdisp) return E_POINTER;
  *pdisp = nullptr;
  UniqueVariant number;
  LONG position = -1;
  if (SUCCEEDED(::VariantChangeType(&number.Get(), &name, 0, VT_I4))) position = V_I4(&number.Get());
  if (FRecording) {
    TItemCall call{V_VT(&name), position, V_VT(&index), -1};
    if (SUCCEEDED(::VariantChangeType(number.Put(), &index, 0, VT_I4))) call.Index = V_I4(&number.Get());
    FItemCalls.push_back(call);
  }
  // A position; nothing (S_OK, no element) outside the collection, as the browser answers.
  if (position < 0 || static_cast<size_t>(position) >= FElements.size()) return S_OK;
  return FElements[static_cast<size_t>(position)].CopyTo(pdisp);
}

HRESULT TElementCollection::InvokeMember(std::wstring_view name, DISPPARAMS* params, VARIANT* result) {
  if (name == L"length") {
    V_VT(result) = VT_I4;
    return get_length(&V_I4(result));
  }
  if (!params || params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
  VARIANT none;
  ::VariantInit(&none);
  ComPtr<IDispatch> element;
  const HRESULT hr = item(params->rgvarg[params->cArgs - 1], none, element.Put());
  return FAILED(hr) ? hr : ReturnObject(element.Get(), result);
}

ComPtr<TLocation> TLocation::Create(std::wstring href) { return TInterfacedObject::Create<TLocation>(std::move(href)); }

ComPtr<TTextRange> TTextRange::Create(std::wstring text, HRESULT textResult) {
  return TInterfacedObject::Create<TTextRange>(std::move(text), textResult);
}

STDMETHODIMP TControlRange::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT n = 0; n < count; ++n) ids[n] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

ComPtr<TSelection> TSelection::Create(std::wstring text) {
  return TInterfacedObject::Create<TSelection>(std::move(text));
}

STDMETHODIMP TSelection::createRange(IDispatch** range) {
  if (!range) return E_POINTER;
  *range = nullptr;
  if (FAILED(CreateRangeResult)) return CreateRangeResult;
  if (SelectsObject) return ComPtr<IDispatch>(TControlRange::Create()).CopyTo(range);
  return ComPtr<IDispatch>(TTextRange::Create(Text, TextResult)).CopyTo(range);
}

HRESULT TSelection::InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result) {
  if (name == L"type") {
    V_VT(result) = VT_BSTR;
    return get_type(&V_BSTR(result));
  }
  ComPtr<IDispatch> range;
  const HRESULT hr = createRange(range.Put());
  return FAILED(hr) ? hr : ReturnObject(range.Get(), result);
}

}  // namespace tarvik::standin
