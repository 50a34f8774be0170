#include "support/browser/RecordingRuntime.h"

namespace tarvik::test {

void STDMETHODCALLTYPE TRecordingRuntime::InformEvent(int32_t TID, UINT_PTR OID, uint8_t Category, uint8_t Event,
                                                      const std::string& Value) {
  std::lock_guard<std::mutex> guard(FLock);
  FEvents.push_back({TID, OID, Category, Event, Value});
}

std::vector<TInformedEvent> TRecordingRuntime::Events() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FEvents;
}

std::vector<std::string> TRecordingRuntime::Values() const {
  std::vector<std::string> values;
  for (const TInformedEvent& event : Events()) values.push_back(event.Value);
  return values;
}

void TRecordingRuntime::Clear() {
  std::lock_guard<std::mutex> guard(FLock);
  FEvents.clear();
}

TScopedSettings::TScopedSettings(const std::string& iniPath) : FPrevious(std::move(TarvikSettings)) {
  TarvikSettings = TInterfacedObject::Create<TTarvikSettings>(iniPath);
}

}  // namespace tarvik::test
