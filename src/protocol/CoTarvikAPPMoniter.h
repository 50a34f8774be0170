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

#include "core/ProtocolMonitors.h"
#include "framework/ComPtr.h"
#include "framework/GuidText.h"
#include "framework/InterfacedObject.h"
#include "framework/WinText.h"
#include "protocol/CaptureBuffer.h"

namespace tarvik {

// States of a request and what three calls do in them:
//   Locked:     a LockRequest succeeded and no UnlockRequest succeeded since.
//   Terminated: the current handler had its Terminate (Start clears it).
//   Finished:   the data ended: Read answered S_FALSE, a cache file name was
//               reported, or Abort came; it stays so.
//
//   call           not Locked                          Locked
//   -------------  ----------------------------------  ----------------------------------
//   Terminate      forwarded; Terminated; handler      forwarded; Terminated; handler
//                  released; sink released when        kept (late reads, UnlockRequest);
//                  Finished                            sink released when Finished
//   UnlockRequest  forwarded; on success, when         forwarded; on success no longer
//                  Terminated and Finished: sink and   Locked, and when Terminated and
//                  handler released                    Finished: sink and handler released
//   Read           forwarded; bytes captured; on S_FALSE Finished, and the bytes stored
//                  unless the transfer was cut (neither state matters)
//
// Whatever the handler answers stands: Terminate marks and releases even when
// it fails; a failed UnlockRequest changes nothing. Without a handler (before
// Start, or once released) each answers E_UNEXPECTED and forwards, captures
// and releases nothing. Terminate traces "Terminate" before and after, each
// release "SetOIPSink=nil"/"SetIPHandler=nil" with the count before it;
// UnlockRequest and Read trace their result after the call, Read also the end
// of the data. Destruction releases what is left.
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

  int32_t SID() const noexcept { return FCapture->SID; }
  std::string URL() const { return FCapture->URL(); }
  bool Locked() const noexcept { return FLocked.load(std::memory_order_acquire); }
  bool Finished() const { return FCapture->Finished(); }
  int32_t ReadLength() const { return FCapture->ReadLength(); }
  // A copy of every byte read so far.
  std::string Content() const { return FCapture->Content(); }
  ComPtr<IInternetProtocol> IPHandler() const;
  ComPtr<IInternetProtocolSink> OIPSink() const;

 private:
  friend class TInterfacedObject;
  TTarvikAPPMoniter();
  ~TTarvikAPPMoniter() override;
  void AfterConstruction() override;

  // "APPMoniter[SID/count]." + operation; see Log.
  template <class Operation, class Message = const char*>
  void Trace(Operation&& operation, Message&& message = "") const noexcept;
  // A counted replacement that reads the old object's count first.
  template <class T>
  void ReplaceReference(ComPtr<T>& field, T* value, const char* name);
  // The plain forwarders: the call passed to the handler (Target
  // IInternetProtocol) or the sink (IInternetProtocolSink), E_UNEXPECTED
  // without one, its result traced after operation; a before message, when
  // given, is traced first.
  template <class Target, class Call, class... Before>
  HRESULT Forward(const char* operation, Call&& call, Before&&... before) noexcept;
  // The end of the data: stores the bytes unless the transfer was cut.
  void EndOfData(IInternetProtocol* handler);

  // The request's capture, shared with its sink wrapper.
  const std::shared_ptr<TRequestCapture> FCapture;
  mutable std::mutex FLock;  // the two references
  ComPtr<IInternetProtocolSink> FOIPSink;
  ComPtr<IInternetProtocol> FIPHandler;
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
  TTarvikIPSink(std::shared_ptr<TRequestCapture> moniter, IInternetProtocolSink* sink);
  ~TTarvikIPSink() override;

  // An "Enter" or "Leave" line; the message as for Log.
  template <class Message>
  void Line(const char* side, Message&& message) const noexcept;

  const int32_t FSID;
  // The monitor's capture, held counted: a wrapper that outlives its
  // monitor (a handler keeping the sink) still reads valid memory, and no
  // reference cycle runs through the monitor.
  const std::shared_ptr<TRequestCapture> FMoniter;
  ComPtr<IInternetProtocolSink> FWrappedSink;
};

// A new protocol monitor, queried for riid (the runtime's CreateInstance).
HRESULT CreateAPPMoniter(REFIID riid, void** ppv);
// Monitors alive now.
LONG MoniterCount();
// SIDs of the live monitors, in creation order (the unload report).
std::vector<int32_t> RemainingMoniterSIDs();
// This layer's monitors, as the runtime makes them (handed to CreateRuntime).
TProtocolMonitors APPMoniters() noexcept;
// Last monitor SID issued.
LONG MoniterSerial();
// Sink wrappers alive now, and the last wrapper SID issued.
LONG IPSinkCount();
LONG IPSinkSerial();

}  // namespace tarvik
