#include "browser/CoTarvikToolbar.h"

#include <exdisp.h>
#include <servprov.h>
#include <shlguid.h>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include "browser/TarvikClassIds.h"
#include "framework/ComBoundary.h"
#include "framework/Handles.h"
#include "framework/WinText.h"
#include "ui/FormTarvikToolbar.h"

namespace tarvik {

namespace {

constexpr char kSiteSource[] = "CoToolbar.SetSite(pUnkSite<>nil)";
constexpr char kUnsiteSource[] = "CoToolbar.SetSite(pUnkSite=nil)";

struct TFormFactoryHolder {
  CriticalSection Lock;
  TTarvikToolbar::TFormFactory Factory;
};

TFormFactoryHolder& FormFactoryHolder() {
  static TFormFactoryHolder holder;
  return holder;
}

std::unique_ptr<TTarvikToolbarForm> MakeForm(HWND parent) {
  TTarvikToolbar::TFormFactory factory;
  {
    std::lock_guard lock(FormFactoryHolder().Lock);
    factory = FormFactoryHolder().Factory;
  }
  if (factory) return factory(parent);
  return std::make_unique<TTarvikToolbarForm>(parent);
}

}  // namespace

void TTarvikToolbar::SetFormFactory(TFormFactory factory) {
  std::lock_guard lock(FormFactoryHolder().Lock);
  FormFactoryHolder().Factory = std::move(factory);
}

TTarvikToolbar::TTarvikToolbar() { InitHotkeys(FHotkeys); }

TTarvikToolbar::~TTarvikToolbar() {
  // A browser that drops the band without closing or unsiting it must not
  // leave a form (in ToolbarForms, on its window) or an atom reference behind.
  const bool holdsKeys =
      std::any_of(FHotkeys.begin(), FHotkeys.end(), [](const THotkeyEntry& e) { return e.Atom != 0; });
  if (holdsKeys) UnRegisterTarvikHotkeys(FHotkeys);
  DestroyToolbarForm(FForm);
}

HRESULT TTarvikToolbar::InnerQueryInterface(REFIID riid, void** ppv) noexcept {
  if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IDockingWindow)) {
    *ppv = static_cast<IDeskBand*>(this);
    return S_OK;
  }
  if (IsEqualIID(riid, IID_IPersist)) {
    *ppv = static_cast<IPersistStream*>(this);
    return S_OK;
  }
  return TComObject::InnerQueryInterface(riid, ppv);
}

STDMETHODIMP TTarvikToolbar::SetSite(IUnknown* pUnkSite) {
  return ComBoundary(AnyException(E_FAIL, "CoToolbar.SetSite", "Outmost Exception occured!"),
                     [&] { return pUnkSite ? SiteWith(pUnkSite) : Unsite(); });
}

HRESULT TTarvikToolbar::SiteWith(IUnknown* site) {
  Log(kSiteSource, "Setting up site", 2000, 100);
  ComPtr<IOleWindow> siteWindow;
  if (FAILED(site->QueryInterface(IID_IOleWindow, siteWindow.PutVoid())) || !siteWindow) {
    Log(kSiteSource, "IOleWindow not Supported");
    Log(kSiteSource, "Exit with E_INVALIDARG");
    return E_INVALIDARG;
  }
  FSite = site;
  if (!FForm) CreateForm(siteWindow.Get());
  RegisterTarvikHotkeys(FHotkeys);

  ComPtr<IServiceProvider> provider;
  if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, provider.PutVoid())) && provider) {
    FForm->SetWebBrowser(nullptr);
    ComPtr<IWebBrowser2> browser;
    provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.PutVoid());
    FForm->SetWebBrowser(browser.Get());
  }
  Log(kSiteSource, "Site Setup.", 2000, 100);
  return S_OK;
}

void TTarvikToolbar::CreateForm(IOleWindow* siteWindow) {
  // A form that cannot be made is tried again a few times; without one the
  // band cannot work, and SetSite fails.
  for (int attempt = 0; attempt < FormCreationAttempts && !FForm; ++attempt) {
    NoThrow({"CoToolbar.SetSite", "Exception upon TTarvikToolbarForm.Create", 1000, 250}, [&] {
      HWND parent = nullptr;
      siteWindow->GetWindow(&parent);
      FForm = MakeForm(parent);
    });
  }
  if (!FForm) throw std::runtime_error("The toolbar form could not be created");
}

HRESULT TTarvikToolbar::Unsite() {
  Log(kUnsiteSource, "Cleaning SetSite", 2000, 100);
  UnRegisterTarvikHotkeys(FHotkeys);
  FSite = nullptr;
  Log(kUnsiteSource, "Cleaned", 2000, 100);
  return S_OK;
}

STDMETHODIMP TTarvikToolbar::GetSite(REFIID riid, void** ppvSite) {
  if (ppvSite) *ppvSite = nullptr;
  if (!FSite) return E_FAIL;
  if (!ppvSite) return E_POINTER;
  return FSite->QueryInterface(riid, ppvSite);
}

STDMETHODIMP TTarvikToolbar::GetWindow(HWND* phwnd) {
  if (!FForm) return E_FAIL;
  if (!phwnd) return E_POINTER;
  *phwnd = FForm->Handle();
  return S_OK;
}

STDMETHODIMP TTarvikToolbar::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP TTarvikToolbar::ShowDW(BOOL fShow) {
  return ComBoundary(AnyException(S_OK, "CoToolbar.ShowDW", "EXCEPTION!"), [&] {
    if (FForm) FForm->Show(fShow != FALSE);
  });
}

STDMETHODIMP TTarvikToolbar::CloseDW(DWORD) {
  ComBoundary(AnyException(S_OK, "CoToolbar.CloseDW", "EXCEPTION!"), [&] {
    if (FForm) FForm->Show(false);
  });
  DestroyToolbarForm(FForm);
  return S_OK;
}

STDMETHODIMP TTarvikToolbar::ResizeBorderDW(LPCRECT, IUnknown*, BOOL) { return E_NOTIMPL; }

STDMETHODIMP TTarvikToolbar::GetBandInfo(DWORD, DWORD, DESKBANDINFO* pdbi) {
  if (!pdbi) return E_INVALIDARG;
  if (!FForm) return E_FAIL;
  return ComBoundary(AnyException(E_FAIL, "CoToolbar.GetBandInfo", "EXCEPTION!"), [&] {
    pdbi->ptMinSize.x = FForm->Width();
    pdbi->ptMinSize.y = FForm->Height() + 2;
    const std::wstring title = AnsiToWide(FForm->Caption());
    const size_t length = std::min(title.size(), std::size(pdbi->wszTitle) - 1);
    title.copy(pdbi->wszTitle, length);
    pdbi->wszTitle[length] = L'\0';
  });
}

STDMETHODIMP TTarvikToolbar::GetClassID(CLSID* pClassID) {
  if (!pClassID) return E_POINTER;
  *pClassID = CLSID_TarvikToolbar;
  return S_OK;
}

STDMETHODIMP TTarvikToolbar::IsDirty() { return S_OK; }

STDMETHODIMP TTarvikToolbar::Load(IStream*) { return S_OK; }

STDMETHODIMP TTarvikToolbar::Save(IStream*, BOOL) { return S_OK; }

STDMETHODIMP TTarvikToolbar::GetSizeMax(ULARGE_INTEGER*) { return E_NOTIMPL; }

}  // namespace tarvik
