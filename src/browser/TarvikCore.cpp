// The library's entry: unit start-up and shut-down, and the host decision.
#include <windows.h>

#include "browser/HostProcess.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/WinText.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ::DisableThreadLibraryCalls(instance);
      try {
        tarvik::LibraryLoad();
        switch (tarvik::ClassifyHost(tarvik::ModuleFileName(nullptr))) {
          case tarvik::HostKind::Shell:
            // Never inside the shell: undo the start-up and fail the load.
            tarvik::LibraryUnload();
            return FALSE;
          case tarvik::HostKind::Browser:
            tarvik::CreateRuntime();
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
