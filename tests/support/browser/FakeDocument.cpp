#include "support/browser/FakeDocument.h"

namespace tarvik::test {

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

ComPtr<TFakeHtmlDocument> TFakeHtmlDocument::Create() { return TInterfacedObject::Create<TFakeHtmlDocument>(); }

TFakeHtmlDocument::TFakeHtmlDocument()
    : FAnchors(standin::TElementCollection::Create()),
      FLinks(standin::TElementCollection::Create()),
      FSelection(standin::TSelection::Create()),
      FLocation(standin::TLocation::Create()) {
  // Tests check how the library walks the collections.
  FAnchors->RecordItemCalls();
  FLinks->RecordItemCalls();
  LateBound().Add(L"location", [this](VARIANT* value) {
    if (FAILED(FLocationResult)) return FLocationResult;
    return standin::ReturnObject(static_cast<IHTMLLocation*>(FLocation.Get()), value);
  });
  LateBound().Add(L"title", [this](VARIANT* value) {
    if (FAILED(FTitleResult)) return FTitleResult;
    return standin::ReturnText(FTitle, value);
  });
}

STDMETHODIMP TFakeHtmlDocument::get_title(BSTR* p) {
  if (FAILED(FTitleResult)) return FTitleResult;
  return standin::ReturnText(FTitle, p);
}

TFakeHtmlDocument& TFakeHtmlDocument::AddAnchor(std::wstring name, std::wstring href) {
  FAnchors->Add(standin::TAnchorElement::Create(std::move(name), std::move(href)).Get());
  return *this;
}

TFakeHtmlDocument& TFakeHtmlDocument::AddLink(std::wstring href) {
  FLinks->Add(standin::TAnchorElement::Create(L"", std::move(href)).Get());
  return *this;
}

TFakeHtmlDocument& TFakeHtmlDocument::AddAreaLink(std::wstring href) {
  FLinks->Add(standin::TAreaElement::Create(std::move(href)).Get());
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
