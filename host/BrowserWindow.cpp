#include "BrowserWindow.h"

#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <chrono>
#include <deque>
#include <set>
#include <utility>
#include <vector>

#include "HostBrowser.h"
#include "HostDocument.h"
#include "HtmlScanner.h"
#include "PageText.h"
#include "UrlFetcher.h"
#include "framework/Handles.h"
#include "framework/WindowMessages.h"

namespace tarvik::host {

namespace {

constexpr wchar_t kFrameClass[] = L"HostBrowserFrame";
constexpr wchar_t kBandAreaClass[] = L"HostBrowserBandArea";
constexpr wchar_t kPageClass[] = L"HostBrowserPage";
constexpr wchar_t kHelpersKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr wchar_t kToolbarsKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kShownBarsKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar\\WebBrowser";
constexpr size_t kDocumentLimit = 32u << 20;   // bytes of a page kept for scanning
constexpr size_t kStyleSheetLimit = 4u << 20;  // bytes of a style sheet kept for scanning
constexpr int kFrameDepth = 4;                 // frames within frames
constexpr int kImportDepth = 8;                // style sheets importing style sheets

std::vector<std::wstring> SubkeyNames(HKEY root, const wchar_t* path) {
  std::vector<std::wstring> names;
  UniqueHKey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return names;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = 256;
    if (::RegEnumKeyExW(key.Get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  return names;
}

// Value names of a key with their DWORD data (1 for data of other types).
std::vector<std::pair<std::wstring, DWORD>> ValueNames(HKEY root, const wchar_t* path) {
  std::vector<std::pair<std::wstring, DWORD>> values;
  UniqueHKey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return values;
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = 256, type = 0, data = 0, dataSize = sizeof(data);
    const LONG rc = ::RegEnumValueW(key.Get(), i, name, &size, nullptr, &type, reinterpret_cast<BYTE*>(&data), &dataSize);
    if (rc == ERROR_MORE_DATA) data = 1;
    else if (rc != ERROR_SUCCESS) break;
    values.emplace_back(std::wstring(name, size), type == REG_DWORD ? data : 1);
  }
  return values;
}

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

// Everything that lives on the window's thread: its windows, its COM objects
// and its navigations.
class TBrowserWindow::TWindowThread final : public TBrowserCommands {
 public:
  explicit TWindowThread(TBrowserWindow& owner) : FOwner(owner) {}
  ~TWindowThread() { Shutdown(); }

  std::string Open();
  HRESULT ShowBrowserBar(const CLSID& band, bool show) override;
  void NavigateLater(const std::wstring& url) override;

  static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND Frame() const noexcept { return FFrame; }
  HWND BandArea() const noexcept { return FBandArea; }
  IWebBrowser2* Browser() const noexcept { return FBrowser.Get(); }

 private:
  static void RegisterClasses();
  struct TBand {
    CLSID Clsid;
    ComPtr<IObjectWithSite> Object;
    ComPtr<IDeskBand> DeskBand;
    int Height;
  };
  struct TLoadContext {
    std::set<std::wstring> Fetched;
    std::vector<std::pair<ComPtr<THostWebBrowser>, std::wstring>> CompletedFrames;  // inner frames first
    unsigned Resources = 0;
    unsigned Failed = 0;
  };
  struct TLoaded {
    bool Ok = false;
    std::wstring FinalUrl;
    std::wstring Title;
    long Status = 0;
    std::string Error;
  };

  void LoadAddons();
  void Layout();
  void Shutdown();
  void DoNavigate(const std::wstring& url);
  void NavigateNow(const std::wstring& url);
  TLoaded LoadDocument(THostWebBrowser& browser, const std::wstring& url, TLoadContext& context, int depth);
  void FetchSubresource(const std::wstring& url, bool styleSheet, TLoadContext& context, int depth);
  void FetchStyleReferences(std::wstring_view css, const std::wstring& base, TLoadContext& context, int depth);
  void ShowPage(const std::wstring& url, const TLoaded& loaded, const TLoadContext& context, const std::wstring& text);

  TBrowserWindow& FOwner;
  HWND FFrame = nullptr;
  HWND FBandArea = nullptr;
  HWND FPage = nullptr;
  ComPtr<THostWebBrowser> FBrowser;
  std::vector<TBand> FBands;
  std::vector<ComPtr<IObjectWithSite>> FHelpers;
  std::vector<ComPtr<THostWebBrowser>> FFrames;
  bool FNavigating = false;
  bool FClosed = false;
  std::deque<std::wstring> FPending;
  unsigned FSerial = 0;
  std::wstring FPageText;
};

void TBrowserWindow::TWindowThread::RegisterClasses() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    WNDCLASSEXW frame = {sizeof(frame)};
    frame.lpfnWndProc = FrameProc;
    frame.hInstance = ::GetModuleHandleW(nullptr);
    frame.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    frame.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    frame.lpszClassName = kFrameClass;
    ::RegisterClassExW(&frame);
    WNDCLASSEXW area = frame;
    area.lpfnWndProc = ::DefWindowProcW;
    area.lpszClassName = kBandAreaClass;
    ::RegisterClassExW(&area);
    WNDCLASSEXW page = frame;
    page.lpfnWndProc = PageProc;
    page.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    page.lpszClassName = kPageClass;
    ::RegisterClassExW(&page);
  });
}

