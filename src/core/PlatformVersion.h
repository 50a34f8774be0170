#pragma once
// The version of the platform the library runs on, from one place. The URL
// list compares threads only from version 5.0 on; tests and the replay tool
// pick the version they need instead of the real one.
#include <cstdint>
#include <optional>

namespace tarvik {

struct TPlatformVersion {
  uint32_t Major = 0;
  uint32_t Minor = 0;

  friend bool operator==(const TPlatformVersion&, const TPlatformVersion&) = default;
  // clang-tidy 14 reads the 0 it compares the defaulted result with as a null pointer.
  friend auto operator<=>(const TPlatformVersion&, const TPlatformVersion&) = default;  // NOLINT(modernize-use-nullptr)
};

// Version 5.0: from here on each browser window has a thread of its own.
inline constexpr TPlatformVersion Windows2000{5, 0};

// The override when one is set, otherwise what the platform reports.
TPlatformVersion PlatformVersion() noexcept;
// What the platform itself reports: the real version on Windows (not the
// compatibility value that manifests and shims give), 5.1 natively.
TPlatformVersion ReportedPlatformVersion() noexcept;
// Sets (or, with nullopt, removes) the override; safe from any thread.
void SetPlatformVersion(std::optional<TPlatformVersion> version) noexcept;

inline bool IsWindows2000OrLater() noexcept { return PlatformVersion() >= Windows2000; }

// Sets the override for one scope and puts the previous state back.
class ScopedPlatformVersion {
 public:
  explicit ScopedPlatformVersion(TPlatformVersion version);
  ~ScopedPlatformVersion();
  ScopedPlatformVersion(const ScopedPlatformVersion&) = delete;
  ScopedPlatformVersion& operator=(const ScopedPlatformVersion&) = delete;

 private:
  std::optional<TPlatformVersion> FPrevious;
};

}  // namespace tarvik
