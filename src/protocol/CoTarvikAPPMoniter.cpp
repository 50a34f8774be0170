#include "protocol/CoTarvikAPPMoniter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "core/ClassTarvikRuntime.h"
#include "core/Trace.h"
#include "framework/Handles.h"

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

// Trace lines go through the runtime; they are built only when they can
// reach someone (a trace sink), which keeps them off the cost of every Read.
bool Tracing() noexcept { return Runtime && TraceActive(); }

// Copies a reported content type or cache file name into the record of the
// monitor's URL; a cache file name also means the data is complete.
void CaptureStatus(TMoniterState& moniter, int32_t tagSID, ULONG statusCode, LPCWSTR statusText) {
  const bool contentType = statusCode == BINDSTATUS_MIMETYPEAVAILABLE;
  if (!contentType && statusCode != BINDSTATUS_CACHEFILENAMEAVAILABLE) return;
  std::string value = WideToAnsi(statusText);
  if (TTarvikDataBuffer* store = TarvikDataBuffer.get()) {
    TURLContent& record = store->GetURLContent(moniter.URL());
    if (contentType)
      record.SetContentType(value);
    else
      record.SetLocalFilename(value);
  }
  if (!contentType) moniter.SetFinished();
  if (Tracing())
    RuntimeLog(Format("APPMoniter[%d/%d].ReportProgress", tagSID, static_cast<int>(MoniterCount())),
               (contentType ? "Set URLContent.ContentType=" : "Set URLContent.LocalFilename=") + value);
}

}  // namespace

// ---------------------------------------------------------------- helpers


std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool ParseGuidText(const std::string& text, GUID* guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  unsigned char bytes[16];
  size_t count = 0;
  for (size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return false;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = nibble(text[i]);
    const int low = nibble(text[i + 1]);
    if (high < 0 || low < 0 || i + 1 == 9 || i + 1 == 14 || i + 1 == 19 || i + 1 == 24) return false;
    bytes[count++] = static_cast<unsigned char>(high << 4 | low);
    ++i;
  }
  if (count != 16 || !guid) return count == 16;
  guid->Data1 = static_cast<unsigned long>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
  guid->Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
  guid->Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

// ---------------------------------------------------------------- shared state

std::string TMoniterState::URL() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FURL;
}

void TMoniterState::SetURL(std::string url) {
  std::lock_guard<std::mutex> guard(FLock);
  FURL.swap(url);
}

// ---------------------------------------------------------------- monitor

TTarvikAPPMoniter::TTarvikAPPMoniter() : FState(std::make_shared<TMoniterState>(++GMoniterSerial)) { ++GMoniterCount; }

void TTarvikAPPMoniter::AfterConstruction() {
  {
    TMoniterList& list = MoniterList();
    std::lock_guard<std::mutex> guard(list.Lock);
    list.Items.push_back(this);
  }
  Trace("AfterConstruction", Format("%d totally.", static_cast<int>(MoniterCount())));
  FLocked = false;
  FComInit = ::CoInitialize(nullptr);
  FComInitThread = ::GetCurrentThreadId();
}

TTarvikAPPMoniter::~TTarvikAPPMoniter() {
  Trace("BeforeDestruction", "");
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
  Trace("Destroy", Format("%d remaining", static_cast<int>(remaining)));
}

void TTarvikAPPMoniter::Trace(const std::string& operation, const std::string& message) const {
  if (!Tracing()) return;
  try {
    RuntimeLog(Format("APPMoniter[%d/%d].", FState->SID, static_cast<int>(MoniterCount())) + operation, message);
  } catch (...) {
    // A trace line never changes what a call returns.
  }
}

ComPtr<IInternetProtocol> TTarvikAPPMoniter::IPHandler() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FIPHandler;
}

ComPtr<IInternetProtocolSink> TTarvikAPPMoniter::OIPSink() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FOIPSink;
}

int32_t TTarvikAPPMoniter::ReadLength() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FReadLength;
}

