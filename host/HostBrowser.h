#pragma once
// The browser object of one window or frame (IWebBrowser2: enough of it for
// add-ons and script), its event connection point, and the site this host
// gives its bands.
#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <oleidl.h>
#include <servprov.h>

#include <string>

#include "BrowserEvents.h"
#include "BrowserObject.h"
#include "SiteObject.h"
#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"

namespace tarvik::host {

// What a browser object asks of the window that shows it; it lives on the
// window's thread and is dropped (Detach) before the window goes.
class TBrowserCommands {
 public:
  virtual HRESULT ShowBrowserBar(const CLSID& band, bool show) = 0;
  // Navigations start from the window's message loop, never inside a call.
  virtual void NavigateLater(const std::wstring& url) = 0;

 protected:
  ~TBrowserCommands() = default;
};

class THostWebBrowser final : public standin::TBrowserObject<IServiceProvider> {
 public:
  // commands: the window's, for a top-level browser; nullptr for a frame.
  static ComPtr<THostWebBrowser> Create(TBrowserCommands* commands, HWND window);

  // A frame of the page shown here: a browser object of its own, in the same window.
  ComPtr<THostWebBrowser> CreateFrame() { return Create(nullptr, FWindow); }
  standin::TEventSinks& Events() noexcept { return FEvents; }
  void Detach() noexcept { FCommands = nullptr; }

  void SetDocument(IDispatch* document) { FDocument = document; }
  void SetLocation(std::wstring url, std::wstring name) {
    FLocationUrl = std::move(url);
    FLocationName = std::move(name);
  }
  void SetBusy(bool busy) noexcept { FBusy = busy; }

  // IWebBrowser2
  STDMETHODIMP get_Document(IDispatch** ppDisp) override { return FDocument.CopyTo(ppDisp); }
  STDMETHODIMP get_LocationURL(BSTR* LocationURL) override;
  STDMETHODIMP get_LocationName(BSTR* LocationName) override;
  STDMETHODIMP get_Busy(VARIANT_BOOL* pBool) override;
  STDMETHODIMP get_ReadyState(READYSTATE* plReadyState) override;
  STDMETHODIMP get_HWND(SHANDLE_PTR* pHWND) override;
  STDMETHODIMP get_TopLevelContainer(VARIANT_BOOL* pBool) override;
  STDMETHODIMP get_Type(BSTR* Type) override;
  STDMETHODIMP Navigate(BSTR URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData,
                        VARIANT* Headers) override;
  STDMETHODIMP Navigate2(VARIANT* URL, VARIANT* Flags, VARIANT* TargetFrameName, VARIANT* PostData,
                         VARIANT* Headers) override;
  STDMETHODIMP ShowBrowserBar(VARIANT* pvaClsid, VARIANT* pvarShow, VARIANT* pvarSize) override;
  // IConnectionPointContainer
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override {
    return FEventsPoint.Find(riid, ppCP);
  }
  // IServiceProvider: SID_SWebBrowserApp and SID_SInternetExplorer lead to this browser.
  STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override;

 private:
  friend class TInterfacedObject;
  THostWebBrowser(TBrowserCommands* commands, HWND window) : FCommands(commands), FWindow(window) {}

  TBrowserCommands* FCommands;
  HWND FWindow;
  ComPtr<IDispatch> FDocument;
  std::wstring FLocationUrl, FLocationName;
  bool FBusy = false;
  standin::TEventSinks FEvents;
  standin::TEventsConnectionPoint FEventsPoint{this, FEvents};
};

// The site of a band: the band area of the browser window (IOleWindow) and
// the way to the browser (IServiceProvider).
class TBandSite final : public standin::TSiteObject {
 public:
  static ComPtr<TBandSite> Create(IServiceProvider* browser, HWND bandArea);
  STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppv) override;

 private:
  friend class TInterfacedObject;
  TBandSite(IServiceProvider* browser, HWND bandArea) : TSiteObject(bandArea), FBrowser(browser) {}
  ComPtr<IServiceProvider> FBrowser;
};

}  // namespace tarvik::host
