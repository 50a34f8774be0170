#pragma once
// The parts of a document's object model that the browser host shows for a
// real page and the tests' stand-in documents hold: anchors, image-map
// areas, element collections, the location, the selection and its ranges,
// and the document of a window that shows no HTML. The tests' knobs (reads that fail, the
// calls a collection got) are off unless a test sets them.
#include <windows.h>
#include <mshtml.h>

#include <string>
#include <string_view>
#include <vector>

#include "DispatchObject.h"
#include "InterfaceStubs.h"
#include "framework/ComPtr.h"

namespace tarvik::standin {

// <a>: name and href (resolved, as the browser returns it).
class TAnchorElement final : public TLateBound<THTMLAnchorElementStubs, TAnchorElement> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"name", L"href"};
  static ComPtr<TAnchorElement> Create(std::wstring name, std::wstring href);
  // Makes every read of name and href fail with hr.
  void SetFailure(HRESULT hr) noexcept { FFailure = hr; }

  STDMETHODIMP get_name(BSTR* p) override;
  STDMETHODIMP get_href(BSTR* p) override;
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result);

 private:
  friend class TInterfacedObject;
  TAnchorElement(std::wstring name, std::wstring href) : FName(std::move(name)), FHref(std::move(href)) {}
  std::wstring FName, FHref;
  HRESULT FFailure = S_OK;
};

// <area> of an image map: a link, but no anchor element.
class TAreaElement final : public TLateBound<THTMLAreaElementStubs, TAreaElement> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"href"};
  static ComPtr<TAreaElement> Create(std::wstring href);
  STDMETHODIMP get_href(BSTR* p) override { return ReturnText(FHref, p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) { return ReturnText(FHref, result); }

 private:
  friend class TInterfacedObject;
  explicit TAreaElement(std::wstring href) : FHref(std::move(href)) {}
  std::wstring FHref;
};

// A collection of elements, answering length and item(position).
class TElementCollection final : public TLateBound<THTMLElementCollectionStubs, TElementCollection> {
 public:
  struct TItemCall {
    VARTYPE NameType;
    long Name;  // when the name is a number
    VARTYPE IndexType;
    long Index;
  };

  static constexpr const wchar_t* kMembers[] = {L"length", L"item"};
  static ComPtr<TElementCollection> Create(std::vector<ComPtr<IDispatch>> elements = {});
  // Any element; an empty one makes item() answer S_OK with nothing.
  void Add(IDispatch* element) { FElements.emplace_back(element); }
  size_t Size() const noexcept { return FElements.size(); }
  // From now on every item() call is kept, in order.
  void RecordItemCalls() noexcept { FRecording = true; }
  const std::vector<TItemCall>& ItemCalls() const noexcept { return FItemCalls; }

  STDMETHODIMP get_length(LONG* p) override;
  STDMETHODIMP item(VARIANT name, VARIANT index, IDispatch** pdisp) override;
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS* params, VARIANT* result);

 private:
  friend class TInterfacedObject;
  explicit TElementCollection(std::vector<ComPtr<IDispatch>> elements) : FElements(std::move(elements)) {}
  std::vector<ComPtr<IDispatch>> FElements;
  bool FRecording = false;
  std::vector<TItemCall> FItemCalls;
};

class TLocation final : public TLateBound<THTMLLocationStubs, TLocation> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"href", L"toString"};
  static ComPtr<TLocation> Create(std::wstring href = {});
  const std::wstring& Href() const noexcept { return FHref; }
  void SetHref(std::wstring href) { FHref = std::move(href); }
  // A failure makes every read of href fail.
  void SetHrefResult(HRESULT hr) noexcept { FHrefResult = hr; }

  STDMETHODIMP get_href(BSTR* p) override { return FAILED(FHrefResult) ? FHrefResult : ReturnText(FHref, p); }
  STDMETHODIMP toString(BSTR* p) override { return get_href(p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) {
    return FAILED(FHrefResult) ? FHrefResult : ReturnText(FHref, result);
  }

 private:
  friend class TInterfacedObject;
  explicit TLocation(std::wstring href) : FHref(std::move(href)) {}
  std::wstring FHref;
  HRESULT FHrefResult = S_OK;
};

class TTextRange final : public TLateBound<THTMLTxtRangeStubs, TTextRange> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"text"};
  // textResult: a failure makes every read of the text fail.
  static ComPtr<TTextRange> Create(std::wstring text, HRESULT textResult = S_OK);
  STDMETHODIMP get_text(BSTR* p) override { return FAILED(FTextResult) ? FTextResult : ReturnText(FText, p); }
  HRESULT InvokeMember(std::wstring_view, DISPPARAMS*, VARIANT* result) {
    return FAILED(FTextResult) ? FTextResult : ReturnText(FText, result);
  }

 private:
  friend class TInterfacedObject;
  TTextRange(std::wstring text, HRESULT textResult) : FText(std::move(text)), FTextResult(textResult) {}
  std::wstring FText;
  HRESULT FTextResult;
};

// The range of a selected object (an image, a control): no text, no members
// by name at all.
class TControlRange final : public TDispatchObject<TDispatchStubs> {
 public:
  static ComPtr<TControlRange> Create() { return TInterfacedObject::Create<TControlRange>(); }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

 private:
  friend class TInterfacedObject;
  TControlRange() = default;
};

// The document's selection: createRange gives a text range over the
// selected text. The fields are a test's knobs; the host sets Text only.
class TSelection final : public TLateBound<THTMLSelectionObjectStubs, TSelection> {
 public:
  static constexpr const wchar_t* kMembers[] = {L"createRange", L"type"};
  static ComPtr<TSelection> Create(std::wstring text = {});
  std::wstring Text;
  bool SelectsObject = false;        // createRange gives a control range, without text
  HRESULT CreateRangeResult = S_OK;  // a failure of createRange
  HRESULT TextResult = S_OK;         // a failure of the range's text
  STDMETHODIMP createRange(IDispatch** range) override;
  // "Text" with a selection, "None" without, as the browser answers.
  STDMETHODIMP get_type(BSTR* p) override { return ReturnText(Text.empty() ? L"None" : L"Text", p); }
  HRESULT InvokeMember(std::wstring_view name, DISPPARAMS*, VARIANT* result);

 private:
  friend class TInterfacedObject;
  explicit TSelection(std::wstring text) : Text(std::move(text)) {}
};

// What a window shows when the address is no HTML page (a picture, a file,
// a folder): a document object with IDispatch only.
class TPlainDocument final : public TInterfacedImpl<TDispatchStubs> {
 public:
  static ComPtr<TPlainDocument> Create() { return TInterfacedObject::Create<TPlainDocument>(); }

 private:
  friend class TInterfacedObject;
  TPlainDocument() = default;
};

}  // namespace tarvik::standin