std::string TBrowserWindow::TWindowThread::Open() {
  RegisterClasses();
  const int offset = 30 * ((FOwner.FOptions.Index - 1) % 8);
  FFrame = ::CreateWindowExW(0, kFrameClass, L"Web Browser", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 20 + offset,
                             20 + offset, 820, 600, nullptr, nullptr, ::GetModuleHandleW(nullptr), this);
  if (!FFrame) return "cannot create the browser window (error " + std::to_string(::GetLastError()) + ")";
  FBandArea = ::CreateWindowExW(0, kBandAreaClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0, FFrame,
                                nullptr, ::GetModuleHandleW(nullptr), nullptr);
  FPage = ::CreateWindowExW(WS_EX_CLIENTEDGE, kPageClass, L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, FFrame, nullptr,
                            ::GetModuleHandleW(nullptr), this);
  if (!FBandArea || !FPage) return "cannot create the parts of the browser window";
  FBrowser = THostWebBrowser::Create(this, FFrame);
  ::ShowWindow(FFrame, SW_SHOWNORMAL);
  Layout();
  if (FOwner.FOptions.LoadAddons) LoadAddons();
  ::UpdateWindow(FFrame);
  return {};
}

void TBrowserWindow::TWindowThread::LoadAddons() {
  // Bands the user had shown, and toolbars installed for every user unless hidden.
  std::vector<std::pair<std::wstring, DWORD>> shown = ValueNames(HKEY_CURRENT_USER, kShownBarsKey);
  for (const auto& [name, data] : ValueNames(HKEY_LOCAL_MACHINE, kToolbarsKey)) {
    bool known = false;
    for (const auto& entry : shown) known = known || ::lstrcmpiW(entry.first.c_str(), name.c_str()) == 0;
    if (!known) shown.emplace_back(name, 1);
  }
  for (const auto& [name, data] : shown) {
    CLSID band;
    if (data != 0 && SUCCEEDED(::CLSIDFromString(name.c_str(), &band))) ShowBrowserBar(band, true);
  }
  for (const std::wstring& name : SubkeyNames(HKEY_LOCAL_MACHINE, kHelpersKey)) {
    CLSID clsid;
    if (FAILED(::CLSIDFromString(name.c_str(), &clsid))) continue;
    ComPtr<IObjectWithSite> helper;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, helper.PutVoid())))
      continue;
    FHelpers.push_back(helper);
    helper->SetSite(static_cast<IWebBrowser2*>(FBrowser.Get()));
  }
  FOwner.FHelperCount = static_cast<int>(FHelpers.size());
}

