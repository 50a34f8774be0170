#include "browser/CoTarvikBrowserHelper.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include "browser/CoTarvikBrowserMoniter.h"
#include "browser/TarvikClassIds.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/ComBoundary.h"
#include "framework/GuidText.h"
#include "framework/Handles.h"
#include "framework/IniFile.h"

namespace tarvik {

namespace {

ComPtr<IConnectionPoint> BrowserEventsPoint(IWebBrowser2* browser) noexcept {
  ComPtr<IConnectionPointContainer> container;
  if (!browser || FAILED(browser->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) || !container)
    return nullptr;
  ComPtr<IConnectionPoint> point;
  if (FAILED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, point.Put()))) return nullptr;
  return point;
}

}  // namespace

TTarvikBrowserHelper::~TTarvikBrowserHelper() {
  // A browser that drops the object without unsiting it would otherwise keep
  // the monitor (and, through it, itself) alive for good.
  Detach();
}

STDMETHODIMP TTarvikBrowserHelper::SetSite(IUnknown* pUnkSite) {
  return ComBoundary(AnyException(E_FAIL), [&] {
    if (!pUnkSite) {
      Detach();
      return S_OK;
    }
    return Attach(pUnkSite);
  });
}

STDMETHODIMP TTarvikBrowserHelper::GetSite(REFIID riid, void** ppvSite) {
  if (ppvSite) *ppvSite = nullptr;
  if (!FSite) return E_UNEXPECTED;
  if (!ppvSite) return E_POINTER;
  return FSite->QueryInterface(riid, ppvSite);
}

HRESULT TTarvikBrowserHelper::Attach(IUnknown* site) {
  // A new site without SetSite(nil) in between: leave the old window first,
  // or its connection point would keep the old monitor for good.
  Detach();
  FSite = site;

  HRESULT result = E_FAIL;
  ComPtr<IServiceProvider> provider;
  if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, provider.PutVoid())) && provider)
    result = provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, FBrowser.PutVoid());
  if (FAILED(result) || !FBrowser) {
    FBrowser = nullptr;
    return E_FAIL;
  }

  ShowToolbarOnFirstRun();
  FEventSink = TTarvikBrowserMoniter::Create(FBrowser.Get());
  Connect();
  return result;
}

void TTarvikBrowserHelper::Detach() noexcept {
  Disconnect();
  FEventSink = nullptr;
  FBrowser = nullptr;
  FSite = nullptr;
}

void TTarvikBrowserHelper::ShowToolbarOnFirstRun() noexcept {
  // Any failure here is ignored: nothing is written, so the next window tries again.
  NoThrow([&] {
    ITarvikSettings* settings = TarvikSettings.Get();
    if (!settings) return;
    TIniFile* ini = settings->IniFile();
    if (!ini || ini->ValueExists("OOBE", "ToolbarShowed")) return;

    UniqueVariant clsid, show, size;
    V_VT(&clsid.Get()) = VT_BSTR;
    V_BSTR(&clsid.Get()) = ::SysAllocString(WideGuidText(CLSID_TarvikToolbar).c_str());
    if (!V_BSTR(&clsid.Get())) return;
    V_VT(&show.Get()) = VT_BOOL;
    V_BOOL(&show.Get()) = VARIANT_TRUE;
    // The band is shown (and its form sees the key missing) before the key is written.
    if (SUCCEEDED(FBrowser->ShowBrowserBar(&clsid.Get(), &show.Get(), &size.Get())))
      ini->WriteString("OOBE", "ToolbarShowed", "Yes");
  });
}

void TTarvikBrowserHelper::Connect() {
  FCookie = 0;
  const ComPtr<IConnectionPoint> point = BrowserEventsPoint(FBrowser.Get());
  if (!point) return;  // the monitor stays unconnected; SetSite still succeeds
  DWORD cookie = 0;
  // A refused Advise leaves the cookie at 0, so nothing is unadvised later.
  if (SUCCEEDED(point->Advise(FEventSink.Get(), &cookie))) FCookie = cookie;
}

void TTarvikBrowserHelper::Disconnect() noexcept {
  if (FCookie == 0 || !FBrowser) return;
  const ComPtr<IConnectionPoint> point = BrowserEventsPoint(FBrowser.Get());
  if (point && SUCCEEDED(point->Unadvise(FCookie))) FCookie = 0;
}

}  // namespace tarvik
