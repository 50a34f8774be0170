#pragma once
// The pass-through protocol object that stands between the URL moniker
// library and the real http/https handlers (TTarvikAPPMoniter), and the
// wrapper of the browser's protocol sink that it hands to the handler
// (TTarvikIPSink). Every call is forwarded with its result unchanged; on the
// way the bytes read, the content type and the cache file name of each URL
// are copied into the captured content store.
#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"
#include "framework/WinText.h"
#include "protocol/CaptureBuffer.h"

namespace tarvik {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidText(const GUID& guid);
// Reads the registry's text form of a GUID, nothing else (no ProgIDs).
bool ParseGuidText(const std::string& text, GUID* guid);

// What a monitor shares with its sink wrappers. The wrappers hold it
// counted, so one that outlives its monitor (a handler keeping the sink)
// still reads valid memory, and no reference cycle runs through the monitor.
class TMoniterState {
 public:
  explicit TMoniterState(int32_t sid) noexcept : SID(sid) {}
  const int32_t SID;

  std::string URL() const;
  void SetURL(std::string url);
  bool Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }
  void SetFinished() noexcept { FFinished.store(true, std::memory_order_release); }
  // The body size the handler announced (its progress maximum); 0 if none.
  size_t ExpectedSize() const noexcept { return FExpectedSize.load(std::memory_order_relaxed); }
  void SetExpectedSize(size_t size) noexcept { FExpectedSize.store(size, std::memory_order_relaxed); }

 private:
  mutable std::mutex FLock;
  std::string FURL;
  std::atomic<bool> FFinished{false};
  std::atomic<size_t> FExpectedSize{0};
};

class TTarvikAPPMoniter final : public TInterfacedImpl<IInternetProtocolSink, IInternetProtocol> {
 public:
  // Own interfaces first; any other goes to OIPSink when there is one.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

  // IInternetProtocolSink: forwards to OIPSink.
  STDMETHODIMP Switch(PROTOCOLDATA* pProtocolData) override;
  STDMETHODIMP ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) override;
  STDMETHODIMP ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) override;
  STDMETHODIMP ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) override;

  // IInternetProtocol: forwards to IPHandler.
  STDMETHODIMP Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink, IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                     HANDLE_PTR dwReserved) override;
  STDMETHODIMP Continue(PROTOCOLDATA* pProtocolData) override;
  STDMETHODIMP Abort(HRESULT hrReason, DWORD dwOptions) override;
  STDMETHODIMP Terminate(DWORD dwOptions) override;
  STDMETHODIMP Suspend() override;
  STDMETHODIMP Resume() override;
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  STDMETHODIMP LockRequest(DWORD dwOptions) override;
  STDMETHODIMP UnlockRequest() override;

  // The CLSID registered for a scheme under HKCR "Protocols\Handler\", or
  // GUID_NULL when the key is missing or its "CLSID" is not a GUID.
  CLSID GetProtocolHandlerCLSID(const std::string& scheme);
  // Counted replacements of the two references, traced when emptied.
  void SetOIPSink(IInternetProtocolSink* value);
  void SetIPHandler(IInternetProtocol* value);

  int32_t SID() const noexcept { return FState->SID; }
  std::string URL() const { return FState->URL(); }
  bool Locked() const noexcept { return FLocked.load(std::memory_order_acquire); }
  bool Finished() const noexcept { return FState->Finished(); }
  int32_t ReadLength() const;
  // A copy of every byte read so far.
  std::string Content() const;
  ComPtr<IInternetProtocol> IPHandler() const;
  ComPtr<IInternetProtocolSink> OIPSink() const;
  const std::shared_ptr<TMoniterState>& State() const noexcept { return FState; }

 private:
  friend class TInterfacedObject;
  TTarvikAPPMoniter();
  ~TTarvikAPPMoniter() override;
  void AfterConstruction() override;

  void Trace(const std::string& operation, const std::string& message) const;
  // A counted replacement that reads the old object's count first.
  template <class T>
  void ReplaceReference(ComPtr<T>& field, T* value, const char* name);
  // Appends what one Read delivered; at the end of the data, stores it.
  void Capture(const void* data, ULONG size, bool endOfData);

  const std::shared_ptr<TMoniterState> FState;
  mutable std::mutex FLock;  // the two references and the capture
  ComPtr<IInternetProtocolSink> FOIPSink;
  ComPtr<IInternetProtocol> FIPHandler;
  TCaptureBuffer FContent;
  int32_t FReadLength = 0;
  bool FCaptureFailed = false;  // memory ran out: store nothing rather than a body with a hole
  std::atomic<bool> FLocked{false};
  std::atomic<bool> FTerminated{false};  // the current handler has had its Terminate
  // CoInitialize is balanced only on the thread that made it.
  HRESULT FComInit = E_FAIL;
  DWORD FComInitThread = 0;
};

class TTarvikIPSink final : public TInterfacedImpl<IInternetProtocolSink> {
 public:
  // The wrapper's own interfaces first; any other is the wrapped sink's.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP Switch(PROTOCOLDATA* pProtocolData) override;
  STDMETHODIMP ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) override;
  STDMETHODIMP ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) override;
  STDMETHODIMP ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult) override;

  int32_t SID() const noexcept { return FSID; }
  IInternetProtocolSink* WrappedSink() const noexcept { return FWrappedSink.Get(); }

 private:
  friend class TInterfacedObject;
  TTarvikIPSink(std::shared_ptr<TMoniterState> moniter, IInternetProtocolSink* sink);
  ~TTarvikIPSink() override;

  void Enter(const std::string& message) const;
  void Leave(const std::string& message) const;

  const int32_t FSID;
  const std::shared_ptr<TMoniterState> FMoniter;
  ComPtr<IInternetProtocolSink> FWrappedSink;
};

// A new protocol monitor, queried for riid (the runtime's CreateInstance).
HRESULT CreateAPPMoniter(REFIID riid, void** ppv);
// Monitors alive now.
LONG MoniterCount();
// SIDs of the live monitors, in creation order (the unload report).
std::vector<int32_t> RemainingMoniterSIDs();
// Last monitor SID issued.
LONG MoniterSerial();
// Sink wrappers alive now, and the last wrapper SID issued.
LONG IPSinkCount();
LONG IPSinkSerial();

}  // namespace tarvik
