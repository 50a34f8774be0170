#pragma once
// Stand-ins for the browser's document object model: an HTML document with
// its anchors and links collections, title, selection and location (the
// properties a script reads also late-bound: the document's location and
// title, the location's href, a text range's text), the elements those
// collections hold, a selected object, reads that fail, and a document that
// is not HTML.
#include <windows.h>
#include <mshtml.h>

#include <string>
#include <vector>

#include "HostDocument.h"
#include "framework/ComPtr.h"
#include "support/browser/InterfaceStubs.h"
#include "support/browser/StandIn.h"

namespace tarvik::test {

// An <a> element: name and href as the document object returns them.
class TFakeAnchor final : public TDispatchStandIn<THTMLAnchorElementStubs> {
 public:
  static ComPtr<TFakeAnchor> Create(std::wstring name, std::wstring href);
  // Makes get_name and get_href fail with hr.
  void SetFailure(HRESULT hr) noexcept { FFailure = hr; }

  STDMETHODIMP get_name(BSTR* p) override;
  STDMETHODIMP get_href(BSTR* p) override;

 private:
  friend class TInterfacedObject;
  TFakeAnchor(std::wstring name, std::wstring href) : FName(std::move(name)), FHref(std::move(href)) {}
  std::wstring FName, FHref;
  HRESULT FFailure = S_OK;
};

// An <area> of an image map: found among the links, but no anchor element.
class TFakeArea final : public TDispatchStandIn<THTMLAreaElementStubs> {
 public:
  static ComPtr<TFakeArea> Create(std::wstring href);
  STDMETHODIMP get_href(BSTR* p) override;

 private:
  friend class TInterfacedObject;
  explicit TFakeArea(std::wstring href) : FHref(std::move(href)) {}
  std::wstring FHref;
};

// A collection of elements, answering length and item(i, 0).
class TFakeElementCollection final : public TDispatchStandIn<THTMLElementCollectionStubs> {
 public:
  struct TItemCall {
    VARTYPE NameType;
    long Name;  // when the name is a number
    VARTYPE IndexType;
    long Index;
  };

  static ComPtr<TFakeElementCollection> Create();
  // Any element; an empty one makes item() answer S_OK with nothing.
  void Add(IDispatch* element) { FElements.emplace_back(element); }
  size_t Size() const noexcept { return FElements.size(); }
  // Every item() call, in order.
  const std::vector<TItemCall>& ItemCalls() const noexcept { return FItemCalls; }

  STDMETHODIMP get_length(LONG* p) override;
  STDMETHODIMP item(VARIANT name, VARIANT index, IDispatch** pdisp) override;

 private:
  friend class TInterfacedObject;
  TFakeElementCollection() = default;
  std::vector<ComPtr<IDispatch>> FElements;
  std::vector<TItemCall> FItemCalls;
};

// The document's location; href also late-bound.
class TFakeLocation final : public TDispatchStandIn<THTMLLocationStubs> {
 public:
  static ComPtr<TFakeLocation> Create() { return TInterfacedObject::Create<TFakeLocation>(); }
  std::wstring Href;
  HRESULT HrefResult = S_OK;  // a failure makes every read of href fail
  STDMETHODIMP get_href(BSTR* p) override { return FAILED(HrefResult) ? HrefResult : CopyBstr(Href, p); }

 private:
  friend class TInterfacedObject;
  TFakeLocation();
};

// A text range; text also late-bound.
class TFakeTextRange final : public TDispatchStandIn<THTMLTxtRangeStubs> {
 public:
  static ComPtr<TFakeTextRange> Create(std::wstring text, HRESULT textResult = S_OK) {
    return TInterfacedObject::Create<TFakeTextRange>(std::move(text), textResult);
  }
  STDMETHODIMP get_text(BSTR* p) override { return FAILED(FTextResult) ? FTextResult : CopyBstr(FText, p); }

 private:
  friend class TInterfacedObject;
  TFakeTextRange(std::wstring text, HRESULT textResult);
  std::wstring FText;
  HRESULT FTextResult;
};

// The range of a selected object: no text, no late-bound properties at all.
class TFakeControlRange final : public TDispatchStandIn<TDispatchStubs> {
 public:
  static ComPtr<TFakeControlRange> Create() { return TInterfacedObject::Create<TFakeControlRange>(); }

 private:
  friend class TInterfacedObject;
  TFakeControlRange() = default;
};

// The document's selection: createRange gives a text range over the selected text.
class TFakeSelection final : public TDispatchStandIn<THTMLSelectionObjectStubs> {
 public:
  static ComPtr<TFakeSelection> Create() { return TInterfacedObject::Create<TFakeSelection>(); }
  std::wstring Text;
  bool SelectsObject = false;       // createRange gives a range without text
  HRESULT CreateRangeResult = S_OK;  // a failure of createRange
  HRESULT TextResult = S_OK;         // a failure of the range's text
  STDMETHODIMP createRange(IDispatch** range) override;
  // "Text" with a selection, "None" without, as the browser answers.
  STDMETHODIMP get_type(BSTR* p) override { return CopyBstr(Text.empty() ? L"None" : L"Text", p); }

 private:
  friend class TInterfacedObject;
  TFakeSelection() = default;
};

class TFakeHtmlDocument final : public TDispatchStandIn<THTMLDocument2Stubs> {
 public:
  static ComPtr<TFakeHtmlDocument> Create();

  // Builders: an element with a name (and an href) in anchors; an anchor
  // element or an image-map area in links.
  TFakeHtmlDocument& AddAnchor(std::wstring name, std::wstring href);
  TFakeHtmlDocument& AddLink(std::wstring href);
  TFakeHtmlDocument& AddAreaLink(std::wstring href);
  TFakeElementCollection& Anchors() noexcept { return *FAnchors; }
  TFakeElementCollection& Links() noexcept { return *FLinks; }

  void SetTitle(std::wstring title) { FTitle = std::move(title); }
  void SetSelectedText(std::wstring text) { FSelection->Text = std::move(text); }
  void SetLocation(std::wstring href) { FLocation->Href = std::move(href); }
  TFakeSelection& Selection() noexcept { return *FSelection; }
  TFakeLocation& Location() noexcept { return *FLocation; }
  // Reads that fail: the title, the selection, the location (early and late bound).
  void SetTitleResult(HRESULT hr) noexcept { FTitleResult = hr; }
  void SetSelectionResult(HRESULT hr) noexcept { FSelectionResult = hr; }
  void SetLocationResult(HRESULT hr) noexcept { FLocationResult = hr; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP get_anchors(IHTMLElementCollection** p) override;
  STDMETHODIMP get_links(IHTMLElementCollection** p) override;
  STDMETHODIMP get_title(BSTR* p) override;
  STDMETHODIMP put_title(BSTR v) override;
  STDMETHODIMP get_selection(IHTMLSelectionObject** p) override;
  STDMETHODIMP get_location(IHTMLLocation** p) override;
  STDMETHODIMP get_URL(BSTR* p) override { return CopyBstr(FLocation->Href, p); }

 private:
  friend class TInterfacedObject;
  TFakeHtmlDocument();
  ComPtr<TFakeElementCollection> FAnchors, FLinks;
  ComPtr<TFakeSelection> FSelection;
  ComPtr<TFakeLocation> FLocation;
  std::wstring FTitle;
  HRESULT FTitleResult = S_OK, FSelectionResult = S_OK, FLocationResult = S_OK;
};

// What a window shows when it shows no HTML (a picture, a PDF, a folder):
// a document object that offers IDispatch only.
using TFakePlainDocument = host::THostPlainDocument;

}  // namespace tarvik::test
