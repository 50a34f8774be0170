// The library's entry: unit start-up and shut-down, the host decision, and
// the four exported functions of an in-process COM server.
#include <windows.h>
#include <objbase.h>
#include <olectl.h>

#include "browser/HostProcess.h"
#include "browser/TarvikRegistration.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/WinText.h"
#include "protocol/CoTarvikAPPMoniter.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ::DisableThreadLibraryCalls(instance);
      try {
        // Registration names this file as the classes' server.
        tarvik::TarvikClassManager().SetModule(instance);
        tarvik::LibraryLoad();
        switch (tarvik::ClassifyHost(tarvik::ModuleFileName(nullptr))) {
          case tarvik::HostKind::Shell:
            // Never inside the shell: undo the start-up and fail the load.
            // The C runtime still calls the detach step, which unloads again.
            tarvik::LibraryUnload();
            return FALSE;
          case tarvik::HostKind::Browser:
            tarvik::CreateRuntime(tarvik::APPMoniters());
            break;
          case tarvik::HostKind::Other:
            break;
        }
      } catch (...) {
        return FALSE;
      }
      return TRUE;
    case DLL_PROCESS_DETACH:
      // At process end (reserved != NULL) other threads are gone and COM may
      // be torn down; only an explicit unload runs the shut-down order.
      if (reserved == nullptr) {
        try {
          tarvik::LibraryUnload();
        } catch (...) {
        }
      }
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
