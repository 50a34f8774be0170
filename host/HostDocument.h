#pragma once
// The document object model this host offers for a page: an HTML document
// (IHTMLDocument2 subset) with anchors, links, title, selection and location,
// each object also answering its members by name through IDispatch, as
// script and late-bound callers use them. The parts it shares with the
// tests' stand-ins live in standin/.
#include <windows.h>
#include <mshtml.h>

#include <string>
#include <string_view>
#include <vector>

#include "DispatchObject.h"
#include "DocumentObjects.h"
#include "HtmlScanner.h"
#include "InterfaceStubs.h"
#include "framework/ComPtr.h"

namespace tarvik::host {

using standin::ReturnObject;
using standin::ReturnText;
using standin::TLateBound;

// The document of one window or frame, made from its page.
class THostDocument final : public TLateBound<standin::THTMLDocument2Stubs, THostDocument> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"title",   L"location", L"selection", L"URL",
                                                L"anchors", L"links",    L"readyState"};
  // url: the document's final address; links resolve against it and <base href>.
  static ComPtr<THostDocument> Create(const THtmlPage& page, const std::wstring& url, std::wstring selectedText = {});

  const std::wstring& Title() const noexcept { return FTitle; }
  const std::wstring& BaseUrl() const noexcept { return FBase; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP get_anchors(IHTMLElementCollection** p) override;
  STDMETHODIMP get_links(IHTMLElementCollection** p) override;
  STDMETHODIMP get_title(BSTR* p) override { return ReturnText(FTitle, p); }
  STDMETHODIMP put_title(BSTR v) override;
  STDMETHODIMP get_selection(IHTMLSelectionObject** p) override;
  STDMETHODIMP get_location(IHTMLLocation** p) override;
  STDMETHODIMP get_URL(BSTR* p) override { return ReturnText(FUrl, p); }
  STDMETHODIMP get_readyState(BSTR* p) override { return ReturnText(L"complete", p); }
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS* params, VARIANT* result);

 private:
  friend class TInterfacedObject;
  THostDocument() = default;

  std::wstring FUrl, FBase, FTitle;
  ComPtr<standin::TElementCollection> FAnchors, FLinks;
  ComPtr<standin::TSelection> FSelection;
  ComPtr<standin::TLocation> FLocation;
};

// relative resolved against base, as the browser resolves an attribute.
std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative);

}  // namespace tarvik::host