HRESULT TBrowserWindow::TWindowThread::ShowBrowserBar(const CLSID& clsid, bool show) {
  if (FClosed) return E_UNEXPECTED;
  auto found = FBands.begin();
  while (found != FBands.end() && !IsEqualCLSID(found->Clsid, clsid)) ++found;
  UniqueHKey remembered;
  ::RegCreateKeyExW(HKEY_CURRENT_USER, kShownBarsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, remembered.Put(), nullptr);
  wchar_t name[40] = {};
  ::StringFromGUID2(clsid, name, 40);
  const DWORD shownValue = show ? 1 : 0;
  if (!show) {
    if (found != FBands.end()) {
      TBand band = std::move(*found);
      FBands.erase(found);
      band.DeskBand->ShowDW(FALSE);
      band.DeskBand->CloseDW(0);
      band.Object->SetSite(nullptr);
    }
  } else if (found != FBands.end()) {
    found->DeskBand->ShowDW(TRUE);
  } else {
    TBand band{clsid, nullptr, nullptr, 0};
    HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, band.Object.PutVoid());
    if (FAILED(hr)) return hr;
    if (FAILED(hr = band.Object.As(band.DeskBand))) return hr;
    ComPtr<TBandSite> site = TBandSite::Create(FBrowser.Get(), FBandArea);
    if (FAILED(hr = band.Object->SetSite(static_cast<IOleWindow*>(site.Get())))) return hr;
    DESKBANDINFO info = {};
    info.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE | DBIM_MODEFLAGS | DBIM_BKCOLOR;
    info.ptMaxSize = {-1, -1};
    band.Height = 26;
    if (SUCCEEDED(band.DeskBand->GetBandInfo(static_cast<DWORD>(FBands.size()), DBIF_VIEWMODE_NORMAL, &info)) &&
        info.ptMinSize.y > 0)
      band.Height = info.ptMinSize.y;
    band.DeskBand->ShowDW(TRUE);
    FBands.push_back(std::move(band));
  }
  if (remembered) ::RegSetValueExW(remembered.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&shownValue), sizeof(shownValue));
  FOwner.FBandCount = static_cast<int>(FBands.size());
  Layout();
  return S_OK;
}

void TBrowserWindow::TWindowThread::NavigateLater(const std::wstring& url) {
  auto* message = new std::wstring(url);
  if (!::PostMessageW(FFrame, WM_HOST_NAVIGATE, 0, reinterpret_cast<LPARAM>(message))) delete message;
}

void TBrowserWindow::TWindowThread::Layout() {
  if (!FFrame) return;
  RECT client;
  ::GetClientRect(FFrame, &client);
  const int width = client.right - client.left;
  int y = 0;
  for (const TBand& band : FBands) {
    HWND bandWindow = nullptr;
    if (SUCCEEDED(band.DeskBand->GetWindow(&bandWindow)) && bandWindow)
      ::SetWindowPos(bandWindow, nullptr, 0, y, width, band.Height, SWP_NOZORDER | SWP_NOACTIVATE);
    y += band.Height;
  }
  ::MoveWindow(FBandArea, 0, 0, width, y, TRUE);
  ::MoveWindow(FPage, 0, y, width, std::max(0L, client.bottom - y), TRUE);
}

void TBrowserWindow::TWindowThread::Shutdown() {
  if (FClosed) return;
  FClosed = true;
  // As the browser closes a window: bands closed and unsited, helpers unsited, all released.
  for (auto band = FBands.rbegin(); band != FBands.rend(); ++band) {
    band->DeskBand->CloseDW(0);
    band->Object->SetSite(nullptr);
  }
  FBands.clear();
  FOwner.FBandCount = 0;
  for (const ComPtr<IObjectWithSite>& helper : FHelpers) helper->SetSite(nullptr);
  FHelpers.clear();
  if (FBrowser) {
    FBrowser->Detach();
    FBrowser->SetDocument(nullptr);
  }
  FFrames.clear();
  FBrowser.Reset();
  if (FFrame && ::IsWindow(FFrame)) ::DestroyWindow(FFrame);
}

void TBrowserWindow::TWindowThread::DoNavigate(const std::wstring& url) {
  // A navigation asked for while one runs waits for it.
  FPending.push_back(url);
  if (FNavigating) return;
  FNavigating = true;
  while (!FPending.empty() && !FClosed) {
    const std::wstring next = FPending.front();
    FPending.pop_front();
    NavigateNow(next);
  }
  FNavigating = false;
}

