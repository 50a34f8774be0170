#include "core/ClassTarvikRuntime.h"

#include <utility>

#include "core/PathText.h"
#include "core/UrlList.h"
#include "framework/ComBoundary.h"
#include "framework/Trace.h"
#include "framework/TraceFile.h"

namespace tarvik {

// {A3C5E4B1-7D2F-4E8A-B6C9-1F0D2E3A4B51}
const CLSID CLSID_TarvikAPPMoniter = {0xa3c5e4b1, 0x7d2f, 0x4e8a, {0xb6, 0xc9, 0x1f, 0x0d, 0x2e, 0x3a, 0x4b, 0x51}};

ComPtr<ITarvikRuntime> Runtime;
ComPtr<ITarvikSettings> TarvikSettings;
std::unique_ptr<TTarvikDataBuffer> TarvikDataBuffer;
TTarvikVersionInfo VersionInfo;

namespace {
const wchar_t* const Schemes[] = {L"http", L"https"};
// The runtime this library made, typed: Runtime may hold a stand-in (tests,
// diagnosis), and the unload steps need the real one's own operations.
ComPtr<TTarvikRuntime> GOwnRuntime;

// Whether the cache file still holds what was captured: then the bytes cost
// nothing to let go, since the composer prefers the file.
bool CacheFileHolds(const TURLContent::Snapshot& record) {
  if (record.LocalFilename.empty()) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(record.LocalFilename.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  return ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) == record.Content->size();
}

// Whether a capture may still list url: the timeline keeps the downloads
// it may select, so this is one lookup, not a walk.
bool NeededByACapture(std::string_view url) {
  const ComPtr<TTarvikRuntime> runtime = GOwnRuntime;
  return runtime && runtime->Timeline().Selectable(url);
}

// At the temporary file's quota: the store lets go of what no capture can
// list any more.
void LetGoForQuota(uint64_t wanted) noexcept {
  // A failure lets nothing go: the write that asked is refused instead.
  NoThrow([&] {
    TTarvikDataBuffer* store = TarvikDataBuffer.get();
    if (!store) return;
    if (const ComPtr<TTarvikRuntime> runtime = GOwnRuntime) runtime->Timeline().Prune();
    const uint64_t gone = store->LetGo(wanted, &NeededByACapture, &CacheFileHolds);
    Log("TTarvikDataBuffer.LetGo", [&] {
      return Format("Let go of %llu captured bytes for %llu", static_cast<unsigned long long>(gone),
                    static_cast<unsigned long long>(wanted));
    });
  });
}

// The trace file that the settings name, the sink of every line while the
// browser's runtime lives; none by default, and never in another process.
// Not a static object: at the process's end no destructor may take it from
// under a late line; the system closes the file then.
TTraceFile* GTraceFile = nullptr;

void StartTraceFile() noexcept {
  NoThrow([] {
    TIniFile* ini = TarvikSettings ? TarvikSettings->IniFile() : nullptr;
    if (GTraceFile || !ini) return;
    const std::string named = ini->ReadString(TraceFileSection, TraceFileKey, "");
    if (named.empty()) return;
    GTraceFile = TTraceFile::Open(PathBeside(ini->FileName(), named)).release();
    if (GTraceFile) SetTraceSink(GTraceFile);
  });
}

void StopTraceFile() noexcept {
  if (!GTraceFile) return;
  // A sink installed after ours (a test's) stays where it is.
  TraceSink* const previous = SetTraceSink(nullptr);
  if (previous != GTraceFile) SetTraceSink(previous);
  delete std::exchange(GTraceFile, nullptr);
}
}  // namespace

HRESULT TTarvikRuntime::DefaultSessionProvider(IInternetSession** session) {
  return ::CoInternetGetSession(0, session, 0);
}

void TTarvikRuntime::AfterConstruction() {
  if (!FInternetSession && FSessionProvider) FSessionProvider(FInternetSession.Put());
  if (!FInternetSession) {
    tarvik::Log("Runtime.AfterConstruction", "Failed to get FInternetSession!!");
    return;
  }
  for (const wchar_t* scheme : Schemes)
    FInternetSession->RegisterNameSpace(static_cast<IClassFactory*>(this), CLSID_TarvikAPPMoniter, scheme, 0, nullptr,
                                        0);
  FRegistered = true;
}

void TTarvikRuntime::UnregisterNameSpaces() {
  if (!FInternetSession || !FRegistered.exchange(false)) return;
  for (const wchar_t* scheme : Schemes)
    FInternetSession->UnregisterNameSpace(static_cast<IClassFactory*>(this), scheme);
}

TTarvikRuntime::~TTarvikRuntime() {
  if (FInternetSession)
    UnregisterNameSpaces();
  else
    tarvik::Log("Runtime.BeforeDestruction", "FInternetSession=nil!!");
  FTimeline.Clear();
}

STDMETHODIMP TTarvikRuntime::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  // The outer object is ignored: aggregation is neither offered nor refused.
  FCreateInstanceCalls.fetch_add(1);
  if (ppv) *ppv = nullptr;
  if (!FMonitors.Create) return CLASS_E_CLASSNOTAVAILABLE;
  return FMonitors.Create(riid, ppv);  // keeps its exceptions inside
}

