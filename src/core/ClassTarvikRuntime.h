#pragma once
// The capture runtime of a browser process and the process-wide objects that
// every subsystem reaches: Runtime, TarvikSettings, TarvikDataBuffer, VersionInfo.
#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/ProtocolMonitors.h"
#include "core/TarvikDataBuffer.h"
#include "core/TarvikInterfaces.h"
#include "core/TarvikSettings.h"
#include "core/TarvikTimeline.h"
#include "core/TarvikVersionInfo.h"
#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"
#include "framework/Trace.h"

namespace tarvik {

// The class id under which the protocol monitors' namespace handler is registered.
extern const CLSID CLSID_TarvikAPPMoniter;

class TTarvikRuntime final : public TInterfacedImpl<IClassFactory, ITarvikRuntime> {
 public:
  // How the runtime obtains the URL moniker library's internet session.
  using SessionProvider = HRESULT (*)(IInternetSession** session);
  static HRESULT DefaultSessionProvider(IInternetSession** session);

  // IClassFactory: a new protocol monitor per request.
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  // ITarvikRuntime
  void STDMETHODCALLTYPE Lock(bool Enter) override;
  void STDMETHODCALLTYPE InformEvent(int32_t TID, UINT_PTR OID, uint8_t Category, uint8_t Event,
                                     const std::string& Value) override;
  void STDMETHODCALLTYPE GenerateList(int32_t TID, int32_t SIDMark, std::vector<std::string>* URLList,
                                      std::vector<std::string>* BaseList) override;
  void STDMETHODCALLTYPE Log(const std::string& Source, const std::string& Message, int32_t Extra,
                             int32_t Level) override;

  // Unregisters both schemes at once. The session holds a reference to the
  // factory it was given, so destruction alone would never run while they
  // are registered; the unload path calls this before releasing Runtime.
  void UnregisterNameSpaces();

  IInternetSession* InternetSession() const noexcept { return FInternetSession.Get(); }
  bool NameSpacesRegistered() const noexcept { return FRegistered.load(); }
  // How often the URL moniker library asked for a protocol object.
  LONG CreateInstanceCalls() const noexcept { return FCreateInstanceCalls.load(); }
  TTarvikTimeline& Timeline() noexcept { return FTimeline; }
  const TProtocolMonitors& Monitors() const noexcept { return FMonitors; }

 private:
  friend class TInterfacedObject;
  // Without monitors: the namespace handler answers CLASS_E_CLASSNOTAVAILABLE.
  explicit TTarvikRuntime(SessionProvider provider = &DefaultSessionProvider) : FSessionProvider(provider) {}
  TTarvikRuntime(const TProtocolMonitors& monitors, SessionProvider provider)
      : FMonitors(monitors), FSessionProvider(provider) {}
  ~TTarvikRuntime() override;
  void AfterConstruction() override;

  const TProtocolMonitors FMonitors;
  SessionProvider FSessionProvider;
  ComPtr<IInternetSession> FInternetSession;
  TTarvikTimeline FTimeline;
  std::atomic<bool> FRegistered{false};
  std::atomic<LONG> FCreateInstanceCalls{0};
};

// Process-wide objects.
extern ComPtr<ITarvikRuntime> Runtime;
extern ComPtr<ITarvikSettings> TarvikSettings;
extern std::unique_ptr<TTarvikDataBuffer> TarvikDataBuffer;
extern TTarvikVersionInfo VersionInfo;

// Where the settings name the trace file, which is off while the key is
// absent or empty: a path in the system's code page, taken beside the ini
// file when relative. Read once, when the browser's runtime is created.
inline constexpr char TraceFileSection[] = "Diagnostics";
inline constexpr char TraceFileKey[] = "TraceFile";

// Library load: version text, settings object, content store.
void LibraryLoad();
// Creates the process's runtime and publishes it in Runtime; opens the trace
// file if the settings name one.
ComPtr<TTarvikRuntime> CreateRuntime(const TProtocolMonitors& monitors, TTarvikRuntime::SessionProvider provider =
                                                                            &TTarvikRuntime::DefaultSessionProvider);
// Library unload, in its order: report live monitors, content store, settings,
// runtime; the trace file closes after the last line.
void LibraryUnload();

}  // namespace tarvik