void TBrowserWindow::TWindowThread::NavigateNow(const std::wstring& url) {
  const auto start = std::chrono::steady_clock::now();
  TNavigationResult result;
  standin::TEventSinks& events = FBrowser->Events();
  bool cancel = false;
  events.BeforeNavigate2(FBrowser->Window(), url, L"", cancel);
  TLoadContext context;
  TLoaded top;
  if (cancel) {
    top.Error = "an add-on cancelled the navigation";
  } else {
    FBrowser->SetBusy(true);
    events.DownloadBegin();
    FFrames.clear();
    top = LoadDocument(*FBrowser, url, context, 0);
    events.DownloadComplete();
    FBrowser->SetBusy(false);
    if (top.Ok) {
      for (const auto& [frame, frameUrl] : context.CompletedFrames) events.DocumentComplete(frame->Window(), frameUrl);
      events.DocumentComplete(FBrowser->Window(), top.FinalUrl);
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
  result.Serial = ++FSerial;
  FOwner.Publish(result);
}

TBrowserWindow::TWindowThread::TLoaded TBrowserWindow::TWindowThread::LoadDocument(THostWebBrowser& browser,
                                                                                  const std::wstring& url,
                                                                                  TLoadContext& context, int depth) {
  TLoaded loaded;
  const bool top = &browser == FBrowser.Get();
  TFetchResult fetch = FetchUrl(url, kDocumentLimit);
  context.Fetched.insert(url);
  loaded.Status = fetch.Status;
  loaded.FinalUrl = fetch.FinalUrl;
  if (FAILED(fetch.Result)) {
    loaded.Error = DescribeFetchError(fetch.Result);
    if (fetch.Status >= 400) loaded.Error += ", HTTP " + std::to_string(fetch.Status);
    FBrowser->Events().NavigateError(browser.Window(), url, L"", fetch.Status ? fetch.Status : fetch.Result);
    if (top) ShowPage(url, loaded, context, L"");
    return loaded;
  }
  context.Fetched.insert(fetch.FinalUrl);
  THtmlPage page;
  const bool html = IsHtml(fetch);
  ComPtr<THostDocument> document;
  if (html) {
    page = ScanHtmlPage(DecodePageText(fetch.Body, CharsetOfContentType(fetch.ContentType), true));
    document = THostDocument::Create(page, fetch.FinalUrl);
    browser.SetDocument(static_cast<IHTMLDocument2*>(document.Get()));
  } else {
    browser.SetDocument(ComPtr<IDispatch>(standin::TPlainDocument::Create()).Get());
  }
  loaded.Title = page.Title;
  browser.SetLocation(fetch.FinalUrl, page.Title);
  FBrowser->Events().NavigateComplete2(browser.Window(), fetch.FinalUrl);
  if (top) {
    const std::wstring caption = (page.Title.empty() ? fetch.FinalUrl : page.Title) + L" - Web Browser";
    ::SetWindowTextW(FFrame, caption.c_str());
    FBrowser->Events().TitleChange(page.Title.empty() ? fetch.FinalUrl : page.Title);
  }
  if (html) {
    const std::wstring& base = document->BaseUrl();
    for (const std::wstring& src : page.Frames) {
      if (depth + 1 > kFrameDepth) break;
      const std::wstring frameUrl = ResolveUrl(base, src);
      ComPtr<THostWebBrowser> frame = THostWebBrowser::Create(nullptr, FFrame);
      FFrames.push_back(frame);
      ++context.Resources;
      bool cancel = false;
      FBrowser->Events().BeforeNavigate2(frame->Window(), frameUrl, L"", cancel);
      if (cancel) continue;
      FBrowser->Events().DownloadBegin();
      const TLoaded inner = LoadDocument(*frame, frameUrl, context, depth + 1);
      FBrowser->Events().DownloadComplete();
      if (inner.Ok) context.CompletedFrames.emplace_back(frame, inner.FinalUrl);
      else ++context.Failed;
    }
    for (const THtmlResourceRef& resource : page.Resources)
      FetchSubresource(ResolveUrl(base, resource.Url), resource.Kind == THtmlResourceRef::TKind::StyleSheet, context, 0);
    for (const std::wstring& style : page.InlineStyles) FetchStyleReferences(style, base, context, 0);
  }
  loaded.Ok = true;
  if (top) ShowPage(url, loaded, context, page.Text);
  return loaded;
}

void TBrowserWindow::TWindowThread::FetchSubresource(const std::wstring& url, bool styleSheet, TLoadContext& context,
                                                     int depth) {
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

void TBrowserWindow::TWindowThread::FetchStyleReferences(std::wstring_view css, const std::wstring& base,
                                                         TLoadContext& context, int depth) {
  for (const TCssReference& reference : ScanCss(css))
    FetchSubresource(ResolveUrl(base, reference.Url), reference.Import, context, depth);
}

void TBrowserWindow::TWindowThread::ShowPage(const std::wstring& url, const TLoaded& loaded,
                                             const TLoadContext& context, const std::wstring& text) {
  std::wstring shown = L"Address: " + (loaded.FinalUrl.empty() ? url : loaded.FinalUrl) + L"\r\n";
  if (!loaded.Ok) shown += L"This page cannot be displayed: " + FromUtf8(loaded.Error) + L"\r\n";
  shown += L"Title: " + loaded.Title + L"\r\n";
  if (loaded.Status) shown += L"HTTP status: " + std::to_wstring(loaded.Status) + L"\r\n";
  shown += std::to_wstring(context.Resources) + L" frames and resources, " + std::to_wstring(context.Failed) +
           L" failed\r\n\r\n" + text.substr(0, 4000);
  FPageText = std::move(shown);
  ::InvalidateRect(FPage, nullptr, TRUE);
}

LRESULT CALLBACK TBrowserWindow::TWindowThread::FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<TWindowThread*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return ::DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_SIZE:
      self->Layout();
      return 0;
    case WM_CLOSE:
      self->Shutdown();
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_HOST_NAVIGATE: {
      std::unique_ptr<std::wstring> url(reinterpret_cast<std::wstring*>(lParam));
      if (!self->FClosed) self->DoNavigate(*url);
      return 0;
    }
    case WM_HOST_RUN:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return 0;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

LRESULT CALLBACK TBrowserWindow::TWindowThread::PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<TWindowThread*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message != WM_PAINT || !self) return ::DefWindowProcW(window, message, wParam, lParam);
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(window, &paint);
  RECT area;
  ::GetClientRect(window, &area);
  ::InflateRect(&area, -8, -8);
  ::SetBkMode(dc, TRANSPARENT);
  HGDIOBJ oldFont = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
  ::DrawTextW(dc, self->FPageText.c_str(), static_cast<int>(self->FPageText.size()), &area,
              DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
  ::SelectObject(dc, oldFont);
  ::EndPaint(window, &paint);
  return 0;
}

TBrowserWindow::TBrowserWindow(TWindowOptions options) : FOptions(options) {
  FThread = std::thread([this] { ThreadMain(); });
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [this] { return FStarted; });
}

TBrowserWindow::~TBrowserWindow() { Close(INFINITE); }

void TBrowserWindow::ThreadMain() {
  ScopedComInit com(COINIT_APARTMENTTHREADED);
  {
    TWindowThread inner(*this);
    std::string error = FAILED(com.Result()) ? "cannot enter a COM apartment" : inner.Open();
    {
      std::lock_guard lock(FLock);
      FStarted = true;
      FStartError = error;
      FThreadId = ::GetCurrentThreadId();
      if (error.empty()) {
        FFrame = inner.Frame();
        FBandArea = inner.BandArea();
        FInner = &inner;
      }
    }
    FChanged.notify_all();
    if (error.empty()) {
      MSG message;
      while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
    }
    std::lock_guard lock(FLock);
    FInner = nullptr;
  }
  {
    std::lock_guard lock(FLock);
    FEnded = true;
  }
  FChanged.notify_all();
}

void TBrowserWindow::Publish(const TNavigationResult& result) {
  {
    std::lock_guard lock(FLock);
    FLast = result;
  }
  FChanged.notify_all();
}

void TBrowserWindow::Navigate(const std::wstring& url) {
  if (!FFrame) return;
  auto* message = new std::wstring(url);
  if (!::PostMessageW(FFrame, WM_HOST_NAVIGATE, 0, reinterpret_cast<LPARAM>(message))) delete message;
}

bool TBrowserWindow::WaitNavigations(unsigned count, DWORD timeoutMs, TNavigationResult& last) {
  std::unique_lock lock(FLock);
  const bool done = FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FLast.Serial >= count; });
  last = FLast;
  return done;
}

