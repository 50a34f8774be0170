#pragma once
// One browser window: a real top-level window on a user-interface thread of
// its own (an STA), with the band area at the top and the page below, the
// window's browser object, its add-ons (AddonLoader: helper objects found in
// the registry, bands shown through ShowBrowserBar) and its navigations
// (PageLoader: in the browser's order with every fetch through the URL
// moniker library), all on the window's thread.
#include <windows.h>
#include <exdisp.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "PageLoader.h"

namespace tarvik::host {

struct TWindowOptions {
  bool LoadAddons = true;
  int Index = 1;  // numbers the window in its caption and places it on the screen
};

class TBrowserWindow {
 public:
  // Starts the window's thread and returns when the window and its add-ons are up.
  explicit TBrowserWindow(TWindowOptions options);
  ~TBrowserWindow();
  TBrowserWindow(const TBrowserWindow&) = delete;
  TBrowserWindow& operator=(const TBrowserWindow&) = delete;

  bool Ready() const noexcept { return FFrame != nullptr; }
  const std::string& StartError() const noexcept { return FStartError; }
  HWND Frame() const noexcept { return FFrame; }
  HWND BandArea() const noexcept { return FBandArea; }
  DWORD ThreadId() const noexcept { return FThreadId; }
  int HelperCount() const noexcept { return FHelperCount; }
  int BandCount() const noexcept { return FBandCount; }

  // The window's browser object: for use on the window's thread (inside Run) only.
  IWebBrowser2* Browser() const noexcept;
  // From any thread: starts a navigation of the window (returns at once).
  void Navigate(const std::wstring& url);
  // Waits until the window has ended `count` navigations; false on timeout.
  bool WaitNavigations(unsigned count, DWORD timeoutMs, TNavigationResult& last);
  // Runs action on the window's thread and waits for it.
  void Run(const std::function<void()>& action);
  // Waits until the window's thread is back in its message loop, done with
  // whatever it was doing; false when it is not within timeoutMs.
  bool WaitIdle(DWORD timeoutMs);
  // Closes the window as the user does (add-ons unsited and released) and
  // ends its thread; false when the thread did not end in time (it is then
  // left running, and the process must end without destroying this object).
  bool Close(DWORD timeoutMs = 30000);
  // Waits until the user has closed the window.
  void WaitClosed();

 private:
  class TWindowThread;
  friend class TWindowThread;
  void ThreadMain();
  void Publish(const TNavigationResult& result);

  TWindowOptions FOptions;
  std::thread FThread;
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FStarted = false;
  bool FEnded = false;
  TNavigationResult FLast;
  std::string FStartError;
  HWND FFrame = nullptr;
  HWND FBandArea = nullptr;
  DWORD FThreadId = 0;
  int FHelperCount = 0;
  std::atomic<int> FBandCount{0};
  TWindowThread* FInner = nullptr;  // lives on the window's thread
};

}  // namespace tarvik::host
