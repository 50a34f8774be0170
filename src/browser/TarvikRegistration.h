#pragma once
// The server's two class factories, what they add to the standard class
// registration, and the answers behind the library's exported functions.
#include <windows.h>

#include <string>

#include "framework/ComServer.h"

namespace tarvik {

// The band's factory: also the browser's toolbar value, where the browser
// keeps its toolbar list.
class TTarvikToolbarObjectFactory final : public TComObjectFactory {
 public:
  explicit TTarvikToolbarObjectFactory(TComClassManager& manager);
  void UpdateRegistry(bool Register) override;
};

// The helper object's factory: also the browser's helper object key and the
// user-agent token.
class TTarvikBrowserHelperFactory final : public TComObjectFactory {
 public:
  explicit TTarvikBrowserHelperFactory(TComClassManager& manager);
  void UpdateRegistry(bool Register) override;
};

// Below HKEY_LOCAL_MACHINE.
inline constexpr wchar_t kToolbarListKey[] = L"\\Software\\Microsoft\\Internet Explorer\\Toolbar";
inline constexpr wchar_t kHelperObjectsKey[] =
    L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
inline constexpr wchar_t kPostPlatformKey[] =
    L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\5.0\\User Agent\\Post Platform";

// The user-agent token's value name: the vendor's address and the file version.
std::wstring UserAgentValueName();

// The server with its two factories, toolbar first; created while the
// library loads.
TComClassManager& TarvikClassManager();

// DllCanUnloadNow: S_FALSE while protocol monitors, sink wrappers, event
// monitors, toolbar forms, COM objects, server locks or held factories live,
// or a writer thread of the temporary file still runs.
HRESULT TarvikCanUnloadNow() noexcept;
// DllRegisterServer / DllUnregisterServer: S_OK, or E_FAIL when anything failed.
HRESULT TarvikUpdateRegistry(bool Register) noexcept;

}  // namespace tarvik
