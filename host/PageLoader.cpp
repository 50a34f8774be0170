#include "PageLoader.h"

#include <shlwapi.h>

#include <chrono>
#include <set>
#include <utility>

#include "HostDocument.h"
#include "HtmlScanner.h"
#include "PageText.h"
#include "UrlFetcher.h"

namespace tarvik::host {

namespace {

constexpr size_t kDocumentLimit = 32u << 20;   // bytes of a page kept for scanning
constexpr size_t kStyleSheetLimit = 4u << 20;  // bytes of a style sheet kept for scanning
constexpr int kFrameDepth = 4;                 // frames within frames
constexpr int kImportDepth = 8;                // style sheets importing style sheets

bool IsFetchable(const std::wstring& url) {
  auto starts = [&](const wchar_t* scheme) { return ::StrCmpNIW(url.c_str(), scheme, lstrlenW(scheme)) == 0; };
  return starts(L"http:") || starts(L"https:") || starts(L"file:") || starts(L"ftp:");
}

bool IsHtml(const TFetchResult& fetch) {
  auto isHtmlType = [](const std::wstring& type) {
    return ::StrCmpNIW(type.c_str(), L"text/html", 9) == 0 || ::StrCmpNIW(type.c_str(), L"application/xhtml", 17) == 0;
  };
  if (!fetch.ContentType.empty()) return isHtmlType(FromUtf8(fetch.ContentType));
  if (!fetch.MimeType.empty()) return isHtmlType(fetch.MimeType);
  const size_t first = fetch.Body.find_first_not_of(" \t\r\n");
  return first != std::string::npos && fetch.Body[first] == '<';
}

}  // namespace

struct TPageLoader::TLoadContext {
  std::set<std::wstring> Fetched;
  std::vector<std::pair<ComPtr<THostWebBrowser>, std::wstring>> CompletedFrames;  // inner frames first
  unsigned Resources = 0;
  unsigned Failed = 0;
};

TNavigationResult TPageLoader::Navigate(const std::wstring& url) {
  const auto start = std::chrono::steady_clock::now();
  TNavigationResult result;
  standin::TEventSinks& events = FTop.Events();
  bool cancel = false;
  events.BeforeNavigate2(FTop.Window(), url, L"", cancel);
  TLoadContext context;
  TLoaded top;
  if (cancel) {
    top.Error = "an add-on cancelled the navigation";
  } else {
    FTop.SetBusy(true);
    events.DownloadBegin();
    FFrames.clear();
    top = LoadDocument(FTop, url, context, 0);
    events.DownloadComplete();
    FTop.SetBusy(false);
    if (top.Ok) {
      for (const auto& [frame, frameUrl] : context.CompletedFrames) events.DocumentComplete(frame->Window(), frameUrl);
      events.DocumentComplete(FTop.Window(), top.FinalUrl);
    }
  }
  result.Ok = top.Ok;
  result.FinalUrl = top.FinalUrl.empty() ? url : top.FinalUrl;
  result.Title = top.Title;
  result.Status = top.Status;
  result.Error = top.Error;
  result.Resources = context.Resources;
  result.FailedResources = context.Failed;
  result.Milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return result;
}

TPageLoader::TLoaded TPageLoader::LoadDocument(THostWebBrowser& browser, const std::wstring& url, TLoadContext& context,
                                               int depth, unsigned hops) {
  TLoaded loaded;
  const bool top = &browser == &FTop;
  TFetchResult fetch = FetchUrl(url, kDocumentLimit);
  context.Fetched.insert(url);
  // A redirect the library hands over instead of following (308 on this
  // platform): the browser follows it within the same navigation, so the
  // window or frame finishes at the new address.
  const bool redirect =
      fetch.Status == 301 || fetch.Status == 302 || fetch.Status == 303 || fetch.Status == 307 || fetch.Status == 308;
  if (SUCCEEDED(fetch.Result) && redirect && !fetch.Location.empty()) {
    if (hops + fetch.Redirects >= kRedirectLimit) {
      fetch.Result = kTooManyRedirects;
    } else {
      return LoadDocument(browser, ResolveUrl(fetch.FinalUrl, fetch.Location), context, depth,
                          hops + fetch.Redirects + 1);
    }
  }
  loaded.Status = fetch.Status;
  loaded.FinalUrl = fetch.FinalUrl;
  if (FAILED(fetch.Result)) {
    loaded.Error = DescribeFetchError(fetch.Result);
    if (fetch.Status >= 400) loaded.Error += ", HTTP " + std::to_string(fetch.Status);
    FTop.Events().NavigateError(browser.Window(), url, L"", fetch.Status ? fetch.Status : fetch.Result);
    if (top) ShowPage(url, loaded, context, L"");
    return loaded;
  }
  context.Fetched.insert(fetch.FinalUrl);
  THtmlPage page;
  const bool html = IsHtml(fetch);
  ComPtr<THostDocument> document;
  if (html) {
    const std::string charset = CharsetOfContentType(fetch.ContentType);
    page = ScanHtmlPage(DecodePageText(fetch.Body, charset, true));
    document = THostDocument::Create(page, fetch.FinalUrl, {}, PageCodePage(fetch.Body, charset, true));
    browser.SetDocument(static_cast<IHTMLDocument2*>(document.Get()));
  } else {
    browser.SetDocument(ComPtr<IDispatch>(standin::TPlainDocument::Create()).Get());
  }
  loaded.Title = page.Title;
  browser.SetLocation(fetch.FinalUrl, page.Title);
  FTop.Events().NavigateComplete2(browser.Window(), fetch.FinalUrl);
  if (top) {
    const std::wstring title = page.Title.empty() ? fetch.FinalUrl : page.Title;
    if (FView) FView->ShowTitle(title);
    FTop.Events().TitleChange(title);
  }
  if (html) {
    const std::wstring& base = document->BaseUrl();
    for (const std::wstring& src : page.Frames) {
      if (depth + 1 > kFrameDepth) break;
      const std::wstring frameUrl = ResolveUrl(base, src, document->CodePage());
      ComPtr<THostWebBrowser> frame = FTop.CreateFrame();
      FFrames.push_back(frame);
      ++context.Resources;
      bool cancel = false;
      FTop.Events().BeforeNavigate2(frame->Window(), frameUrl, L"", cancel);
      if (cancel) continue;
      FTop.Events().DownloadBegin();
      const TLoaded inner = LoadDocument(*frame, frameUrl, context, depth + 1);
      FTop.Events().DownloadComplete();
      if (inner.Ok)
        context.CompletedFrames.emplace_back(frame, inner.FinalUrl);
      else
        ++context.Failed;
    }
    for (const THtmlResourceRef& resource : page.Resources)
      FetchSubresource(ResolveUrl(base, resource.Url, document->CodePage()),
                       resource.Kind == THtmlResourceRef::TKind::StyleSheet, context, 0);
    for (const std::wstring& style : page.InlineStyles) FetchStyleReferences(style, base, context, 0);
  }
  loaded.Ok = true;
  if (top) ShowPage(url, loaded, context, page.Text);
  return loaded;
}

void TPageLoader::FetchSubresource(const std::wstring& url, bool styleSheet, TLoadContext& context, int depth) {
  if (!IsFetchable(url) || !context.Fetched.insert(url).second) return;
  ++context.Resources;
  const TFetchResult fetch = FetchUrl(url, styleSheet ? kStyleSheetLimit : 0);
  // An error page in place of a resource is a failed resource.
  if (FAILED(fetch.Result) || fetch.Status >= 400) {
    ++context.Failed;
    return;
  }
  if (styleSheet && depth < kImportDepth) {
    const std::wstring css = DecodePageText(fetch.Body, CharsetOfContentType(fetch.ContentType), false);
    FetchStyleReferences(css, fetch.FinalUrl, context, depth + 1);
  }
}

void TPageLoader::FetchStyleReferences(std::wstring_view css, const std::wstring& base, TLoadContext& context,
                                       int depth) {
  for (const TCssReference& reference : ScanCss(css))
    FetchSubresource(ResolveUrl(base, reference.Url), reference.Import, context, depth);
}

void TPageLoader::ShowPage(const std::wstring& url, const TLoaded& loaded, const TLoadContext& context,
                           const std::wstring& text) {
  std::wstring shown = L"Address: " + (loaded.FinalUrl.empty() ? url : loaded.FinalUrl) + L"\r\n";
  if (!loaded.Ok) shown += L"This page cannot be displayed: " + FromUtf8(loaded.Error) + L"\r\n";
  shown += L"Title: " + loaded.Title + L"\r\n";
  if (loaded.Status) shown += L"HTTP status: " + std::to_wstring(loaded.Status) + L"\r\n";
  shown += std::to_wstring(context.Resources) + L" frames and resources, " + std::to_wstring(context.Failed) +
           L" failed\r\n\r\n" + text.substr(0, 4000);
  if (FView) FView->ShowPage(std::move(shown));
}

}  // namespace tarvik::host