void TBrowserWindow::Run(const std::function<void()>& action) {
  if (::GetCurrentThreadId() == FThreadId) {
    action();
    return;
  }
  if (FFrame) ::SendMessageW(FFrame, WM_HOST_RUN, 0, reinterpret_cast<LPARAM>(&action));
}

bool TBrowserWindow::WaitIdle(DWORD timeoutMs) {
  if (!FFrame || ::GetCurrentThreadId() == FThreadId) return true;
  // A sent message is handled only where the thread takes its messages again.
  DWORD_PTR answer = 0;
  return ::SendMessageTimeoutW(FFrame, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &answer) != 0;
}

IWebBrowser2* TBrowserWindow::Browser() const noexcept { return FInner ? FInner->Browser() : nullptr; }

void TBrowserWindow::WaitClosed() {
  if (FThread.joinable()) FThread.join();
  FFrame = nullptr;
}

bool TBrowserWindow::Close(DWORD timeoutMs) {
  if (FFrame && ::IsWindow(FFrame)) ::PostMessageW(FFrame, WM_CLOSE, 0, 0);
  if (!FThread.joinable()) return true;
  {
    std::unique_lock lock(FLock);
    if (!FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FEnded; })) return false;
  }
  FThread.join();
  FFrame = nullptr;
  return true;
}

}  // namespace tarvik::host
