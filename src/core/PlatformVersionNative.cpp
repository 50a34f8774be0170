#include "core/PlatformVersion.h"

namespace tarvik {

// The native build stands in for a current platform (threads compared).
TPlatformVersion ReportedPlatformVersion() noexcept { return {5, 1}; }

}  // namespace tarvik
