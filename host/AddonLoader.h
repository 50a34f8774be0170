#pragma once
// The add-ons of one browser window, found as the browser finds them in the
// registry that regsvr32 wrote: bands the user had shown and toolbars
// installed for every user (shown through the window's ShowBrowserBar), and
// browser helper objects sited on the window's browser object.
#include <windows.h>
#include <ocidl.h>
#include <shobjidl.h>

#include <vector>

#include "HostBrowser.h"
#include "framework/ComPtr.h"

namespace tarvik::host {

class TAddonLoader {
 public:
  // browser: the window's, kept by the window while this lives; bandArea:
  // the window the bands' windows sit in.
  TAddonLoader(THostWebBrowser& browser, HWND bandArea) : FBrowser(browser), FBandArea(bandArea) {}

  // Shows the remembered bands through window and sites the helper objects.
  void Load(TBrowserCommands& window);
  // Shows, shows again or closes the band clsid and remembers its state
  // for the next window; fails when the band cannot be made and sited.
  HRESULT ShowBand(const CLSID& clsid, bool show);
  // Places the bands' windows one below the other across width; answers
  // the height they take.
  int PlaceBands(int width);
  // As the browser closes a window: bands closed and unsited, the last first.
  void CloseBands();
  // Helpers unsited and released.
  void ReleaseHelpers();

  int BandCount() const noexcept { return static_cast<int>(FBands.size()); }
  int HelperCount() const noexcept { return static_cast<int>(FHelpers.size()); }

 private:
  struct TBand {
    CLSID Clsid;
    ComPtr<IObjectWithSite> Object;
    ComPtr<IDeskBand> DeskBand;
    int Height;
  };

  THostWebBrowser& FBrowser;
  HWND FBandArea;
  std::vector<TBand> FBands;
  std::vector<ComPtr<IObjectWithSite>> FHelpers;
};

}  // namespace tarvik::host
