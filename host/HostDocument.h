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
  // url: the document's final address; links resolve against it and <base href>,
  // their queries written in the page's code page (ResolveUrl).
  static ComPtr<THostDocument> Create(const THtmlPage& page, const std::wstring& url, std::wstring selectedText = {},
                                      UINT codePage = CP_UTF8);

  const std::wstring& Title() const noexcept { return FTitle; }
  const std::wstring& BaseUrl() const noexcept { return FBase; }
  UINT CodePage() const noexcept { return FCodePage; }

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
  UINT FCodePage = CP_UTF8;
  ComPtr<standin::TElementCollection> FAnchors, FLinks;
  ComPtr<standin::TSelection> FSelection;
  ComPtr<standin::TLocation> FLocation;
};

// relative resolved against base, as a current browser resolves an
// attribute, so that the server is asked for the real name: every character
// outside ASCII in the path and the fragment written as the %XX escapes of
// its UTF-8 bytes, in the query as those of its bytes in queryCodePage (the
// page's; UTF-8 for UTF-16), a character that code page lacks as the escaped
// "&#N;" that browsers send. Escapes already there stay; a host name
// outside ASCII is written in its IDNA form.
std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative, UINT queryCodePage = CP_UTF8);

}  // namespace tarvik::host
