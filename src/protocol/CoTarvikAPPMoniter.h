#pragma once
// The pass-through protocol object: what the runtime needs of it.
#include <windows.h>

#include <cstdint>
#include <vector>

namespace tarvik {

// A new protocol monitor, queried for riid.
HRESULT CreateAPPMoniter(REFIID riid, void** ppv);
// Monitors alive now.
LONG MoniterCount();
// SIDs of the live monitors, in creation order.
std::vector<int32_t> RemainingMoniterSIDs();

}  // namespace tarvik
