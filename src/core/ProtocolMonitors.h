#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

namespace tarvik {

// How the runtime makes the protocol monitors it registers for http and
// https. The protocol layer sits above this one, so the runtime never names
// it: whoever loads both (the library's entry, a test) hands the protocol
// layer's factory to CreateRuntime.
struct TProtocolMonitors {
  // A new monitor queried for riid; keeps its exceptions inside. Without
  // one the runtime answers CLASS_E_CLASSNOTAVAILABLE.
  HRESULT (*Create)(REFIID riid, void** ppv) = nullptr;
  // The SIDs of the monitors alive now, in creation order (the unload report).
  std::vector<int32_t> (*Remaining)() = nullptr;
};

}  // namespace tarvik