std::string TTarvikAPPMoniter::Content() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FContent.Copy();
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
  if (!value && Tracing()) Trace(Format("%s=nil (RefCount=%d)", name, static_cast<int>(count)), "");
  // The last reference may go here; never under our lock.
  old = nullptr;
}

void TTarvikAPPMoniter::SetOIPSink(IInternetProtocolSink* value) { ReplaceReference(FOIPSink, value, "SetOIPSink"); }

void TTarvikAPPMoniter::SetIPHandler(IInternetProtocol* value) { ReplaceReference(FIPHandler, value, "SetIPHandler"); }

STDMETHODIMP TTarvikAPPMoniter::QueryInterface(REFIID riid, void** ppv) {
  const HRESULT own = QueryOwnInterface(riid, ppv);
  if (SUCCEEDED(own) || !ppv) return own;
  if (ComPtr<IInternetProtocolSink> outer = OIPSink()) return outer->QueryInterface(riid, ppv);
  return own;
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
  Trace("GetProtocolHandlerCLSID", "Protocol=" + scheme + "; CLSID=" + GuidText(clsid));
  return clsid;
}

STDMETHODIMP TTarvikAPPMoniter::Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                                      IInternetBindInfo* pOIBindInfo, DWORD grfPI, HANDLE_PTR dwReserved) {
  try {
    std::string url = WideToAnsi(szUrl);
    FState->SetURL(url);
    Trace("Start.Enter", "URL=" + url);
    if (ITarvikRuntime* runtime = Runtime.Get())
      runtime->InformEvent(static_cast<int32_t>(::GetCurrentThreadId()), 0, CategoryDownload, EventStart, url);

    Trace("Start.CreateProtocolHandler", "");
    {
      ComPtr<IInternetProtocol> previous;
      {
        std::lock_guard<std::mutex> guard(FLock);
        previous = std::move(FIPHandler);
      }
    }
    FTerminated = false;
    FState->SetExpectedSize(0);
    const wchar_t* colon = szUrl ? std::wcschr(szUrl, L':') : nullptr;
    const std::string scheme = colon ? WideToAnsi(std::wstring_view(szUrl, static_cast<size_t>(colon - szUrl))) : std::string();
    const CLSID clsid = GetProtocolHandlerCLSID(scheme);
    ComPtr<IInternetProtocol> handler;
    ::CoCreateInstance(clsid, nullptr, HandlerClassContext, IID_IInternetProtocol, handler.PutVoid());
    {
      std::lock_guard<std::mutex> guard(FLock);
      FIPHandler = handler;
    }
    Trace("Start.ProtocolHandler Created", "");
    Trace("Start.InvokeProtocolHandler.Start", "");

    // The first request of a URL gets the wrapper that captures its content
    // type and cache file name; later ones talk to the browser's sink.
    ComPtr<IInternetProtocolSink> sink(pOIProtSink);
    TTarvikDataBuffer* store = TarvikDataBuffer.get();
    if (pOIProtSink && !(store && store->Exists(url))) {
      sink = TInterfacedObject::Create<TTarvikIPSink>(FState, pOIProtSink);
      Trace("Start.InvokeProtocolHandler.With wrapped IPSink", "");
    }
    const HRESULT result =
        handler ? handler->Start(szUrl, sink.Get(), pOIBindInfo, grfPI, dwReserved) : E_UNEXPECTED;
    Trace("Start.ReturnedFromHandler.Start", Format("HRESULT=%08X", Hex(result)));
    return result;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

STDMETHODIMP TTarvikAPPMoniter::Continue(PROTOCOLDATA* pProtocolData) {
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->Continue(pProtocolData) : E_UNEXPECTED;
  if (Tracing()) Trace("Continue", Format("HRESULT=%08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::Abort(HRESULT hrReason, DWORD dwOptions) {
  Trace("Abort", Format("Locked: %s; Finished: %s", BoolText(Locked()), BoolText(Finished())));
  FState->SetFinished();
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->Abort(hrReason, dwOptions) : E_UNEXPECTED;
  Trace("Abort", Format("hrReason=%08X; HRESULT=%08X", Hex(hrReason), Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::Terminate(DWORD dwOptions) {
  Trace("Terminate", Format("Locked=%s; ReadDone=%s", BoolText(Locked()), BoolText(Finished())));
  HRESULT result = E_UNEXPECTED;
  if (ComPtr<IInternetProtocol> handler = IPHandler()) {
    result = handler->Terminate(dwOptions);
    FTerminated = true;
    handler = nullptr;  // the count traced below is the field's alone
    if (Finished()) SetOIPSink(nullptr);
    if (!Locked()) SetIPHandler(nullptr);
  }
  Trace("Terminate", Format("Locked=%s; HRESULT=%08X", BoolText(Locked()), Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::Suspend() {
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->Suspend() : E_UNEXPECTED;
  Trace("Suspend", Format("HRESULT=%08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::Resume() {
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->Resume() : E_UNEXPECTED;
  Trace("Resume", Format("HRESULT=%08X", Hex(result)));
  return result;
}

void TTarvikAPPMoniter::Capture(const void* data, ULONG size, bool endOfData) {
  TCaptureBuffer::Bytes published;
  int32_t readLength = 0;
  size_t contentLength = 0;
  size_t expected = 0;
  bool incomplete = false;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FCaptureFailed && size > 0) {
      try {
        FContent.ExpectSize(FState->ExpectedSize());
        FContent.Append(data, size);
        FReadLength += static_cast<int32_t>(size);
      } catch (const std::bad_alloc&) {
        FCaptureFailed = true;
      }
    }
    if (!endOfData) return;
    FState->SetFinished();
    // The handler announced more than it delivered: the server cut the
    // transfer short, though the handler ends it like a complete one.
    const size_t announced = FState->ExpectedSize();
    incomplete = announced > FContent.Size();
    if (incomplete) {
      expected = announced;
    } else if (!FCaptureFailed) {
      try {
        published = FContent.Publish();
      } catch (const std::bad_alloc&) {
        FCaptureFailed = true;
      }
    }
    readLength = FReadLength;
    contentLength = FContent.Size();
  }
  // The store's record is written outside our lock; the record replaces the
  // bytes and their length together.
  if (published) {
    if (TTarvikDataBuffer* store = TarvikDataBuffer.get())
      store->GetURLContent(FState->URL()).SetContent(std::move(published), readLength);
  }
  if (!Tracing()) return;
  Trace("Read.Finished(S_FALSE)",
        Format("ReadLength=%d; Len(Content)=%d", static_cast<int>(readLength), static_cast<int>(contentLength)));
  if (incomplete)
    Trace("Read.Incomplete", Format("ReadLength=%d; ProgressMax=%d", static_cast<int>(readLength),
                                    static_cast<int>(expected)));
}

STDMETHODIMP TTarvikAPPMoniter::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  HRESULT result = E_UNEXPECTED;
  try {
    if (ComPtr<IInternetProtocol> handler = IPHandler()) {
      result = handler->Read(pv, cb, pcbRead);
      // A handler may claim more than the buffer holds: capture only what
      // the buffer can hold, and pass the claim on untouched.
      const ULONG reported = pcbRead ? *pcbRead : 0;
      Capture(pv, pv ? std::min(reported, cb) : 0, result == S_FALSE);
    }
    if (Tracing())
      Trace("Read", Format("cb=%d; cbRead=%d; HRESULT=%08X", static_cast<int>(cb),
                         pcbRead ? static_cast<int>(*pcbRead) : 0, Hex(result)));
  } catch (...) {
    // The handler's result stands whatever the capture met.
  }
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->Seek(dlibMove, dwOrigin, plibNewPosition) : E_UNEXPECTED;
  Trace("Seek", Format("HRESULT=%08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::LockRequest(DWORD dwOptions) {
  ComPtr<IInternetProtocol> handler = IPHandler();
  const HRESULT result = handler ? handler->LockRequest(dwOptions) : E_UNEXPECTED;
  if (SUCCEEDED(result)) FLocked = true;
  Trace("LockRequest", Format("HRESULT=%08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::UnlockRequest() {
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
  Trace("UnlockRequest", Format("HRESULT=%08X", Hex(result)));
  return result;
}

// The monitor's own sink: nothing in the library fills OIPSink, but whoever
// does gets every call forwarded.
STDMETHODIMP TTarvikAPPMoniter::Switch(PROTOCOLDATA* pProtocolData) {
  Trace("Switch", "");
  ComPtr<IInternetProtocolSink> sink = OIPSink();
  const HRESULT result = sink ? sink->Switch(pProtocolData) : E_UNEXPECTED;
  Trace("Switch", Format("HRESULT: %08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) {
  try {
    Trace("ReportProgress",
          Format("StatusCode: %d; StatusText: %s", static_cast<int>(ulStatusCode), WideToAnsi(szStatusText).c_str()));
    CaptureStatus(*FState, FState->SID, ulStatusCode, szStatusText);
  } catch (...) {
    // The report still goes on.
  }
  ComPtr<IInternetProtocolSink> sink = OIPSink();
  const HRESULT result = sink ? sink->ReportProgress(ulStatusCode, szStatusText) : E_UNEXPECTED;
  Trace("ReportProgress", Format("HRESULT: %08X", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) {
  if (Tracing()) Trace(Format("ReportData (%d/%d)", static_cast<int>(ulProgress), static_cast<int>(ulProgressMax)), "");
  if (ulProgressMax) FState->SetExpectedSize(ulProgressMax);
  ComPtr<IInternetProtocolSink> sink = OIPSink();
  const HRESULT result = sink ? sink->ReportData(grfBSCF, ulProgress, ulProgressMax) : E_UNEXPECTED;
  if (Tracing()) Trace(Format("ReportData HRESULT=%08X", Hex(result)), "");
  return result;
}

STDMETHODIMP TTarvikAPPMoniter::ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) {
  Trace("ReportResult ", Format("hrResult: %08X; dwError: %08X; szResult: %s", Hex(hrResult),
                                static_cast<unsigned>(dwError), WideToAnsi(szResult).c_str()));
  ComPtr<IInternetProtocolSink> sink = OIPSink();
  const HRESULT result = sink ? sink->ReportResult(hrResult, dwError, szResult) : E_UNEXPECTED;
  Trace("ReportResult ", Format("HRESULT: %08X", Hex(result)));
  return result;
}

// ---------------------------------------------------------------- sink wrapper

TTarvikIPSink::TTarvikIPSink(std::shared_ptr<TMoniterState> moniter, IInternetProtocolSink* sink)
    : FSID((++GIPSinkCount, static_cast<int32_t>(++GIPSinkSerial))), FMoniter(std::move(moniter)) {
  if (Tracing()) Enter(Format("Constructor (MoniterSID=%d, URL=%s)", FMoniter->SID, FMoniter->URL().c_str()));
  FWrappedSink = sink;
  Leave("");
}

TTarvikIPSink::~TTarvikIPSink() {
  if (Tracing()) Enter(Format("Destructor (MoniterSID=%d)", FMoniter->SID));
  FWrappedSink = nullptr;
  const LONG remaining = --GIPSinkCount;
  if (Tracing()) Leave(Format("Destructor (Remaining=%d)", static_cast<int>(remaining)));
}

void TTarvikIPSink::Enter(const std::string& message) const {
  if (!Tracing()) return;
  try {
    RuntimeLog(Format("IPSink[%d/%d].Enter (RefCount=%d)", FSID, static_cast<int>(IPSinkCount()),
                      static_cast<int>(RefCount())),
               message);
  } catch (...) {
  }
}

void TTarvikIPSink::Leave(const std::string& message) const {
  if (!Tracing()) return;
  try {
    RuntimeLog(Format("IPSink[%d/%d].Leave (RefCount=%d)", FSID, static_cast<int>(IPSinkCount()),
                      static_cast<int>(RefCount())),
               message);
  } catch (...) {
  }
}

STDMETHODIMP TTarvikIPSink::QueryInterface(REFIID riid, void** ppv) {
  const HRESULT own = QueryOwnInterface(riid, ppv);
  if (SUCCEEDED(own) || !ppv) return own;
  return FWrappedSink->QueryInterface(riid, ppv);
}

STDMETHODIMP TTarvikIPSink::Switch(PROTOCOLDATA* pProtocolData) {
  if (Tracing()) Enter(Format("Switch (CurrentThreadID=%d)", static_cast<int>(::GetCurrentThreadId())));
  const HRESULT result = FWrappedSink->Switch(pProtocolData);
  if (Tracing()) Leave(Format("Switch (HRESULT=%X)", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikIPSink::ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) {
  try {
    if (Tracing())
      Enter(Format("ReportProgress (StatusCode=%d, StatusText=%s)", static_cast<int>(ulStatusCode),
                   WideToAnsi(szStatusText).c_str()));
  } catch (...) {
  }
  // The browser sees the report first; the capture does not depend on its answer.
  const HRESULT result = FWrappedSink->ReportProgress(ulStatusCode, szStatusText);
  try {
    CaptureStatus(*FMoniter, FSID, ulStatusCode, szStatusText);
  } catch (...) {
  }
  if (Tracing()) Leave(Format("ReportProgress (HRESULT=%X)", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikIPSink::ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) {
  if (Tracing())
    Enter(Format("ReportData (BSCF=%X, Progress=%d, ProgressMax=%d)", static_cast<unsigned>(grfBSCF),
                 static_cast<int>(ulProgress), static_cast<int>(ulProgressMax)));
  // The announced size lets the monitor hold the body in one piece; the
  // browser reads in response to this call, so it is noted first.
  if (ulProgressMax) FMoniter->SetExpectedSize(ulProgressMax);
  const HRESULT result = FWrappedSink->ReportData(grfBSCF, ulProgress, ulProgressMax);
  if (Tracing()) Leave(Format("ReportData (HRESULT=%X)", Hex(result)));
  return result;
}

STDMETHODIMP TTarvikIPSink::ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) {
  try {
    if (Tracing())
      Enter(Format("ReportResult (hrResult=%X, dwError=%X, szResult=%s)", Hex(hrResult),
                   static_cast<unsigned>(dwError), WideToAnsi(szResult).c_str()));
  } catch (...) {
  }
  const HRESULT result = FWrappedSink->ReportResult(hrResult, dwError, szResult);
  if (Tracing()) Leave(Format("ReportResult (HRESULT=%X)", Hex(result)));
  return result;
}

// ---------------------------------------------------------------- process-wide

HRESULT CreateAPPMoniter(REFIID riid, void** ppv) {
  try {
    ComPtr<TTarvikAPPMoniter> moniter = TInterfacedObject::Create<TTarvikAPPMoniter>();
    // A failed query leaves the new monitor to be destroyed with this holder.
    return moniter->QueryInterface(riid, ppv);
  } catch (const std::bad_alloc&) {
    if (ppv) *ppv = nullptr;
    return E_OUTOFMEMORY;
  }
}

LONG MoniterCount() { return GMoniterCount.load(); }
LONG MoniterSerial() { return GMoniterSerial.load(); }
LONG IPSinkCount() { return GIPSinkCount.load(); }
LONG IPSinkSerial() { return GIPSinkSerial.load(); }

std::vector<int32_t> RemainingMoniterSIDs() {
  TMoniterList& list = MoniterList();
  std::lock_guard<std::mutex> guard(list.Lock);
  std::vector<int32_t> sids;
  sids.reserve(list.Items.size());
  for (const TTarvikAPPMoniter* moniter : list.Items) sids.push_back(moniter->SID());
  return sids;
}

}  // namespace tarvik
