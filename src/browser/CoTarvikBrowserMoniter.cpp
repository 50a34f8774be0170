#include "browser/CoTarvikBrowserMoniter.h"

#include <exdispid.h>
#include <mshtml.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/ClassTarvikRuntime.h"
#include "core/UrlText.h"
#include "framework/ComBoundary.h"
#include "framework/Handles.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

// A malformed event argument or a failed call into the browser: the branch
// that meets it is abandoned.
class EEventFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw EEventFailure(what);
}

// object as I; a missing object or interface is a failure.
template <class I>
ComPtr<I> Required(IUnknown* object, const char* what) {
  ComPtr<I> result;
  if (!object || FAILED(object->QueryInterface(__uuidof(I), result.PutVoid())) || !result) throw EEventFailure(what);
  return result;
}

// The arguments of one event, by their position in the SDK's declaration;
// the dispatch parameters hold them last first.
class TEventArguments {
 public:
  TEventArguments(const DISPPARAMS* params, UINT declared) : FParams(params) {
    if (!params || params->cArgs != declared || (declared > 0 && !params->rgvarg))
      throw EEventFailure("event arguments");
  }
  const VARIANT& operator[](UINT position) const { return FParams->rgvarg[FParams->cArgs - 1 - position]; }

 private:
  const DISPPARAMS* FParams;
};

// The browser passes most arguments as references to variants.
const VARIANT& Dereferenced(const VARIANT& argument) {
  const VARIANT* value = &argument;
  for (int depth = 0; V_VT(value) == (VT_BYREF | VT_VARIANT); ++depth) {
    if (depth == 4 || !V_VARIANTREF(value)) throw EEventFailure("variant reference");
    value = V_VARIANTREF(value);
  }
  return *value;
}

// pDisp: the window or frame concerned; empty when the argument holds none.
ComPtr<IDispatch> WindowArgument(const VARIANT& argument) {
  const VARIANT& value = Dereferenced(argument);
  IUnknown* object = nullptr;
  switch (V_VT(&value)) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_DISPATCH:
      return V_DISPATCH(&value);
    case VT_DISPATCH | VT_BYREF:
      if (!V_DISPATCHREF(&value)) throw EEventFailure("pDisp");
      return *V_DISPATCHREF(&value);
    case VT_UNKNOWN:
      object = V_UNKNOWN(&value);
      break;
    case VT_UNKNOWN | VT_BYREF:
      if (!V_UNKNOWNREF(&value)) throw EEventFailure("pDisp");
      object = *V_UNKNOWNREF(&value);
      break;
    default:
      throw EEventFailure("pDisp");
  }
  return object ? Required<IDispatch>(object, "pDisp") : nullptr;
}

std::wstring_view BstrText(BSTR text) noexcept {
  return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
}

// The URL argument without its fragment, converted as the protocol monitor
// converts its requests (AsciiUrl), so that both name a resource alike.
std::string UrlArgument(const VARIANT& argument) {
  const VARIANT& value = Dereferenced(argument);
  if (V_VT(&value) == VT_BSTR) return AsciiUrl(WithoutFragment(BstrText(V_BSTR(&value))));
  UniqueVariant text;
  // No default-property call on objects: a URL is text or a plain value.
  // The source is only read; the platform declares it without const.
  Check(::VariantChangeType(&text.Get(), const_cast<VARIANT*>(&value), VARIANT_NOVALUEPROP, VT_BSTR), "URL");
  return AsciiUrl(WithoutFragment(BstrText(V_BSTR(&text.Get()))));
}

const char* WindowWord(bool topLevel) noexcept { return topLevel ? "window" : "iframe"; }

unsigned PointerValue(IDispatch* window) noexcept { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(window)); }

void Inform(uintptr_t oid, uint8_t category, uint8_t event, const std::string& value) {
  if (ITarvikRuntime* runtime = Runtime.Get())
    runtime->InformEvent(static_cast<int32_t>(::GetCurrentThreadId()), oid, category, event, value);
}

// A branch abandoned on an exception: traced, and answered with result.
constexpr TComFailure BranchFailure(HRESULT result, const char* branch) noexcept {
  return AnyException(result, "Browser Moniter", branch, 1000, 200);
}

// item(i, 0) as an anchor element; anything else (an image-map area) fails.
ComPtr<IHTMLAnchorElement> AnchorAt(IHTMLElementCollection* collection, long index) {
  VARIANT name;
  ::VariantInit(&name);
  V_VT(&name) = VT_I4;
  V_I4(&name) = index;
  VARIANT subIndex;
  ::VariantInit(&subIndex);
  V_VT(&subIndex) = VT_I4;
  V_I4(&subIndex) = 0;
  ComPtr<IDispatch> item;
  Check(collection->item(name, subIndex, item.Put()), "item");
  return Required<IHTMLAnchorElement>(item.Get(), "anchor element");
}

// Every element of one of the document's collections, in order, as an anchor element.
template <class Visit>
void ForEachAnchor(IHTMLDocument2* document,
                   HRESULT (STDMETHODCALLTYPE IHTMLDocument2::*collectionOf)(IHTMLElementCollection**), Visit visit) {
  ComPtr<IHTMLElementCollection> collection;
  Check((document->*collectionOf)(collection.Put()), "collection");
  if (!collection) throw EEventFailure("collection");
  long length = 0;
  Check(collection->get_length(&length), "length");
  for (long i = 0; i < length; ++i) visit(*AnchorAt(collection.Get(), i));
}

std::wstring_view Href(IHTMLAnchorElement& anchor, UniqueBstr& holder) {
  Check(anchor.get_href(holder.Put()), "href");
  return BstrText(holder.Get());
}

