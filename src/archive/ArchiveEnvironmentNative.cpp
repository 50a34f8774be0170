// The archive's surroundings in the native build: the C library's clock and
// locale, random GUIDs.
#include <ctime>
#include <random>

#include "archive/ContentSniffing.h"
#include "archive/WebArchive.h"

namespace tarvik {

namespace {

std::tm ToTm(const TLocalDateTime& t) {
  std::tm tm{};
  tm.tm_year = t.Year - 1900;
  tm.tm_mon = t.Month - 1;
  tm.tm_mday = t.Day;
  tm.tm_hour = t.Hour;
  tm.tm_min = t.Minute;
  tm.tm_sec = t.Second;
  tm.tm_isdst = -1;
  std::mktime(&tm);  // fills in the weekday that some formats name
  return tm;
}

std::string StrFTime(const char* format, const TLocalDateTime& t) {
  const std::tm tm = ToTm(t);
  char buffer[128];
  const size_t length = std::strftime(buffer, sizeof(buffer), format, &tm);
  return std::string(buffer, length);
}

}  // namespace

TArchiveEnvironment NativeArchiveEnvironment(std::string version) {
  static TStdFileSource files;
  TArchiveEnvironment env;
  env.Version = std::move(version);
  env.NewArchiveID = [] {
    std::random_device random;
    uint8_t guid[16];
    for (size_t i = 0; i < 16; i += 4) {
      const uint32_t r = random();
      for (size_t k = 0; k < 4; ++k) guid[i + k] = static_cast<uint8_t>(r >> (8 * k));
    }
    guid[7] = static_cast<uint8_t>((guid[7] & 0x0F) | 0x40);  // version 4, as the platform makes them
    guid[8] = static_cast<uint8_t>((guid[8] & 0x3F) | 0x80);
    return FormatArchiveID(guid);
  };
  env.Now = [] {
    timespec ts{};
    timespec_get(&ts, TIME_UTC);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return TLocalDateTime{tm.tm_year + 1900,
                          tm.tm_mon + 1,
                          tm.tm_mday,
                          tm.tm_hour,
                          tm.tm_min,
                          tm.tm_sec,
                          static_cast<int>(ts.tv_nsec / 1000000)};
  };
  env.FormatShortDate = [](const TLocalDateTime& t) { return StrFTime("%x", t); };
  env.FormatLongTime = [](const TLocalDateTime& t) { return StrFTime("%X", t); };
  env.SniffContentType = [](const std::string& name) { return SniffContentType(name); };
  env.Files = &files;
  return env;
}

}  // namespace tarvik
