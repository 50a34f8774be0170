#pragma once
// A runtime that records the events the browser integration hands it, and scope
// holders that publish a runtime or a settings file in the process-wide
// globals for a test and restore the previous ones afterwards.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/ClassTarvikRuntime.h"
#include "framework/InterfacedObject.h"

namespace tarvik::test {

struct TInformedEvent {
  int32_t TID;
  uintptr_t OID;
  uint8_t Category;
  uint8_t Event;
  std::string Value;
};

class TRecordingRuntime final : public TInterfacedImpl<ITarvikRuntime> {
 public:
  static ComPtr<TRecordingRuntime> Create() { return TInterfacedObject::Create<TRecordingRuntime>(); }

  void STDMETHODCALLTYPE Lock(bool) override {}
  void STDMETHODCALLTYPE InformEvent(int32_t TID, UINT_PTR OID, uint8_t Category, uint8_t Event,
                                     const std::string& Value) override;
  // Leaves both lists as they are.
  void STDMETHODCALLTYPE GenerateList(int32_t, int32_t, std::vector<std::string>*, std::vector<std::string>*) override {
  }
  // Lines go to the trace sink, as the library's own runtime sends them.
  void STDMETHODCALLTYPE Log(const std::string& Source, const std::string& Message, int32_t Extra,
                             int32_t Level) override {
    WriteToTraceSink(Source, Message, Extra, Level);
  }

  std::vector<TInformedEvent> Events() const;
  // The values of the events, in order.
  std::vector<std::string> Values() const;
  void Clear();

 private:
  friend class TInterfacedObject;
  TRecordingRuntime() = default;
  mutable std::mutex FLock;
  std::vector<TInformedEvent> FEvents;
};

// Publishes runtime (which may be empty) in Runtime while it lives.
class TScopedRuntime {
 public:
  explicit TScopedRuntime(ITarvikRuntime* runtime) : FPrevious(std::move(Runtime)) { Runtime = runtime; }
  ~TScopedRuntime() { Runtime = std::move(FPrevious); }
  TScopedRuntime(const TScopedRuntime&) = delete;
  TScopedRuntime& operator=(const TScopedRuntime&) = delete;

 private:
  ComPtr<ITarvikRuntime> FPrevious;
};

// Points TarvikSettings at the ini file iniPath while it lives.
class TScopedSettings {
 public:
  explicit TScopedSettings(const std::string& iniPath);
  ~TScopedSettings() { TarvikSettings = std::move(FPrevious); }
  TScopedSettings(const TScopedSettings&) = delete;
  TScopedSettings& operator=(const TScopedSettings&) = delete;
  TIniFile& Ini() { return *TarvikSettings->IniFile(); }

 private:
  ComPtr<ITarvikSettings> FPrevious;
};

}  // namespace tarvik::test