STDMETHODIMP TTarvikRuntime::LockServer(BOOL) { return E_NOTIMPL; }

// The operations of ITarvikRuntime return nothing, so none can report a
// failure: each keeps its exceptions inside.

void STDMETHODCALLTYPE TTarvikRuntime::Lock(bool Enter) {
  ComBoundary(AnyException(E_FAIL), [&] {
    if (Enter)
      FTimeline.Lock();
    else
      FTimeline.Unlock();
  });
}

void STDMETHODCALLTYPE TTarvikRuntime::InformEvent(int32_t TID, UINT_PTR OID, uint8_t Category, uint8_t Event,
                                                   const std::string& Value) {
  // An event that cannot be recorded (memory ran out) is lost; the caller goes on.
  ComBoundary(AnyException(E_FAIL), [&] { FTimeline.InformEvent(TID, OID, Category, Event, Value); });
}

void STDMETHODCALLTYPE TTarvikRuntime::GenerateList(int32_t TID, int32_t SIDMark, std::vector<std::string>* URLList,
                                                    std::vector<std::string>* BaseList) {
  if (!URLList || !BaseList) return;
  const HRESULT result = ComBoundary(AnyException(E_FAIL), [&] {
    std::lock_guard<std::recursive_mutex> guard(FTimeline.Mutex());
    tarvik::GenerateList(FTimeline.Items(), TID, SIDMark, URLList, BaseList);
    FTimeline.MarkUsed(SIDMark);
  });
  if (FAILED(result)) {
    // A partial list would make an archive that silently lacks resources:
    // none at all is what the caller can tell.
    URLList->clear();
    BaseList->clear();
  }
}

void STDMETHODCALLTYPE TTarvikRuntime::Log(const std::string& Source, const std::string& Message, int32_t Extra,
                                           int32_t Level) {
  NoThrow([&] { WriteToTraceSink(Source, Message, Extra, Level); });
}

void LibraryLoad() {
  SetSpillClosesInPlace(false);
  ResetSIDCounter();
  VersionInfo = TTarvikVersionInfo::ReadOwn();
  TarvikSettings = TInterfacedObject::Create<TTarvikSettings>();
  TarvikDataBuffer = std::make_unique<TTarvikDataBuffer>();
  TarvikDataBuffer->SetNeeded(&NeededByACapture);
}

ComPtr<TTarvikRuntime> CreateRuntime(const TProtocolMonitors& monitors, TTarvikRuntime::SessionProvider provider) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(monitors, provider);
  GOwnRuntime = runtime;
  Runtime = static_cast<ITarvikRuntime*>(runtime.Get());
  SetSpillLetGo(&LetGoForQuota);
  StartTraceFile();
  return runtime;
}

void LibraryUnload() {
  SetSpillLetGo(nullptr);
  SetSpillClosesInPlace(true);
  if (Runtime) {
    Log("ClassTarvikRuntime.Print ALL Remaining APPMoniters...", "");
    if (TraceActive() && GOwnRuntime && GOwnRuntime->Monitors().Remaining)
      for (int32_t sid : GOwnRuntime->Monitors().Remaining())
        Log([sid] { return "Remaining APPMoniters: SID=" + std::to_string(sid); }, "");
    Log("ClassTarvikRuntime.Finalizing TarvikDataBuffer...", "");
    TarvikDataBuffer.reset();
    Log("ClassTarvikRuntime.Finalizing TarvikSettings...", "");
    TarvikSettings = nullptr;
    Log("ClassTarvikRuntime.Finalizing Runtime...", "");
    Runtime = nullptr;
  }
  // The session's reference to the factory would keep the runtime (and the
  // schemes pointing into this library) alive: unregister explicitly.
  if (ComPtr<TTarvikRuntime> own = std::move(GOwnRuntime)) own->UnregisterNameSpaces();
  TarvikDataBuffer.reset();
  // The temporary file goes with the last captured bytes in it.
  SetProcessSpillArea(nullptr);
  TarvikSettings = nullptr;
  VersionInfo = TTarvikVersionInfo{};
  // Last: what the steps above trace still reaches the file.
  StopTraceFile();
}

}  // namespace tarvik
