#include "protocol/CoTarvikAPPMoniter.h"

#include <wininet.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "core/ClassTarvikRuntime.h"
#include "core/UrlText.h"
#include "framework/ComBoundary.h"
#include "framework/Handles.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

std::atomic<LONG> GMoniterSerial{0};
std::atomic<LONG> GMoniterCount{0};
std::atomic<LONG> GIPSinkSerial{0};
std::atomic<LONG> GIPSinkCount{0};

// Live monitors in creation order. Monitors are made and destroyed on
// whatever threads the URL moniker library uses, and the unload report walks
// the list, so every access holds the lock.
struct TMoniterList {
  std::mutex Lock;
  std::vector<TTarvikAPPMoniter*> Items;
};
TMoniterList& MoniterList() {
  static TMoniterList list;
  return list;
}

// Class context 7: in-process server, in-process handler and local server.
constexpr DWORD HandlerClassContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// The reference count a COM object reports, read the one way COM offers: an
// AddRef and the Release that undoes it.
ULONG ProbeRefCount(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// Copies a reported content type or cache file name into the record of the
// monitor's URL; a cache file name also means the data is complete.
void CaptureStatus(TRequestCapture& moniter, int32_t tagSID, ULONG statusCode, LPCWSTR statusText) {
  const bool contentType = statusCode == BINDSTATUS_MIMETYPEAVAILABLE;
  if (!contentType && statusCode != BINDSTATUS_CACHEFILENAMEAVAILABLE) return;
  std::string value = WideToAnsi(statusText);
  if (TTarvikDataBuffer* store = TarvikDataBuffer.get()) {
    const TTarvikDataBuffer::Record record = store->GetURLContent(moniter.URL());
    if (contentType)
      record->SetContentType(value);
    else
      record->SetLocalFilename(value);
  }
  if (!contentType) moniter.SetFinished();
  Log([tagSID] { return Format("APPMoniter[%d/%d].ReportProgress", tagSID, static_cast<int>(MoniterCount())); },
      [&] { return (contentType ? "Set URLContent.ContentType=" : "Set URLContent.LocalFilename=") + value; });
}

// Every COM method below keeps its exceptions inside: what escapes a body
// becomes this failure. Trace lines never throw (Log), so a result
// a handler or sink gave is passed on as it is.
constexpr TComFailure MoniterFailure{.Result = E_UNEXPECTED};

// What the response's own headers say of its body's length, asked of the
// handler itself, so a request whose sink was not wrapped (a URL already in
// the store) is judged like the first one.
TRequestCapture::TLength ResponseLength(IInternetProtocol* handler) {
  ComPtr<IWinInetHttpInfo> info;
  if (!handler || FAILED(handler->QueryInterface(IID_IWinInetHttpInfo, info.PutVoid())) || !info) return {};
  // With a content encoding the length counts the encoded bytes, and the
  // platform hands the browser the decoded ones: nothing to compare with.
  // The value's characters do not matter, only whether there is one (the
  // platform answers a missing header with an empty buffer).
  char encoding[256] = {};
  DWORD size = sizeof(encoding);
  if (info->QueryInfo(HTTP_QUERY_CONTENT_ENCODING, encoding, &size, nullptr, nullptr) == S_OK &&
      std::any_of(encoding, encoding + std::min<DWORD>(size, sizeof(encoding)), [](char c) { return c != 0; }))
    return {true, 0};
  DWORD length = 0;
  size = sizeof(length);
  if (info->QueryInfo(HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &length, &size, nullptr, nullptr) != S_OK)
    length = 0;
  return {true, length};
}

}  // namespace

// ---------------------------------------------------------------- monitor

TTarvikAPPMoniter::TTarvikAPPMoniter() : FCapture(std::make_shared<TRequestCapture>(++GMoniterSerial)) {
  ++GMoniterCount;
}

