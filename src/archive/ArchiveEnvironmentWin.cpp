// The archive's surroundings in the DLL: the platform's clock, locale, GUIDs
// and MIME sniffer, the cache files and the runtime's trace.
#include "archive/ArchiveEnvironmentWin.h"

#include <objbase.h>

#include "archive/ArchiveIOWin.h"
#include "archive/ContentSniffing.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/GuidText.h"

namespace tarvik {

namespace {

std::string LocaleDate(const TLocalDateTime& t) {
  const SYSTEMTIME st = ToSystemTime(t);
  char buffer[256];
  const int length = ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, sizeof(buffer));
  return length > 1 ? std::string(buffer, static_cast<size_t>(length - 1)) : std::string();
}

std::string LocaleTime(const TLocalDateTime& t) {
  const SYSTEMTIME st = ToSystemTime(t);
  char buffer[256];
  const int length = ::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, sizeof(buffer));
  return length > 1 ? std::string(buffer, static_cast<size_t>(length - 1)) : std::string();
}

std::string NewGuidText() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  return GuidText(guid);
}

}  // namespace

SYSTEMTIME ToSystemTime(const TLocalDateTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.Year);
  st.wMonth = static_cast<WORD>(t.Month);
  st.wDay = static_cast<WORD>(t.Day);
  st.wHour = static_cast<WORD>(t.Hour);
  st.wMinute = static_cast<WORD>(t.Minute);
  st.wSecond = static_cast<WORD>(t.Second);
  st.wMilliseconds = static_cast<WORD>(t.Milliseconds);
  return st;
}

TArchiveEnvironment WindowsArchiveEnvironment() {
  static TWinFileSource files;
  TArchiveEnvironment env;
  env.Version = VersionInfo.FileVersion;
  env.NewArchiveID = &NewGuidText;
  env.Now = [] {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return TLocalDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  };
  env.FormatShortDate = &LocaleDate;
  env.FormatLongTime = &LocaleTime;
  env.SniffContentType = [](const std::string& name) { return SniffContentType(name); };
  env.Files = &files;
  return env;
}

}  // namespace tarvik
