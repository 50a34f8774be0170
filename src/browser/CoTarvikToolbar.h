#pragma once
// The toolbar band: the browser places it in a window's toolbar area; it
// carries that window's toolbar form, hands the form the window's browser
// and holds the global hot key while it is sited.
#include <windows.h>
#include <ocidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <functional>
#include <memory>

#include "framework/ComObject.h"
#include "framework/ComPtr.h"
#include "ui/Hotkeys.h"

namespace tarvik {

class TTarvikToolbarForm;

class TTarvikToolbar final : public TComObject<TTarvikToolbar, IObjectWithSite, IDeskBand, IPersistStream> {
 public:
  // Makes a band's form as a child of parent; throws when it cannot.
  using TFormFactory = std::function<std::unique_ptr<TTarvikToolbarForm>(HWND parent)>;
  // Process-wide; an empty factory restores the form with the platform's services.
  static void SetFormFactory(TFormFactory factory);
  // How often SetSite tries to make the form before it gives up.
  static constexpr int FormCreationAttempts = 3;

  // IObjectWithSite
  STDMETHODIMP SetSite(IUnknown* pUnkSite) override;
  STDMETHODIMP GetSite(REFIID riid, void** ppvSite) override;
  // IOleWindow
  STDMETHODIMP GetWindow(HWND* phwnd) override;
  STDMETHODIMP ContextSensitiveHelp(BOOL fEnterMode) override;
  // IDockingWindow
  STDMETHODIMP ShowDW(BOOL fShow) override;
  STDMETHODIMP CloseDW(DWORD dwReserved) override;
  STDMETHODIMP ResizeBorderDW(LPCRECT prcBorder, IUnknown* punkToolbarSite, BOOL fReserved) override;
  // IDeskBand
  STDMETHODIMP GetBandInfo(DWORD dwBandID, DWORD dwViewMode, DESKBANDINFO* pdbi) override;
  // IPersist, IPersistStream
  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP IsDirty() override;
  STDMETHODIMP Load(IStream* pStm) override;
  STDMETHODIMP Save(IStream* pStm, BOOL fClearDirty) override;
  STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pcbSize) override;

  TTarvikToolbarForm* Form() const noexcept { return FForm.get(); }
  const THotkeys& Hotkeys() const noexcept { return FHotkeys; }

 protected:
  // IDeskBand's bases and IPersistStream's base lead to the same object.
  HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept override;

 private:
  friend class TComObject<TTarvikToolbar, IObjectWithSite, IDeskBand, IPersistStream>;
  TTarvikToolbar();
  ~TTarvikToolbar() override;

  HRESULT SiteWith(IUnknown* site);
  HRESULT Unsite();
  void CreateForm(IOleWindow* siteWindow);

  ComPtr<IUnknown> FSite;
  std::unique_ptr<TTarvikToolbarForm> FForm;
  THotkeys FHotkeys;
};

}  // namespace tarvik
