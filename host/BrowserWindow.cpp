#include "BrowserWindow.h"

#include <chrono>
#include <deque>
#include <optional>
#include <utility>

#include "AddonLoader.h"
#include "HostBrowser.h"
#include "PageLoader.h"
#include "framework/Handles.h"
#include "framework/WindowMessages.h"

namespace tarvik::host {

namespace {

constexpr wchar_t kFrameClass[] = L"HostBrowserFrame";
constexpr wchar_t kBandAreaClass[] = L"HostBrowserBandArea";
constexpr wchar_t kPageClass[] = L"HostBrowserPage";

}  // namespace

// Everything that lives on the window's thread: its windows, its COM objects,
// its add-ons and its navigations.
class TBrowserWindow::TWindowThread final : public TBrowserCommands, public TPageView {
 public:
  explicit TWindowThread(TBrowserWindow& owner) : FOwner(owner) {}
  ~TWindowThread() { Shutdown(); }

  std::string Open();
  HRESULT ShowBrowserBar(const CLSID& clsid, bool show) override;
  void NavigateLater(const std::wstring& url) override;
  void ShowTitle(const std::wstring& title) override;
  void ShowPage(std::wstring text) override;

  static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND Frame() const noexcept { return FFrame; }
  HWND BandArea() const noexcept { return FBandArea; }
  IWebBrowser2* Browser() const noexcept { return FBrowser.Get(); }

 private:
  static void RegisterClasses();

  void LoadAddons();
  void Layout();
  void Shutdown();
  void DoNavigate(const std::wstring& url);
  void NavigateNow(const std::wstring& url);

  TBrowserWindow& FOwner;
  HWND FFrame = nullptr;
  HWND FBandArea = nullptr;
  HWND FPage = nullptr;
  ComPtr<THostWebBrowser> FBrowser;
  // Both work on FBrowser; made with it.
  std::optional<TAddonLoader> FAddons;
  std::optional<TPageLoader> FLoader;
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
  FAddons.emplace(*FBrowser, FBandArea);
  FLoader.emplace(*FBrowser, this);
  ::ShowWindow(FFrame, SW_SHOWNORMAL);
  Layout();
  if (FOwner.FOptions.LoadAddons) LoadAddons();
  ::UpdateWindow(FFrame);
  return {};
}

void TBrowserWindow::TWindowThread::LoadAddons() {
  FAddons->Load(*this);
  FOwner.FHelperCount = FAddons->HelperCount();
}

HRESULT TBrowserWindow::TWindowThread::ShowBrowserBar(const CLSID& clsid, bool show) {
  if (FClosed) return E_UNEXPECTED;
  const HRESULT hr = FAddons->ShowBand(clsid, show);
  if (FAILED(hr)) return hr;
  FOwner.FBandCount = FAddons->BandCount();
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
  const int y = FAddons ? FAddons->PlaceBands(width) : 0;
  ::MoveWindow(FBandArea, 0, 0, width, y, TRUE);
  ::MoveWindow(FPage, 0, y, width, std::max(0L, client.bottom - y), TRUE);
}

void TBrowserWindow::TWindowThread::Shutdown() {
  if (FClosed) return;
  FClosed = true;
  // As the browser closes a window: bands closed and unsited, helpers unsited, all released.
  if (FAddons) FAddons->CloseBands();
  FOwner.FBandCount = 0;
  if (FAddons) FAddons->ReleaseHelpers();
  if (FBrowser) {
    FBrowser->Detach();
    FBrowser->SetDocument(nullptr);
  }
  if (FLoader) FLoader->ReleaseFrames();
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
  TNavigationResult result = FLoader->Navigate(url);
  result.Serial = ++FSerial;
  FOwner.Publish(result);
}

void TBrowserWindow::TWindowThread::ShowTitle(const std::wstring& title) {
  const std::wstring caption = title + L" - Web Browser";
  ::SetWindowTextW(FFrame, caption.c_str());
}

void TBrowserWindow::TWindowThread::ShowPage(std::wstring text) {
  FPageText = std::move(text);
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
  const bool done =
      FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FLast.Serial >= count; });
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
