#include "support/browser/FakeDocument.h"

#include "framework/Handles.h"

namespace tarvik::test {

HRESULT CopyBstr(std::wstring_view text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT TLateBoundProperties::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const {
  if (!names || !ids || count == 0) return E_INVALIDARG;
  HRESULT result = S_OK;
  for (UINT n = 0; n < count; ++n) {
    ids[n] = DISPID_UNKNOWN;
    // Only the first name is a member; the others would name arguments.
    for (size_t i = 0; n == 0 && i < FProperties.size(); ++i)
      if (names[0] && ::lstrcmpiW(names[0], FProperties[i].Name.c_str()) == 0) ids[0] = static_cast<DISPID>(i + 1);
    if (ids[n] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

HRESULT TLateBoundProperties::Invoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) const {
  if (id < 1 || static_cast<size_t>(id) > FProperties.size()) return DISP_E_MEMBERNOTFOUND;
  if (!(flags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
  if (params && params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
  if (!result) return E_POINTER;
  ::VariantInit(result);
  return FProperties[static_cast<size_t>(id) - 1].Get(result);
}

namespace {

HRESULT BstrVariant(const std::wstring& text, VARIANT* value) {
  V_VT(value) = VT_BSTR;
  return CopyBstr(text, &V_BSTR(value));
}

}  // namespace

ComPtr<TFakeAnchor> TFakeAnchor::Create(std::wstring name, std::wstring href) {
  return TInterfacedObject::Create<TFakeAnchor>(std::move(name), std::move(href));
}

STDMETHODIMP TFakeAnchor::get_name(BSTR* p) {
  if (FAILED(FFailure)) return FFailure;
  // The browser answers an absent name with no string at all.
  if (p && FName.empty()) {
    *p = nullptr;
    return S_OK;
  }
  return CopyBstr(FName, p);
}

STDMETHODIMP TFakeAnchor::get_href(BSTR* p) {
  if (FAILED(FFailure)) return FFailure;
  return CopyBstr(FHref, p);
}

ComPtr<TFakeArea> TFakeArea::Create(std::wstring href) {
  return TInterfacedObject::Create<TFakeArea>(std::move(href));
}

STDMETHODIMP TFakeArea::get_href(BSTR* p) { return CopyBstr(FHref, p); }

ComPtr<TFakeElementCollection> TFakeElementCollection::Create() {
  return TInterfacedObject::Create<TFakeElementCollection>();
}

STDMETHODIMP TFakeElementCollection::get_length(LONG* p) {
  if (!p) return E_POINTER;
  *p = static_cast<LONG>(FElements.size());
  return S_OK;
}

STDMETHODIMP TFakeElementCollection::item(VARIANT name, VARIANT index, IDispatch** pdisp) {
  if (!pdisp) return E_POINTER;
  *pdisp = nullptr;
  TItemCall call{V_VT(&name), -1, V_VT(&index), -1};
  UniqueVariant number;
  if (SUCCEEDED(::VariantChangeType(&number.Get(), &name, 0, VT_I4))) call.Name = V_I4(&number.Get());
  if (SUCCEEDED(::VariantChangeType(number.Put(), &index, 0, VT_I4))) call.Index = V_I4(&number.Get());
  FItemCalls.push_back(call);
  // A number names a position; nothing is found outside the collection.
  if (call.Name < 0 || static_cast<size_t>(call.Name) >= FElements.size()) return S_OK;
  return FElements[static_cast<size_t>(call.Name)].CopyTo(pdisp);
}

TFakeLocation::TFakeLocation() {
  LateBound().Add(L"href", [this](VARIANT* value) {
    if (FAILED(HrefResult)) return HrefResult;
    return BstrVariant(Href, value);
  });
}

TFakeTextRange::TFakeTextRange(std::wstring text, HRESULT textResult)
    : FText(std::move(text)), FTextResult(textResult) {
  LateBound().Add(L"text", [this](VARIANT* value) {
    if (FAILED(FTextResult)) return FTextResult;
    return BstrVariant(FText, value);
  });
}

STDMETHODIMP TFakeSelection::createRange(IDispatch** range) {
  if (!range) return E_POINTER;
  *range = nullptr;
  if (FAILED(CreateRangeResult)) return CreateRangeResult;
  // A selected object (an image, a control) gives a control range: it has
  // no text property.
  if (SelectsObject) return ComPtr<IDispatch>(TFakeControlRange::Create()).CopyTo(range);
  return ComPtr<IDispatch>(TFakeTextRange::Create(Text, TextResult)).CopyTo(range);
}

ComPtr<TFakeHtmlDocument> TFakeHtmlDocument::Create() { return TInterfacedObject::Create<TFakeHtmlDocument>(); }

TFakeHtmlDocument::TFakeHtmlDocument()
    : FAnchors(TFakeElementCollection::Create()),
      FLinks(TFakeElementCollection::Create()),
      FSelection(TFakeSelection::Create()),
      FLocation(TFakeLocation::Create()) {
  LateBound().Add(L"location", [this](VARIANT* value) {
    if (FAILED(FLocationResult)) return FLocationResult;
    V_VT(value) = VT_DISPATCH;
    return ComPtr<IDispatch>(FLocation).CopyTo(&V_DISPATCH(value));
  });
  LateBound().Add(L"title", [this](VARIANT* value) {
    if (FAILED(FTitleResult)) return FTitleResult;
    return BstrVariant(FTitle, value);
  });
}

STDMETHODIMP TFakeHtmlDocument::get_title(BSTR* p) {
  if (FAILED(FTitleResult)) return FTitleResult;
  return CopyBstr(FTitle, p);
}

TFakeHtmlDocument& TFakeHtmlDocument::AddAnchor(std::wstring name, std::wstring href) {
  FAnchors->Add(TFakeAnchor::Create(std::move(name), std::move(href)).Get());
  return *this;
}

TFakeHtmlDocument& TFakeHtmlDocument::AddLink(std::wstring href) {
  FLinks->Add(TFakeAnchor::Create(L"", std::move(href)).Get());
  return *this;
}

TFakeHtmlDocument& TFakeHtmlDocument::AddAreaLink(std::wstring href) {
  FLinks->Add(TFakeArea::Create(std::move(href)).Get());
  return *this;
}

STDMETHODIMP TFakeHtmlDocument::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && IsEqualIID(riid, IID_IHTMLDocument)) {
    *ppv = static_cast<IHTMLDocument*>(this);
    AddRef();
    return S_OK;
  }
  return TDispatchStandIn::QueryInterface(riid, ppv);
}

STDMETHODIMP TFakeHtmlDocument::get_anchors(IHTMLElementCollection** p) {
  return ComPtr<IHTMLElementCollection>(FAnchors).CopyTo(p);
}

STDMETHODIMP TFakeHtmlDocument::get_links(IHTMLElementCollection** p) {
  return ComPtr<IHTMLElementCollection>(FLinks).CopyTo(p);
}

STDMETHODIMP TFakeHtmlDocument::put_title(BSTR v) {
  FTitle.assign(v ? v : L"", v ? ::SysStringLen(v) : 0);
  return S_OK;
}

STDMETHODIMP TFakeHtmlDocument::get_selection(IHTMLSelectionObject** p) {
  if (FAILED(FSelectionResult)) return FSelectionResult;
  return ComPtr<IHTMLSelectionObject>(FSelection).CopyTo(p);
}

STDMETHODIMP TFakeHtmlDocument::get_location(IHTMLLocation** p) {
  if (FAILED(FLocationResult)) return FLocationResult;
  return ComPtr<IHTMLLocation>(FLocation).CopyTo(p);
}

}  // namespace tarvik::test