void TTarvikAPPMoniter::AfterConstruction() {
  {
    TMoniterList& list = MoniterList();
    std::lock_guard<std::mutex> guard(list.Lock);
    list.Items.push_back(this);
  }
  Trace("AfterConstruction", [] { return Format("%d totally.", static_cast<int>(MoniterCount())); });
  FLocked = false;
  FComInit = ::CoInitialize(nullptr);
  FComInitThread = ::GetCurrentThreadId();
}

TTarvikAPPMoniter::~TTarvikAPPMoniter() {
  Trace("BeforeDestruction");
  SetIPHandler(nullptr);
  // Only the thread that initialised may undo it: on another thread this
  // would tear down an apartment that someone else set up.
  if (SUCCEEDED(FComInit) && ::GetCurrentThreadId() == FComInitThread) ::CoUninitialize();
  {
    TMoniterList& list = MoniterList();
    std::lock_guard<std::mutex> guard(list.Lock);
    auto it = std::find(list.Items.begin(), list.Items.end(), this);
    if (it != list.Items.end()) list.Items.erase(it);
  }
  const LONG remaining = --GMoniterCount;
  Trace("Destroy", [remaining] { return Format("%d remaining", static_cast<int>(remaining)); });
}

template <class Operation, class Message>
void TTarvikAPPMoniter::Trace(Operation&& operation, Message&& message) const noexcept {
  Log(
      [&] {
        return Format("APPMoniter[%d/%d].", FCapture->SID, static_cast<int>(MoniterCount())) + TraceText(operation);
      },
      message);
}

ComPtr<IInternetProtocol> TTarvikAPPMoniter::IPHandler() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FIPHandler;
}

ComPtr<IInternetProtocolSink> TTarvikAPPMoniter::OIPSink() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FOIPSink;
}

template <class T>
void TTarvikAPPMoniter::ReplaceReference(ComPtr<T>& field, T* value, const char* name) {
  ComPtr<T> old;
  ULONG count = 0;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (field) count = ProbeRefCount(field.Get());
    old = std::move(field);
    field = value;
  }
  if (!value) Trace([&] { return Format("%s=nil (RefCount=%d)", name, static_cast<int>(count)); });
  // The last reference may go here; never under our lock.
  old = nullptr;
}

template <class Target, class Call, class... Before>
HRESULT TTarvikAPPMoniter::Forward(const char* operation, Call&& call, Before&&... before) noexcept {
  // The two sides have always traced their results differently.
  constexpr bool toHandler = std::is_same_v<Target, IInternetProtocol>;
  return ComBoundary(MoniterFailure, [&] {
    (Trace(operation, before), ...);
    const ComPtr<Target> target = [this] {
      if constexpr (toHandler)
        return IPHandler();
      else
        return OIPSink();
    }();
    const HRESULT result = target ? call(*target) : E_UNEXPECTED;
    Trace(operation, [result] { return Format(toHandler ? "HRESULT=%08X" : "HRESULT: %08X", Hex(result)); });
    return result;
  });
}

void TTarvikAPPMoniter::SetOIPSink(IInternetProtocolSink* value) { ReplaceReference(FOIPSink, value, "SetOIPSink"); }

void TTarvikAPPMoniter::SetIPHandler(IInternetProtocol* value) { ReplaceReference(FIPHandler, value, "SetIPHandler"); }

STDMETHODIMP TTarvikAPPMoniter::QueryInterface(REFIID riid, void** ppv) {
  return ComBoundary(MoniterFailure, [&] {
    const HRESULT own = QueryOwnInterface(riid, ppv);
    if (SUCCEEDED(own) || !ppv) return own;
    if (ComPtr<IInternetProtocolSink> outer = OIPSink()) return outer->QueryInterface(riid, ppv);
    return own;
  });
}

