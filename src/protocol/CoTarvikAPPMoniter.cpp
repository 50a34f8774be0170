// Placeholder until the protocol monitor lands: no monitor is handed out.
#include "protocol/CoTarvikAPPMoniter.h"

namespace tarvik {

HRESULT CreateAPPMoniter(REFIID, void** ppv) {
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
LONG MoniterCount() { return 0; }
std::vector<int32_t> RemainingMoniterSIDs() { return {}; }

}  // namespace tarvik
