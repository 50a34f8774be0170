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

#include "DocumentObjects.h"
#include "InterfaceStubs.h"
#include "framework/ComPtr.h"
#include "support/browser/StandIn.h"

namespace tarvik::test {

// The elements, collections, location, selection and ranges are the browser
// host's own (standin/), with their tests' knobs.
using TFakeAnchor = standin::TAnchorElement;

class TFakeHtmlDocument final : public TDispatchStandIn<THTMLDocument2Stubs> {
 public:
  static ComPtr<TFakeHtmlDocument> Create();

  // Builders: an element with a name (and an href) in anchors; an anchor
  // element or an image-map area in links.
  TFakeHtmlDocument& AddAnchor(std::wstring name, std::wstring href);
  TFakeHtmlDocument& AddLink(std::wstring href);
  TFakeHtmlDocument& AddAreaLink(std::wstring href);
  standin::TElementCollection& Anchors() noexcept { return *FAnchors; }
  standin::TElementCollection& Links() noexcept { return *FLinks; }

  void SetTitle(std::wstring title) { FTitle = std::move(title); }
  void SetSelectedText(std::wstring text) { FSelection->Text = std::move(text); }
  void SetLocation(std::wstring href) { FLocation->SetHref(std::move(href)); }
  standin::TSelection& Selection() noexcept { return *FSelection; }
  standin::TLocation& Location() noexcept { return *FLocation; }
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
  STDMETHODIMP get_URL(BSTR* p) override { return standin::ReturnText(FLocation->Href(), p); }

 private:
  friend class TInterfacedObject;
  TFakeHtmlDocument();
  ComPtr<standin::TElementCollection> FAnchors, FLinks;
  ComPtr<standin::TSelection> FSelection;
  ComPtr<standin::TLocation> FLocation;
  std::wstring FTitle;
  HRESULT FTitleResult = S_OK, FSelectionResult = S_OK, FLocationResult = S_OK;
};

// What a window shows when it shows no HTML (a picture, a PDF, a folder):
// a document object that offers IDispatch only.
using TFakePlainDocument = standin::TPlainDocument;

}  // namespace tarvik::test