// One Download/Start item per in-page target that the document names.
void InformInPageTargets(IHTMLDocument2* document, const std::string& url) {
  ForEachAnchor(document, &IHTMLDocument2::get_anchors, [&](IHTMLAnchorElement& anchor) {
    UniqueBstr name, href;
    Check(anchor.get_name(name.Put()), "name");
    if (!BstrText(name.Get()).empty())
      Inform(0, CategoryDownload, EventStart, url + "#" + AsciiUrl(BstrText(name.Get())));
    if (Href(anchor, href) == L"#") Inform(0, CategoryDownload, EventStart, url + "#");
  });
  ForEachAnchor(document, &IHTMLDocument2::get_links, [&](IHTMLAnchorElement& link) {
    UniqueBstr href;
    const std::wstring_view text = Href(link, href);
    if (!text.empty() && text.back() == L'#') Inform(0, CategoryDownload, EventStart, url + "#");
  });
}

}  // namespace

STDMETHODIMP TTarvikBrowserMoniter::Invoke(DISPID dispIdMember, REFIID, LCID, WORD, DISPPARAMS* pDispParams, VARIANT*,
                                           EXCEPINFO*, UINT*) {
  // Outside the browser's process there is no runtime: no trace, no event.
  if (!Runtime) return S_OK;
  // Nothing may cross the COM boundary.
  return ComBoundary(AnyException(DISP_E_EXCEPTION), [&] {
    switch (dispIdMember) {
      case DISPID_DOWNLOADBEGIN:
        Log("BrowserMoniter", "DownloadBegin", 3000, 50);
        return S_OK;
      case DISPID_DOWNLOADCOMPLETE:
        Log("BrowserMoniter", "DownloadEnd", 3000, 50);
        return S_OK;
      case DISPID_BEFORENAVIGATE2:
        return BeforeNavigate2(pDispParams);
      case DISPID_NAVIGATECOMPLETE2:
        return NavigateComplete2(pDispParams);
      case DISPID_DOCUMENTCOMPLETE:
        return DocumentComplete(pDispParams);
      default:
        return S_OK;
    }
  });
}

bool TTarvikBrowserMoniter::IsTopLevel(IDispatch* window) const noexcept {
  return window && FBrowser && SameComObject(window, FBrowser.Get());
}

bool TTarvikBrowserMoniter::ShowsHtmlDocument() const noexcept {
  if (!FBrowser) return false;
  ComPtr<IDispatch> document;
  if (FAILED(FBrowser->get_Document(document.Put())) || !document) return false;
  ComPtr<IHTMLDocument2> html;
  return SUCCEEDED(document.As(html)) && html;
}

TTarvikBrowserMoniter::TNavigation TTarvikBrowserMoniter::TakeNavigation(const DISPPARAMS* params, UINT declared,
                                                                         const char* eventName) const {
  const TEventArguments arguments(params, declared);
  TNavigation navigation{WindowArgument(arguments[0]), UrlArgument(arguments[1]), false};
  navigation.TopLevel = IsTopLevel(navigation.Window.Get());
  Log(
      [&] {
        return Format("BrowserMoniter.%s(%s[%08X])", eventName, WindowWord(navigation.TopLevel),
                      PointerValue(navigation.Window.Get()));
      },
      [&] { return navigation.Url; });
  return navigation;
}

void TTarvikBrowserMoniter::InformNavigation(const TNavigation& navigation, uint8_t event) {
  Inform(reinterpret_cast<uintptr_t>(navigation.Window.Get()),
         navigation.TopLevel ? CategoryMainNavigation : CategoryFrameNavigation, event, navigation.Url);
}

// pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel
HRESULT TTarvikBrowserMoniter::BeforeNavigate2(const DISPPARAMS* params) {
  return ComBoundary(BranchFailure(DISP_E_EXCEPTION, "EXCEPTION [BeforeNavigation2]"), [&] {
    const TNavigation navigation = TakeNavigation(params, 7, "BeforeNavigation2");
    // Only what the protocol monitor can capture starts a navigation.
    if (IsHttpUrl(navigation.Url)) InformNavigation(navigation, EventStart);
  });
}

// pDisp, URL
HRESULT TTarvikBrowserMoniter::NavigateComplete2(const DISPPARAMS* params) {
  // Every end is recorded, whatever the scheme.
  return ComBoundary(BranchFailure(DISP_E_EXCEPTION, "EXCEPTION [NavigationComplete2]"),
                     [&] { InformNavigation(TakeNavigation(params, 2, "NavigationComplete2"), EventFinish); });
}

// pDisp, URL
HRESULT TTarvikBrowserMoniter::DocumentComplete(const DISPPARAMS* params) {
  if (!ShowsHtmlDocument()) return S_OK;
  // Items recorded before a failure stay; the scan ends there.
  return ComBoundary(BranchFailure(S_OK, "EXCEPTION [DocumentComplete]"), [&] {
    const TEventArguments arguments(params, 2);
    const std::string url = UrlArgument(arguments[1]);
    const ComPtr<IDispatch> window = WindowArgument(arguments[0]);
    Log("BrowserMoniter", [&] {
      return Format("DocumentComplete (%s[%08X])", WindowWord(IsTopLevel(window.Get())), PointerValue(window.Get()));
    });
    // The document of the window that completed: a frame's own, not the top one.
    const ComPtr<IWebBrowser2> completed = Required<IWebBrowser2>(window.Get(), "window");
    ComPtr<IDispatch> document;
    Check(completed->get_Document(document.Put()), "document");
    const ComPtr<IHTMLDocument2> html = Required<IHTMLDocument2>(document.Get(), "HTML document");
    InformInPageTargets(html.Get(), url);
  });
}

}  // namespace tarvik
