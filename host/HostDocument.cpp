#include "HostDocument.h"

#include <shlwapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>

namespace tarvik::host {

namespace {

void AppendEscapedBytes(std::wstring& out, std::string_view bytes) {
  static constexpr wchar_t Hex[] = L"0123456789ABCDEF";
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += L'%';
    out += Hex[byte >> 4];
    out += Hex[byte & 15];
  }
}

std::string InCodePage(std::wstring_view text, UINT codePage, bool& lost) {
  lost = false;
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  // Best-fit replacements ("e" for "é") would ask for another name: off, and a loss is told.
  const bool utf8 = codePage == CP_UTF8;
  BOOL usedDefault = FALSE;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = utf8 ? nullptr : &usedDefault;
  const int length = ::WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, used);
  std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) ::WideCharToMultiByte(codePage, flags, text.data(), size, out.data(), length, nullptr, nullptr);
  lost = length <= 0 || usedDefault;
  return out;
}

// One character (a surrogate pair is one) of a query in a code page other
// than UTF-8: its bytes, or "&#N;" when the code page lacks it.
void AppendQueryCharacter(std::wstring& out, std::wstring_view character, UINT codePage) {
  bool lost = false;
  const std::string bytes = InCodePage(character, codePage, lost);
  if (!lost) {
    AppendEscapedBytes(out, bytes);
    return;
  }
  uint32_t point = static_cast<uint16_t>(character[0]);
  if (character.size() == 2)
    point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<uint16_t>(character[1]) - 0xDC00);
  out += L"%26%23" + std::to_wstring(point) + L"%3B";
}

// A host name outside ASCII in its IDNA form, as a browser asks the name
// service for it; a name IDNA refuses is left as written.
std::wstring AsciiHostName(std::wstring_view authority) {
  const size_t at = authority.rfind(L'@');
  const size_t start = at == std::wstring_view::npos ? 0 : at + 1;
  const size_t colon = authority.find(L':', start);
  const size_t end = colon == std::wstring_view::npos ? authority.size() : colon;
  const std::wstring_view host = authority.substr(start, end - start);
  if (std::all_of(host.begin(), host.end(), [](wchar_t c) { return c < 0x80; })) return std::wstring(authority);
  std::wstring ascii(256, L'\0');
  const int length = ::IdnToAscii(0, host.data(), static_cast<int>(host.size()), ascii.data(), 256);
  if (length <= 0) return std::wstring(authority);
  ascii.resize(static_cast<size_t>(length));
  return std::wstring(authority.substr(0, start)) + ascii + std::wstring(authority.substr(end));
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c < 0xE000; }

// part with every character outside ASCII escaped: as UTF-8, or in another
// code page as a query is.
void AppendEscaped(std::wstring& out, std::wstring_view part, UINT codePage) {
  for (size_t i = 0; i < part.size();) {
    if (part[i] < 0x80) {
      out += part[i++];
      continue;
    }
    size_t stop = i;
    while (stop < part.size() && part[stop] >= 0x80) ++stop;
    const std::wstring_view run = part.substr(i, stop - i);
    if (codePage == CP_UTF8) {
      bool lost = false;
      AppendEscapedBytes(out, InCodePage(run, CP_UTF8, lost));
    } else {
      for (size_t k = 0; k < run.size();) {
        const size_t n = (IsHighSurrogate(run[k]) && k + 1 < run.size() && IsLowSurrogate(run[k + 1])) ? 2 : 1;
        AppendQueryCharacter(out, run.substr(k, n), codePage);
        k += n;
      }
    }
    i = stop;
  }
}

// url with the escapes that ResolveUrl describes.
std::wstring EscapedWebAddress(std::wstring_view url, UINT queryCodePage) {
  // UTF-16 pages send their queries as UTF-8, like every page without a code page of bytes.
  if (queryCodePage == 1200 || queryCodePage == 1201 || queryCodePage == 0) queryCodePage = CP_UTF8;
  const size_t fragment = std::min(url.find(L'#'), url.size());
  const size_t query = std::min(url.substr(0, fragment).find(L'?'), fragment);
  std::wstring out;
  out.reserve(url.size());
  size_t path = 0;
  // The authority, after "scheme://" up to the next "/", "?" or "#".
  if (const size_t slashes = url.substr(0, query).find(L"://"); slashes != std::wstring_view::npos) {
    path = std::min(url.find_first_of(L"/?#", slashes + 3), url.size());
    out = url.substr(0, slashes + 3);
    AppendEscaped(out, AsciiHostName(url.substr(slashes + 3, path - slashes - 3)), CP_UTF8);
  }
  AppendEscaped(out, url.substr(path, query - path), CP_UTF8);
  AppendEscaped(out, url.substr(query, fragment - query), queryCodePage);
  AppendEscaped(out, url.substr(fragment), CP_UTF8);
  return out;
}

}  // namespace

std::wstring ResolveUrl(const std::wstring& base, const std::wstring& relative, UINT queryCodePage) {
  std::wstring out(INTERNET_MAX_URL_LENGTH, L'\0');
  DWORD size = static_cast<DWORD>(out.size());
  if (base.empty() || FAILED(::UrlCombineW(base.c_str(), relative.c_str(), out.data(), &size, 0)))
    return EscapedWebAddress(relative, queryCodePage);
  out.resize(size);
  return EscapedWebAddress(out, queryCodePage);
}

ComPtr<THostDocument> THostDocument::Create(const THtmlPage& page, const std::wstring& url, std::wstring selectedText,
                                            UINT codePage) {
  ComPtr<THostDocument> document = TInterfacedObject::Create<THostDocument>();
  document->FUrl = url;
  document->FCodePage = codePage;
  document->FBase = page.BaseHref.empty() ? url : ResolveUrl(url, page.BaseHref, codePage);
  document->FTitle = page.Title;
  std::vector<ComPtr<IDispatch>> anchors, links;
  auto href = [&](const THtmlElementRef& element) {
    return element.HasHref ? ResolveUrl(document->FBase, element.Href, codePage) : std::wstring();
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
