#include "HostDocument.h"

#include <shlwapi.h>
#include <wininet.h>

namespace tarvik::host {

std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative) {
  if (base.empty()) return relative;
  std::wstring out(INTERNET_MAX_URL_LENGTH, L'\0');
  DWORD size = static_cast<DWORD>(out.size());
  if (FAILED(::UrlCombineW(base.c_str(), relative.c_str(), out.data(), &size, 0))) return relative;
  out.resize(size);
  return out;
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
  for (const THtmlElementRef& anchor : page.Anchors)
    anchors.emplace_back(standin::TAnchorElement::Create(anchor.Name, href(anchor)));
  for (const THtmlElementRef& link : page.Links) {
    if (link.IsArea)
      links.emplace_back(standin::TAreaElement::Create(href(link)));
    else
      links.emplace_back(standin::TAnchorElement::Create(link.Name, href(link)));
  }
  document->FAnchors = standin::TElementCollection::Create(std::move(anchors));
  document->FLinks = standin::TElementCollection::Create(std::move(links));
  document->FSelection = standin::TSelection::Create(std::move(selectedText));
  document->FLocation = standin::TLocation::Create(url);
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

STDMETHODIMP THostDocument::get_location(IHTMLLocation** p) { return ComPtr<IHTMLLocation>(FLocation).CopyTo(p); }

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
