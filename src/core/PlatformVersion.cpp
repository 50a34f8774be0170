#include "core/PlatformVersion.h"

#include <atomic>

namespace tarvik {

namespace {
// Major in the high half, minor in the low half; NoOverride when unset.
constexpr uint64_t NoOverride = ~uint64_t{0};
std::atomic<uint64_t> GOverride{NoOverride};

uint64_t Pack(TPlatformVersion v) { return (uint64_t{v.Major} << 32) | v.Minor; }
TPlatformVersion Unpack(uint64_t packed) {
  return {static_cast<uint32_t>(packed >> 32), static_cast<uint32_t>(packed)};
}
std::optional<TPlatformVersion> CurrentOverride() {
  const uint64_t packed = GOverride.load(std::memory_order_acquire);
  if (packed == NoOverride) return std::nullopt;
  return Unpack(packed);
}
}  // namespace

TPlatformVersion PlatformVersion() noexcept {
  if (auto forced = CurrentOverride()) return *forced;
  return ReportedPlatformVersion();
}

void SetPlatformVersion(std::optional<TPlatformVersion> version) noexcept {
  GOverride.store(version ? Pack(*version) : NoOverride, std::memory_order_release);
}

ScopedPlatformVersion::ScopedPlatformVersion(TPlatformVersion version) : FPrevious(CurrentOverride()) {
  SetPlatformVersion(version);
}

ScopedPlatformVersion::~ScopedPlatformVersion() { SetPlatformVersion(FPrevious); }

}  // namespace tarvik
