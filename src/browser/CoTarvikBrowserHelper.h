#pragma once
// The browser helper object: one per browser window. It attaches the
// window's event monitor to the browser's DWebBrowserEvents2 connection
// point and, on the first run, makes the browser show the toolbar band.
#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>

#include "framework/ComObject.h"
#include "framework/ComPtr.h"

namespace tarvik {

class TTarvikBrowserHelper final : public TComObject<TTarvikBrowserHelper, IObjectWithSite> {
 public:
  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
  STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;

 private:
  friend class TComObject<TTarvikBrowserHelper, IObjectWithSite>;
  TTarvikBrowserHelper() = default;
  ~TTarvikBrowserHelper() override;

  HRESULT Attach(IUnknown* site);
  void Detach() noexcept;
  void ShowToolbarOnFirstRun() noexcept;
  void Connect();
  void Disconnect() noexcept;

  ComPtr<IUnknown> FSite;
  ComPtr<IWebBrowser2> FBrowser;
  ComPtr<IDispatch> FEventSink;
  DWORD FCookie = 0;
};

}  // namespace tarvik
