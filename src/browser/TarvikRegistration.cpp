#include "browser/TarvikRegistration.h"

#include "archive/WebArchive.h"
#include "browser/CoTarvikBrowserHelper.h"
#include "browser/CoTarvikBrowserMoniter.h"
#include "browser/CoTarvikToolbar.h"
#include "browser/TarvikClassIds.h"
#include "core/CapturedBytes.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/ComBoundary.h"
#include "framework/Registry.h"
#include "framework/WinText.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "ui/ToolbarForms.h"

namespace tarvik {

TTarvikToolbarObjectFactory::TTarvikToolbarObjectFactory(TComClassManager& manager)
    : TComObjectFactory(manager, &TTarvikToolbar::CreateInstance, CLSID_TarvikToolbar, L"CoToolbar",
                        L"Tarvik Express") {}

void TTarvikToolbarObjectFactory::UpdateRegistry(bool Register) {
  if (Register) TComObjectFactory::UpdateRegistry(true);
  // Only a browser that keeps a toolbar list gets the value; none is made.
  if (const UniqueHKey toolbars = OpenRegKey(HKEY_LOCAL_MACHINE, kToolbarListKey)) {
    if (Register)
      WriteRegString(toolbars.Get(), ClassIdKeyName(), Description());
    else
      DeleteRegValue(toolbars.Get(), ClassIdKeyName());
  }
  if (!Register) TComObjectFactory::UpdateRegistry(false);
}

TTarvikBrowserHelperFactory::TTarvikBrowserHelperFactory(TComClassManager& manager)
    : TComObjectFactory(manager, &TTarvikBrowserHelper::CreateInstance, CLSID_TarvikBrowserHelper, L"CoBrowserHelper",
                        L"Tarvik Express BHO") {}

void TTarvikBrowserHelperFactory::UpdateRegistry(bool Register) {
  if (Register) {
    TComObjectFactory::UpdateRegistry(true);
    CreateRegKeyWithDefault(HKEY_LOCAL_MACHINE, std::wstring(kHelperObjectsKey) + L"\\" + ClassIdKeyName(),
                            Description());
    const UniqueHKey postPlatform = CreateRegKey(HKEY_LOCAL_MACHINE, kPostPlatformKey);
    WriteRegString(postPlatform.Get(), UserAgentValueName(), L"");
    return;
  }
  if (const UniqueHKey helpers = OpenRegKey(HKEY_LOCAL_MACHINE, kHelperObjectsKey))
    DeleteRegKey(helpers.Get(), ClassIdKeyName());
  // Removal opens the token's key creating it, as registration did; a key
  // that cannot be had is skipped.
  try {
    const UniqueHKey postPlatform = CreateRegKey(HKEY_LOCAL_MACHINE, kPostPlatformKey);
    DeleteRegValue(postPlatform.Get(), UserAgentValueName());
  } catch (const ERegistryError&) {
  }
  TComObjectFactory::UpdateRegistry(false);
}

std::wstring UserAgentValueName() {
  return AnsiToWide(std::string(VendorAddress) + " (V" + VersionInfo.FileVersion + ")");
}

namespace {

struct TTarvikServer {
  TComClassManager Manager{L"TarvikCore"};
  TTarvikServer() {
    Manager.AddFactory<TTarvikToolbarObjectFactory>();
    Manager.AddFactory<TTarvikBrowserHelperFactory>();
  }
};

}  // namespace

TComClassManager& TarvikClassManager() {
  static TTarvikServer server;
  return server.Manager;
}

namespace {
// The factories come into being while the library loads, toolbar first.
[[maybe_unused]] TComClassManager& GLoadTimeServer = TarvikClassManager();
}  // namespace

HRESULT TarvikCanUnloadNow() noexcept {
  if (MoniterCount() != 0) return S_FALSE;
  // Each of these runs code of this library on calls that may still come.
  if (IPSinkCount() != 0 || TTarvikBrowserMoniter::LiveCount() != 0 || ToolbarForms().Count() != 0) return S_FALSE;
  // The thread keeps the library loaded by itself; the unload's shut-down
  // must still run on the thread that frees the library, not on that one.
  if (SpillWritersRunning() != 0) return S_FALSE;
  return TarvikClassManager().InUse() ? S_FALSE : S_OK;
}

HRESULT TarvikUpdateRegistry(bool Register) noexcept {
  return ComBoundary(AnyException(E_FAIL), [Register] { TarvikClassManager().UpdateRegistry(Register); });
}

}  // namespace tarvik
