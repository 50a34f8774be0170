#pragma once
// The browser event monitor: the DWebBrowserEvents2 sink of one browser
// window. It turns navigation starts (http and https), navigation ends and
// the in-page targets of completed documents into timeline items.
#include <windows.h>
#include <exdisp.h>
#include <oaidl.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"

namespace tarvik {

class TTarvikBrowserMoniter final : public TInterfacedImpl<IDispatch> {
 public:
  // browser: the window's top-level browser; may be empty.
  static ComPtr<TTarvikBrowserMoniter> Create(IWebBrowser2* browser) {
    return TInterfacedObject::Create<TTarvikBrowserMoniter>(browser);
  }

  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
    return E_NOTIMPL;
  }
  // Monitors alive now: the library stays loaded while any is.
  static LONG LiveCount() noexcept { return FLive.load(std::memory_order_acquire); }

  // The event dispatcher: reads only the DISPID and the parameters.
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

 private:
  friend class TInterfacedObject;
  explicit TTarvikBrowserMoniter(IWebBrowser2* browser) : FBrowser(browser) { FLive.fetch_add(1); }
  ~TTarvikBrowserMoniter() override { FLive.fetch_sub(1); }

  // pDisp and the URL of a navigation event, traced under the event's name.
  struct TNavigation {
    ComPtr<IDispatch> Window;
    std::string Url;
    bool TopLevel;
  };
  TNavigation TakeNavigation(const DISPPARAMS* params, UINT declared, const char* eventName) const;
  static void InformNavigation(const TNavigation& navigation, uint8_t event);

  HRESULT BeforeNavigate2(const DISPPARAMS* params);
  HRESULT NavigateComplete2(const DISPPARAMS* params);
  HRESULT DocumentComplete(const DISPPARAMS* params);
  // Whether window is the top-level browser, by COM identity.
  bool IsTopLevel(IDispatch* window) const noexcept;
  // Whether the top-level browser currently shows an HTML document.
  bool ShowsHtmlDocument() const noexcept;

  ComPtr<IWebBrowser2> FBrowser;
  static inline std::atomic<LONG> FLive{0};
};

}  // namespace tarvik
