#include "HostDocument.h"

#include <shlwapi.h>
#include <wininet.h>

#include "framework/Handles.h"

namespace tarvik::host {

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

std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative) {
  if (base.empty()) return relative;
  std::wstring out(INTERNET_MAX_URL_LENGTH, L'\0');
  DWORD size = static_cast<DWORD>(out.size());
  if (FAILED(::UrlCombineW(base.c_str(), relative.c_str(), out.data(), &size, 0))) return relative;
  out.resize(size);
  return out;
}

ComPtr<THostAnchor> THostAnchor::Create(std::wstring name, std::wstring href) {
  return TInterfacedObject::Create<THostAnchor>(std::move(name), std::move(href));
}

STDMETHODIMP THostAnchor::get_name(BSTR* p) {
  // The browser answers an absent name with no string at all.
  if (p && FName.empty()) {
    *p = nullptr;
    return S_OK;
  }
  return ReturnText(FName, p);
}

HRESULT THostAnchor::InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result) {
  return ReturnText(name == L"name" ? FName : FHref, result);
}

ComPtr<THostArea> THostArea::Create(std::wstring href) {
  return TInterfacedObject::Create<THostArea>(std::move(href));
}

ComPtr<THostElementCollection> THostElementCollection::Create(std::vector<ComPtr<IDispatch>> elements) {
  return TInterfacedObject::Create<THostElementCollection>(std::move(elements));
}

STDMETHODIMP THostElementCollection::get_length(LONG* p) {
  if (!p) return E_POINTER;
  *p = static_cast<LONG>(FElements.size());
  return S_OK;
}

STDMETHODIMP THostElementCollection::item(VARIANT name, VARIANT index, IDispatch** pdisp) {
  if (!pdisp) return E_POINTER;
  *pdisp = nullptr;
  UniqueVariant number;
  // A position; nothing (S_OK, no element) outside the collection, as the browser answers.
  if (FAILED(::VariantChangeType(&number.Get(), &name, 0, VT_I4))) return S_OK;
  const LONG position = V_I4(&number.Get());
  if (position < 0 || static_cast<size_t>(position) >= FElements.size()) return S_OK;
  return FElements[static_cast<size_t>(position)].CopyTo(pdisp);
}

HRESULT THostElementCollection::InvokeMember(std::wstring_view name, DISPPARAMS* params, VARIANT* result) {
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

ComPtr<THostLocation> THostLocation::Create(std::wstring href) {
  return TInterfacedObject::Create<THostLocation>(std::move(href));
}

ComPtr<THostTextRange> THostTextRange::Create(std::wstring text) {
  return TInterfacedObject::Create<THostTextRange>(std::move(text));
}

ComPtr<THostSelection> THostSelection::Create(std::wstring text) {
  return TInterfacedObject::Create<THostSelection>(std::move(text));
}

STDMETHODIMP THostSelection::createRange(IDispatch** range) {
  if (!range) return E_POINTER;
  return ComPtr<IDispatch>(THostTextRange::Create(FText)).CopyTo(range);
}

HRESULT THostSelection::InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result) {
  if (name == L"type") {
    V_VT(result) = VT_BSTR;
    return get_type(&V_BSTR(result));
  }
  ComPtr<IDispatch> range;
  const HRESULT hr = createRange(range.Put());
  return FAILED(hr) ? hr : ReturnObject(range.Get(), result);
}

ComPtr<THostDocument> THostDocument::Create(const THtmlPage& page, const std::wstring& url, std::wstring selectedText) {
  ComPtr<THostDocument> document = TInterfacedObject::Create<THostDocument>();
  document->FUrl = url;
  document->FBase = page.BaseHref.empty() ? url : ResolveUrl(url, page.BaseHref);
  document->FTitle = page.Title;
  std::vector<ComPtr<IDispatch>> anchors, links;
  auto href = [&](const THtmlElementRef& element) {
    return element.HasHref ? ResolveUrl(document->FBase, element.Href) : std::wstring();
  };
  for (const THtmlElementRef& anchor : page.Anchors) anchors.emplace_back(THostAnchor::Create(anchor.Name, href(anchor)));
  for (const THtmlElementRef& link : page.Links) {
    if (link.IsArea) links.emplace_back(THostArea::Create(href(link)));
    else links.emplace_back(THostAnchor::Create(link.Name, href(link)));
  }
  document->FAnchors = THostElementCollection::Create(std::move(anchors));
  document->FLinks = THostElementCollection::Create(std::move(links));
  document->FSelection = THostSelection::Create(std::move(selectedText));
  document->FLocation = THostLocation::Create(url);
  return document;
}

STDMETHODIMP THostDocument::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && IsEqualIID(riid, IID_IHTMLDocument)) {
    *ppv = static_cast<IHTMLDocument*>(this);
    AddRef();
    return S_OK;
  }
  return TLateBound::QueryInterface(riid, ppv);
}

STDMETHODIMP THostDocument::get_anchors(IHTMLElementCollection** p) {
  return ComPtr<IHTMLElementCollection>(FAnchors).CopyTo(p);
}

STDMETHODIMP THostDocument::get_links(IHTMLElementCollection** p) {
  return ComPtr<IHTMLElementCollection>(FLinks).CopyTo(p);
}

STDMETHODIMP THostDocument::put_title(BSTR v) {
  FTitle.assign(v ? v : L"", v ? ::SysStringLen(v) : 0);
  return S_OK;
}

STDMETHODIMP THostDocument::get_selection(IHTMLSelectionObject** p) {
  return ComPtr<IHTMLSelectionObject>(FSelection).CopyTo(p);
}

STDMETHODIMP THostDocument::get_location(IHTMLLocation** p) {
  return ComPtr<IHTMLLocation>(FLocation).CopyTo(p);
}

HRESULT THostDocument::InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result) {
  if (name == L"title") return ReturnText(FTitle, result);
  if (name == L"URL") return ReturnText(FUrl, result);
  if (name == L"readyState") return ReturnText(L"complete", result);
  if (name == L"location") return ReturnObject(static_cast<IHTMLLocation*>(FLocation.Get()), result);
  if (name == L"selection") return ReturnObject(static_cast<IHTMLSelectionObject*>(FSelection.Get()), result);
  if (name == L"anchors") return ReturnObject(static_cast<IHTMLElementCollection*>(FAnchors.Get()), result);
  return ReturnObject(static_cast<IHTMLElementCollection*>(FLinks.Get()), result);
}

}  // namespace tarvik::host
