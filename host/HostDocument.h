#pragma once
// The document object model this host offers for a page: an HTML document
// (IHTMLDocument2 subset) with anchors, links, title, selection and location,
// each object also answering its members by name through IDispatch, as
// script and late-bound callers use them.
#include <windows.h>
#include <mshtml.h>

#include <string>
#include <string_view>
#include <vector>

#include "HtmlScanner.h"
#include "framework/ComPtr.h"
#include "support/browser/InterfaceStubs.h"
#include "framework/InterfacedObject.h"

namespace tarvik::host {

HRESULT ReturnText(std::wstring_view text, BSTR* out);
HRESULT ReturnText(std::wstring_view text, VARIANT* out);
HRESULT ReturnObject(IDispatch* object, VARIANT* out);

// Members by name: Derived lists kMembers (DISPIDs are positions + 1) and
// answers InvokeMember(name, params, result).
template <class Stubs, class Derived>
class TLateBound : public TInterfacedImpl<Stubs> {
 public:
  // Every object of the model is also its own IDispatch.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && IsEqualIID(riid, IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(static_cast<Stubs*>(this));
      this->AddRef();
      return S_OK;
    }
    return this->QueryOwnInterface(riid, ppv);
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (size_t m = 0; i == 0 && names[i] && m < std::size(Derived::kMembers); ++m)
        if (::lstrcmpiW(names[i], Derived::kMembers[m]) == 0) ids[i] = static_cast<DISPID>(m + 1);
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;  // members take no named arguments
    }
    return hr;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT*) override {
    if (id < 1 || static_cast<size_t>(id) > std::size(Derived::kMembers)) return DISP_E_MEMBERNOTFOUND;
    if (result) ::VariantInit(result);
    VARIANT ignored;
    ::VariantInit(&ignored);
    const HRESULT hr = static_cast<Derived*>(this)->InvokeMember(Derived::kMembers[id - 1], params,
                                                                 result ? result : &ignored);
    ::VariantClear(&ignored);
    return hr;
  }
};

// <a>: name and href (resolved, as the browser returns it).
class THostAnchor final : public TLateBound<test::THTMLAnchorElementStubs, THostAnchor> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"name", L"href"};
  static ComPtr<THostAnchor> Create(std::wstring name, std::wstring href);
  STDMETHODIMP get_name(BSTR* p) override;
  STDMETHODIMP get_href(BSTR* p) override { return ReturnText(FHref, p); }
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result);

 private:
  friend class TInterfacedObject;
  THostAnchor(std::wstring name, std::wstring href) : FName(std::move(name)), FHref(std::move(href)) {}
  std::wstring FName, FHref;
};

// <area> of an image map: a link, but no anchor element.
class THostArea final : public TLateBound<test::THTMLAreaElementStubs, THostArea> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"href"};
  static ComPtr<THostArea> Create(std::wstring href);
  STDMETHODIMP get_href(BSTR* p) override { return ReturnText(FHref, p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) { return ReturnText(FHref, result); }

 private:
  friend class TInterfacedObject;
  explicit THostArea(std::wstring href) : FHref(std::move(href)) {}
  std::wstring FHref;
};

class THostElementCollection final : public TLateBound<test::THTMLElementCollectionStubs, THostElementCollection> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"length", L"item"};
  static ComPtr<THostElementCollection> Create(std::vector<ComPtr<IDispatch>> elements);
  STDMETHODIMP get_length(LONG* p) override;
  STDMETHODIMP item(VARIANT name, VARIANT index, IDispatch** pdisp) override;
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS* params, VARIANT* result);

 private:
  friend class TInterfacedObject;
  explicit THostElementCollection(std::vector<ComPtr<IDispatch>> elements) : FElements(std::move(elements)) {}
  std::vector<ComPtr<IDispatch>> FElements;
};

class THostLocation final : public TLateBound<test::THTMLLocationStubs, THostLocation> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"href", L"toString"};
  static ComPtr<THostLocation> Create(std::wstring href);
  STDMETHODIMP get_href(BSTR* p) override { return ReturnText(FHref, p); }
  STDMETHODIMP toString(BSTR* p) override { return ReturnText(FHref, p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) { return ReturnText(FHref, result); }

 private:
  friend class TInterfacedObject;
  explicit THostLocation(std::wstring href) : FHref(std::move(href)) {}
  std::wstring FHref;
};

class THostTextRange final : public TLateBound<test::THTMLTxtRangeStubs, THostTextRange> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"text"};
  static ComPtr<THostTextRange> Create(std::wstring text);
  STDMETHODIMP get_text(BSTR* p) override { return ReturnText(FText, p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) { return ReturnText(FText, result); }

 private:
  friend class TInterfacedObject;
  explicit THostTextRange(std::wstring text) : FText(std::move(text)) {}
  std::wstring FText;
};

class THostSelection final : public TLateBound<test::THTMLSelectionObjectStubs, THostSelection> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"createRange", L"type"};
  static ComPtr<THostSelection> Create(std::wstring text);
  STDMETHODIMP createRange(IDispatch** range) override;
  // "Text" with a selection, "None" without, as the browser answers.
  STDMETHODIMP get_type(BSTR* p) override { return ReturnText(FText.empty() ? L"None" : L"Text", p); }
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result);

 private:
  friend class TInterfacedObject;
  explicit THostSelection(std::wstring text) : FText(std::move(text)) {}
  std::wstring FText;
};

// The document of one window or frame, made from its page.
class THostDocument final : public TLateBound<test::THTMLDocument2Stubs, THostDocument> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"title", L"location", L"selection", L"URL",
                                                L"anchors", L"links", L"readyState"};
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
  ComPtr<THostElementCollection> FAnchors, FLinks;
  ComPtr<THostSelection> FSelection;
  ComPtr<THostLocation> FLocation;
};

// What a window shows when the address is no HTML page (a picture, a file):
// a document object with IDispatch only.
class THostPlainDocument final : public TInterfacedImpl<test::TDispatchStubs> {
 public:
  static ComPtr<THostPlainDocument> Create() { return TInterfacedObject::Create<THostPlainDocument>(); }

 private:
  friend class TInterfacedObject;
  THostPlainDocument() = default;
};

// relative resolved against base, as the browser resolves an attribute.
std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative);

}  // namespace tarvik::host