CLSID TTarvikAPPMoniter::GetProtocolHandlerCLSID(const std::string& scheme) {
  CLSID clsid = GUID_NULL;
  const std::string path = "Protocols\\Handler\\" + scheme;
  UniqueHKey key;
  LONG opened = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_ALL_ACCESS, key.Put());
  // A user without write access to the machine's classes still needs its
  // handler: reading is all this lookup does.
  if (opened == ERROR_ACCESS_DENIED)
    opened = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.Put());
  if (opened != ERROR_SUCCESS) return GUID_NULL;

  char text[128] = {};
  DWORD type = 0;
  DWORD size = sizeof(text) - 1;
  if (::RegQueryValueExA(key.Get(), "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    // A value that is not a GUID in registry text form means no handler.
    if (!ParseGuidText(std::string(text, ::strnlen(text, size)), &clsid)) clsid = GUID_NULL;
  }
  key.Reset();
  Trace("GetProtocolHandlerCLSID", [&] { return "Protocol=" + scheme + "; CLSID=" + GuidText(clsid); });
  return clsid;
}

STDMETHODIMP TTarvikAPPMoniter::Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink, IInternetBindInfo* pOIBindInfo,
                                      DWORD grfPI, HANDLE_PTR dwReserved) {
  return ComBoundary(MoniterFailure, [&] {
    // The record's key keeps every character (a code page would not); the
    // handler below still gets szUrl exactly as the browser gave it.
    std::string url = szUrl ? AsciiUrl(std::wstring_view(szUrl)) : std::string();
    FCapture->Begin(url);
    Trace("Start.Enter", [&] { return "URL=" + url; });
    if (ITarvikRuntime* runtime = Runtime.Get())
      runtime->InformEvent(static_cast<int32_t>(::GetCurrentThreadId()), 0, CategoryDownload, EventStart, url);

    Trace("Start.CreateProtocolHandler");
    {
      ComPtr<IInternetProtocol> previous;
      {
        std::lock_guard<std::mutex> guard(FLock);
        previous = std::move(FIPHandler);
      }
    }
    FTerminated = false;
    const wchar_t* colon = szUrl ? std::wcschr(szUrl, L':') : nullptr;
    const std::string scheme =
        colon ? WideToAnsi(std::wstring_view(szUrl, static_cast<size_t>(colon - szUrl))) : std::string();
    const CLSID clsid = GetProtocolHandlerCLSID(scheme);
    ComPtr<IInternetProtocol> handler;
    ::CoCreateInstance(clsid, nullptr, HandlerClassContext, IID_IInternetProtocol, handler.PutVoid());
    {
      std::lock_guard<std::mutex> guard(FLock);
      FIPHandler = handler;
    }
    Trace("Start.ProtocolHandler Created");
    Trace("Start.InvokeProtocolHandler.Start");

    // The first request of a URL gets the wrapper that captures its content
    // type and cache file name; later ones talk to the browser's sink.
    ComPtr<IInternetProtocolSink> sink(pOIProtSink);
    TTarvikDataBuffer* store = TarvikDataBuffer.get();
    if (pOIProtSink && !(store && store->Exists(url))) {
      sink = TInterfacedObject::Create<TTarvikIPSink>(FCapture, pOIProtSink);
      Trace("Start.InvokeProtocolHandler.With wrapped IPSink");
    }
    const HRESULT result = handler ? handler->Start(szUrl, sink.Get(), pOIBindInfo, grfPI, dwReserved) : E_UNEXPECTED;
    Trace("Start.ReturnedFromHandler.Start", [result] { return Format("HRESULT=%08X", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::Continue(PROTOCOLDATA* pProtocolData) {
  return Forward<IInternetProtocol>("Continue", [&](auto& handler) { return handler.Continue(pProtocolData); });
}

STDMETHODIMP TTarvikAPPMoniter::Abort(HRESULT hrReason, DWORD dwOptions) {
  return ComBoundary(MoniterFailure, [&] {
    Trace("Abort", [this] { return Format("Locked: %s; Finished: %s", BoolText(Locked()), BoolText(Finished())); });
    FCapture->SetFinished();
    ComPtr<IInternetProtocol> handler = IPHandler();
    const HRESULT result = handler ? handler->Abort(hrReason, dwOptions) : E_UNEXPECTED;
    Trace("Abort", [&] { return Format("hrReason=%08X; HRESULT=%08X", Hex(hrReason), Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::Terminate(DWORD dwOptions) {
  return ComBoundary(MoniterFailure, [&] {
    Trace("Terminate", [this] { return Format("Locked=%s; ReadDone=%s", BoolText(Locked()), BoolText(Finished())); });
    HRESULT result = E_UNEXPECTED;
    if (ComPtr<IInternetProtocol> handler = IPHandler()) {
      result = handler->Terminate(dwOptions);
      FTerminated = true;
      handler = nullptr;  // the count traced below is the field's alone
      if (Finished()) SetOIPSink(nullptr);
      if (!Locked()) SetIPHandler(nullptr);
    }
    Trace("Terminate", [&] { return Format("Locked=%s; HRESULT=%08X", BoolText(Locked()), Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::Suspend() {
  return Forward<IInternetProtocol>("Suspend", [&](auto& handler) { return handler.Suspend(); });
}

STDMETHODIMP TTarvikAPPMoniter::Resume() {
  return Forward<IInternetProtocol>("Resume", [&](auto& handler) { return handler.Resume(); });
}

void TTarvikAPPMoniter::EndOfData(IInternetProtocol* handler) {
  const TRequestCapture::TEnd end = FCapture->End(ResponseLength(handler));
  // The store's record is written outside the capture's lock; the record
  // replaces the bytes and their length together.
  if (end.Body || end.NotKept) {
    if (TTarvikDataBuffer* store = TarvikDataBuffer.get()) {
      const TTarvikDataBuffer::Record record = store->GetURLContent(end.URL);
      // A whole body the temporary file could not take: the save names it.
      record->SetTooLargeToKeep(!end.Body);
      if (end.Body) record->SetContent(end.Body, end.ReadLength);
    }
  }
  Trace("Read.Finished(S_FALSE)", [&] {
    return Format("ReadLength=%d; Len(Content)=%d", static_cast<int>(end.ReadLength), static_cast<int>(end.Length));
  });
  if (end.Cut)
    Trace("Read.Incomplete", [&] {
      return Format("ReadLength=%d; ProgressMax=%d", static_cast<int>(end.ReadLength), static_cast<int>(end.Announced));
    });
}

STDMETHODIMP TTarvikAPPMoniter::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  return ComBoundary(MoniterFailure, [&] {
    HRESULT result = E_UNEXPECTED;
    // The handler's result stands whatever the capture met.
    NoThrow([&] {
      if (ComPtr<IInternetProtocol> handler = IPHandler()) {
        result = handler->Read(pv, cb, pcbRead);
        // A handler may claim more than the buffer holds: capture only what
        // the buffer can hold, and pass the claim on untouched.
        const ULONG reported = pcbRead ? *pcbRead : 0;
        FCapture->Append(pv, pv ? std::min(reported, cb) : 0);
        if (result == S_FALSE) EndOfData(handler.Get());
      }
    });
    Trace("Read", [&] {
      return Format("cb=%d; cbRead=%d; HRESULT=%08X", static_cast<int>(cb), pcbRead ? static_cast<int>(*pcbRead) : 0,
                    Hex(result));
    });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  return Forward<IInternetProtocol>("Seek",
                                    [&](auto& handler) { return handler.Seek(dlibMove, dwOrigin, plibNewPosition); });
}

STDMETHODIMP TTarvikAPPMoniter::LockRequest(DWORD dwOptions) {
  return ComBoundary(MoniterFailure, [&] {
    ComPtr<IInternetProtocol> handler = IPHandler();
    const HRESULT result = handler ? handler->LockRequest(dwOptions) : E_UNEXPECTED;
    if (SUCCEEDED(result)) FLocked = true;
    Trace("LockRequest", [result] { return Format("HRESULT=%08X", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::UnlockRequest() {
  return ComBoundary(MoniterFailure, [&] {
    ComPtr<IInternetProtocol> handler = IPHandler();
    const HRESULT result = handler ? handler->UnlockRequest() : E_UNEXPECTED;
    handler = nullptr;
    if (SUCCEEDED(result)) {
      FLocked = false;
      // The URL moniker library may unlock before it terminates; the handler
      // must still get its Terminate, or it never lets go of its connection
      // and the sink it holds (and through it this monitor).
      if (Finished() && FTerminated) {
        SetOIPSink(nullptr);
        SetIPHandler(nullptr);
      }
    }
    Trace("UnlockRequest", [result] { return Format("HRESULT=%08X", Hex(result)); });
    return result;
  });
}

// The monitor's own sink: nothing in the library fills OIPSink, but whoever
// does gets every call forwarded.
STDMETHODIMP TTarvikAPPMoniter::Switch(PROTOCOLDATA* pProtocolData) {
  return Forward<IInternetProtocolSink>(
      "Switch", [&](auto& sink) { return sink.Switch(pProtocolData); }, "");
}

STDMETHODIMP TTarvikAPPMoniter::ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) {
  return ComBoundary(MoniterFailure, [&] {
    Trace("ReportProgress", [&] {
      return Format("StatusCode: %d; StatusText: %s", static_cast<int>(ulStatusCode), WideToAnsi(szStatusText).c_str());
    });
    // Memory ran out: this report is not captured; it still goes on.
    NoThrow([&] { CaptureStatus(*FCapture, FCapture->SID, ulStatusCode, szStatusText); });
    ComPtr<IInternetProtocolSink> sink = OIPSink();
    const HRESULT result = sink ? sink->ReportProgress(ulStatusCode, szStatusText) : E_UNEXPECTED;
    Trace("ReportProgress", [result] { return Format("HRESULT: %08X", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) {
  return ComBoundary(MoniterFailure, [&] {
    Trace([&] { return Format("ReportData (%d/%d)", static_cast<int>(ulProgress), static_cast<int>(ulProgressMax)); });
    if (ulProgressMax) FCapture->Announce(ulProgressMax);
    ComPtr<IInternetProtocolSink> sink = OIPSink();
    const HRESULT result = sink ? sink->ReportData(grfBSCF, ulProgress, ulProgressMax) : E_UNEXPECTED;
    Trace([result] { return Format("ReportData HRESULT=%08X", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikAPPMoniter::ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) {
  return Forward<IInternetProtocolSink>(
      "ReportResult ", [&](auto& sink) { return sink.ReportResult(hrResult, dwError, szResult); },
      [&] {
        return Format("hrResult: %08X; dwError: %08X; szResult: %s", Hex(hrResult), static_cast<unsigned>(dwError),
                      WideToAnsi(szResult).c_str());
      });
}

// ---------------------------------------------------------------- sink wrapper

TTarvikIPSink::TTarvikIPSink(std::shared_ptr<TRequestCapture> moniter, IInternetProtocolSink* sink)
    : FSID((++GIPSinkCount, static_cast<int32_t>(++GIPSinkSerial))), FMoniter(std::move(moniter)) {
  Line("Enter",
       [this] { return Format("Constructor (MoniterSID=%d, URL=%s)", FMoniter->SID, FMoniter->URL().c_str()); });
  FWrappedSink = sink;
  Line("Leave", "");
}

TTarvikIPSink::~TTarvikIPSink() {
  Line("Enter", [this] { return Format("Destructor (MoniterSID=%d)", FMoniter->SID); });
  FWrappedSink = nullptr;
  const LONG remaining = --GIPSinkCount;
  Line("Leave", [remaining] { return Format("Destructor (Remaining=%d)", static_cast<int>(remaining)); });
}

template <class Message>
void TTarvikIPSink::Line(const char* side, Message&& message) const noexcept {
  Log(
      [&] {
        return Format("IPSink[%d/%d].%s (RefCount=%d)", FSID, static_cast<int>(IPSinkCount()), side,
                      static_cast<int>(RefCount()));
      },
      message);
}

// Each method passes on the browser's sink's answer as it is; what escapes
// the wrapper's own work ends at its boundary.

STDMETHODIMP TTarvikIPSink::QueryInterface(REFIID riid, void** ppv) {
  return ComBoundary(MoniterFailure, [&] {
    const HRESULT own = QueryOwnInterface(riid, ppv);
    if (SUCCEEDED(own) || !ppv) return own;
    return FWrappedSink->QueryInterface(riid, ppv);
  });
}

STDMETHODIMP TTarvikIPSink::Switch(PROTOCOLDATA* pProtocolData) {
  return ComBoundary(MoniterFailure, [&] {
    Line("Enter", [] { return Format("Switch (CurrentThreadID=%d)", static_cast<int>(::GetCurrentThreadId())); });
    const HRESULT result = FWrappedSink->Switch(pProtocolData);
    Line("Leave", [result] { return Format("Switch (HRESULT=%X)", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikIPSink::ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) {
  return ComBoundary(MoniterFailure, [&] {
    Line("Enter", [&] {
      return Format("ReportProgress (StatusCode=%d, StatusText=%s)", static_cast<int>(ulStatusCode),
                    WideToAnsi(szStatusText).c_str());
    });
    // The browser sees the report first; the capture does not depend on its answer.
    const HRESULT result = FWrappedSink->ReportProgress(ulStatusCode, szStatusText);
    // Memory ran out: this report is not captured; the browser's answer stands.
    NoThrow([&] { CaptureStatus(*FMoniter, FSID, ulStatusCode, szStatusText); });
    Line("Leave", [result] { return Format("ReportProgress (HRESULT=%X)", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikIPSink::ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) {
  return ComBoundary(MoniterFailure, [&] {
    Line("Enter", [&] {
      return Format("ReportData (BSCF=%X, Progress=%d, ProgressMax=%d)", static_cast<unsigned>(grfBSCF),
                    static_cast<int>(ulProgress), static_cast<int>(ulProgressMax));
    });
    // The announced size lets the monitor hold the body in one piece; the
    // browser reads in response to this call, so it is noted first.
    NoThrow([&] {
      if (ulProgressMax) FMoniter->Announce(ulProgressMax);
    });
    const HRESULT result = FWrappedSink->ReportData(grfBSCF, ulProgress, ulProgressMax);
    Line("Leave", [result] { return Format("ReportData (HRESULT=%X)", Hex(result)); });
    return result;
  });
}

STDMETHODIMP TTarvikIPSink::ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) {
  return ComBoundary(MoniterFailure, [&] {
    Line("Enter", [&] {
      return Format("ReportResult (hrResult=%X, dwError=%X, szResult=%s)", Hex(hrResult),
                    static_cast<unsigned>(dwError), WideToAnsi(szResult).c_str());
    });
    const HRESULT result = FWrappedSink->ReportResult(hrResult, dwError, szResult);
    Line("Leave", [result] { return Format("ReportResult (HRESULT=%X)", Hex(result)); });
    return result;
  });
}

// ---------------------------------------------------------------- process-wide

HRESULT CreateAPPMoniter(REFIID riid, void** ppv) {
  // A monitor that cannot be made leaves nothing in ppv (the query sets it).
  if (ppv) *ppv = nullptr;
  return ComBoundary(MoniterFailure, [&] {
    ComPtr<TTarvikAPPMoniter> moniter = TInterfacedObject::Create<TTarvikAPPMoniter>();
    // A failed query leaves the new monitor to be destroyed with this holder.
    return moniter->QueryInterface(riid, ppv);
  });
}

LONG MoniterCount() { return GMoniterCount.load(); }
LONG MoniterSerial() { return GMoniterSerial.load(); }
LONG IPSinkCount() { return GIPSinkCount.load(); }
LONG IPSinkSerial() { return GIPSinkSerial.load(); }

TProtocolMonitors APPMoniters() noexcept { return {&CreateAPPMoniter, &RemainingMoniterSIDs}; }

std::vector<int32_t> RemainingMoniterSIDs() {
  TMoniterList& list = MoniterList();
  std::lock_guard<std::mutex> guard(list.Lock);
  std::vector<int32_t> sids;
  sids.reserve(list.Items.size());
  for (const TTarvikAPPMoniter* moniter : list.Items) sids.push_back(moniter->SID());
  return sids;
}

}  // namespace tarvik
