#include "AddonLoader.h"

#include <shlobj.h>

#include <string>
#include <utility>

#include "framework/GuidText.h"
#include "framework/Handles.h"

namespace tarvik::host {

namespace {

constexpr wchar_t kHelpersKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr wchar_t kToolbarsKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
constexpr wchar_t kShownBarsKey[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar\\WebBrowser";

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
    const LONG rc =
        ::RegEnumValueW(key.Get(), i, name, &size, nullptr, &type, reinterpret_cast<BYTE*>(&data), &dataSize);
    if (rc == ERROR_MORE_DATA)
      data = 1;
    else if (rc != ERROR_SUCCESS)
      break;
    values.emplace_back(std::wstring(name, size), type == REG_DWORD ? data : 1);
  }
  return values;
}

}  // namespace

void TAddonLoader::Load(TBrowserCommands& window) {
  // Bands the user had shown, and toolbars installed for every user unless hidden.
  std::vector<std::pair<std::wstring, DWORD>> shown = ValueNames(HKEY_CURRENT_USER, kShownBarsKey);
  for (const auto& [name, data] : ValueNames(HKEY_LOCAL_MACHINE, kToolbarsKey)) {
    bool known = false;
    for (const auto& entry : shown) known = known || ::lstrcmpiW(entry.first.c_str(), name.c_str()) == 0;
    if (!known) shown.emplace_back(name, 1);
  }
  for (const auto& [name, data] : shown) {
    CLSID band;
    if (data != 0 && SUCCEEDED(::CLSIDFromString(name.c_str(), &band))) window.ShowBrowserBar(band, true);
  }
  for (const std::wstring& name : SubkeyNames(HKEY_LOCAL_MACHINE, kHelpersKey)) {
    CLSID clsid;
    if (FAILED(::CLSIDFromString(name.c_str(), &clsid))) continue;
    ComPtr<IObjectWithSite> helper;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, helper.PutVoid())))
      continue;
    FHelpers.push_back(helper);
    helper->SetSite(static_cast<IWebBrowser2*>(&FBrowser));
  }
}

HRESULT TAddonLoader::ShowBand(const CLSID& clsid, bool show) {
  auto found = FBands.begin();
  while (found != FBands.end() && !IsEqualCLSID(found->Clsid, clsid)) ++found;
  UniqueHKey remembered;
  ::RegCreateKeyExW(HKEY_CURRENT_USER, kShownBarsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, remembered.Put(), nullptr);
  const std::wstring name = WideGuidText(clsid);
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
    ComPtr<TBandSite> site = TBandSite::Create(&FBrowser, FBandArea);
    if (FAILED(hr = band.Object->SetSite(static_cast<IOleWindow*>(site.Get())))) return hr;
    DESKBANDINFO info = {};
    info.dwMask =
        DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE | DBIM_MODEFLAGS | DBIM_BKCOLOR;
    info.ptMaxSize = {-1, -1};
    band.Height = 26;
    if (SUCCEEDED(band.DeskBand->GetBandInfo(static_cast<DWORD>(FBands.size()), DBIF_VIEWMODE_NORMAL, &info)) &&
        info.ptMinSize.y > 0)
      band.Height = info.ptMinSize.y;
    band.DeskBand->ShowDW(TRUE);
    FBands.push_back(std::move(band));
  }
  if (remembered)
    ::RegSetValueExW(remembered.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&shownValue),
                     sizeof(shownValue));
  return S_OK;
}

int TAddonLoader::PlaceBands(int width) {
  int y = 0;
  for (const TBand& band : FBands) {
    HWND bandWindow = nullptr;
    if (SUCCEEDED(band.DeskBand->GetWindow(&bandWindow)) && bandWindow)
      ::SetWindowPos(bandWindow, nullptr, 0, y, width, band.Height, SWP_NOZORDER | SWP_NOACTIVATE);
    y += band.Height;
  }
  return y;
}

void TAddonLoader::CloseBands() {
  for (auto band = FBands.rbegin(); band != FBands.rend(); ++band) {
    band->DeskBand->CloseDW(0);
    band->Object->SetSite(nullptr);
  }
  FBands.clear();
}

void TAddonLoader::ReleaseHelpers() {
  for (const ComPtr<IObjectWithSite>& helper : FHelpers) helper->SetSite(nullptr);
  FHelpers.clear();
}

}  // namespace tarvik::host
