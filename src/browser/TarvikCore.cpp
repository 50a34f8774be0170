// The library's entry: unit start-up and shut-down, the host decision, and
// the four exported functions of an in-process COM server.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include "browser/HostProcess.h"
#include "browser/TarvikRegistration.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/Trace.h"
#include "framework/WinText.h"
#include "protocol/CoTarvikAPPMoniter.h"

namespace {

// The start-up: whether the library stays loaded in this process.
bool Attach(HINSTANCE instance) {
  // Registration names this file as the classes' server.
  tarvik::TarvikClassManager().SetModule(instance);
  tarvik::LibraryLoad();
  switch (tarvik::ClassifyHost(tarvik::ModuleFileName(nullptr))) {
    case tarvik::HostKind::Shell:
      // Never inside the shell: undo the start-up and fail the load.
      // The C runtime still calls the detach step, which unloads again.
      tarvik::LibraryUnload();
      return false;
    case tarvik::HostKind::Browser:
      tarvik::CreateRuntime(tarvik::APPMoniters());
      break;
    case tarvik::HostKind::Other:
      break;
  }
  return true;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      ::DisableThreadLibraryCalls(instance);
      bool attached = false;
      tarvik::NoThrow([&] { attached = Attach(instance); });
      return attached ? TRUE : FALSE;
    }
    case DLL_PROCESS_DETACH:
      // At process end (reserved != NULL) other threads are gone and COM may
      // be torn down; only an explicit unload runs the shut-down order.
      if (reserved == nullptr) tarvik::NoThrow([] { tarvik::LibraryUnload(); });
      return TRUE;
    default:
      return TRUE;
  }
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return tarvik::TarvikClassManager().GetClassObject(rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return tarvik::TarvikCanUnloadNow(); }

STDAPI DllRegisterServer() { return tarvik::TarvikUpdateRegistry(true); }

STDAPI DllUnregisterServer() { return tarvik::TarvikUpdateRegistry(false); }
