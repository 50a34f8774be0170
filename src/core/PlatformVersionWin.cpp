#include <windows.h>

#include "core/PlatformVersion.h"

namespace tarvik {

namespace {
using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);

TPlatformVersion QueryPlatformVersion() {
  // GetVersionEx answers what the executable's manifest claims to support,
  // not what runs; ntdll's RtlGetVersion is not shimmed that way.
  if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
    auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionProc>(reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion && rtlGetVersion(&info) == 0) return {info.dwMajorVersion, info.dwMinorVersion};
  }
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (::GetVersionExW(&info)) return {info.dwMajorVersion, info.dwMinorVersion};
#pragma GCC diagnostic pop
  return Windows2000;
}
}  // namespace

TPlatformVersion ReportedPlatformVersion() noexcept {
  // The version does not change while the process runs.
  static const TPlatformVersion version = QueryPlatformVersion();
  return version;
}

}  // namespace tarvik
