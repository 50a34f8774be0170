#pragma once
// Stand-ins for what surrounds a protocol monitor: a scripted protocol
// handler reached through the registry (HKCR "Protocols\Handler\<scheme>" and
// a class object registered in this process), and a recording sink in the
// place of the browser's.
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"

namespace tarvik::test {

// {6E1C2A40-3B9D-4F57-A1E2-7C0D9B8E5F31}
inline constexpr CLSID CLSID_FakeHandler = {
    0x6e1c2a40, 0x3b9d, 0x4f57, {0xa1, 0xe2, 0x7c, 0x0d, 0x9b, 0x8e, 0x5f, 0x31}};
// Made-up schemes, unique to this process (test programs run side by side
// and share the registry): "tarvik<kind><pid>". Kind "test" names the fake
// handler class, "badclsid" has a "CLSID" that is not a GUID, "noclsid" has
// none, "nokey" has no key at all.
std::string FakeScheme(const char* kind = "test");

// The response headers an http handler tells through IWinInetHttpInfo:
// a header's text, or its number with HTTP_QUERY_FLAG_NUMBER; a header not
// listed is missing (ERROR_HTTP_HEADER_NOT_FOUND).
class FakeHttpInfo final : public TInterfacedImpl<IWinInetHttpInfo> {
 public:
  std::map<DWORD, std::string> Headers;
  STDMETHODIMP QueryOption(DWORD, LPVOID, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP QueryInfo(DWORD option, LPVOID buffer, DWORD* size, DWORD*, DWORD*) override {
    const auto found = Headers.find(option & ~HTTP_QUERY_FLAG_NUMBER);
    if (found == Headers.end()) return HRESULT_FROM_WIN32(ERROR_HTTP_HEADER_NOT_FOUND);
    if (option & HTTP_QUERY_FLAG_NUMBER) {
      if (*size < sizeof(DWORD)) return E_FAIL;
      *static_cast<DWORD*>(buffer) = static_cast<DWORD>(std::stoul(found->second));
      *size = sizeof(DWORD);
      return S_OK;
    }
    if (*size < found->second.size() + 1) return E_FAIL;
    memcpy(buffer, found->second.c_str(), found->second.size() + 1);
    *size = static_cast<DWORD>(found->second.size());
    return S_OK;
  }
};

class FakeHandler final : public TInterfacedImpl<IInternetProtocol> {
 public:
  // When set, the handler answers IWinInetHttpInfo with it, as the platform's http handler does.
  ComPtr<FakeHttpInfo> HttpInfo;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (HttpInfo && ppv && IsEqualIID(riid, IID_IWinInetHttpInfo)) return HttpInfo->QueryInterface(riid, ppv);
    return QueryOwnInterface(riid, ppv);
  }

  struct ReadStep {
    std::string Bytes;
    HRESULT Result = S_OK;
    // When set, the count reported instead of Bytes.size() (a handler that claims too much).
    ULONG Claim = ULONG(-1);
  };

  // Results to give, per operation.
  HRESULT StartResult = S_OK, ContinueResult = S_OK, AbortResult = S_OK, TerminateResult = S_OK, SuspendResult = S_OK,
          ResumeResult = S_OK, SeekResult = S_OK, LockResult = S_OK, UnlockResult = S_OK;
  std::deque<ReadStep> Reads;
  bool KeepSink = true;
  // Runs inside Start with the sink the handler was given.
  std::function<void(IInternetProtocolSink*)> DuringStart;

  // What the handler saw.
  std::vector<std::string> Calls;
  std::wstring Url;
  ComPtr<IInternetProtocolSink> Sink;
  IInternetProtocolSink* SinkGiven = nullptr;
  IInternetBindInfo* BindInfo = nullptr;
  DWORD Flags = 0;
  HANDLE_PTR Reserved = 0;
  HRESULT AbortReason = S_OK;
  DWORD Options = 0;

  STDMETHODIMP Start(LPCWSTR url, IInternetProtocolSink* sink, IInternetBindInfo* info, DWORD flags,
                     HANDLE_PTR reserved) override {
    Calls.push_back("Start");
    Url = url ? url : L"";
    SinkGiven = sink;
    if (KeepSink) Sink = sink;
    BindInfo = info;
    Flags = flags;
    Reserved = reserved;
    if (DuringStart) DuringStart(sink);
    return StartResult;
  }
  STDMETHODIMP Continue(PROTOCOLDATA*) override { return Record("Continue", ContinueResult); }
  STDMETHODIMP Abort(HRESULT reason, DWORD options) override {
    AbortReason = reason;
    Options = options;
    return Record("Abort", AbortResult);
  }
  STDMETHODIMP Terminate(DWORD options) override {
    Options = options;
    return Record("Terminate", TerminateResult);
  }
  STDMETHODIMP Suspend() override { return Record("Suspend", SuspendResult); }
  STDMETHODIMP Resume() override { return Record("Resume", ResumeResult); }
  STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    Calls.push_back("Read");
    if (Reads.empty()) {
      *pcbRead = 0;
      return S_FALSE;
    }
    ReadStep step = Reads.front();
    Reads.pop_front();
    const ULONG count = static_cast<ULONG>(std::min<size_t>(step.Bytes.size(), cb));
    memcpy(pv, step.Bytes.data(), count);
    *pcbRead = step.Claim != ULONG(-1) ? step.Claim : count;
    return step.Result;
  }
  STDMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return Record("Seek", SeekResult); }
  STDMETHODIMP LockRequest(DWORD options) override {
    Options = options;
    return Record("LockRequest", LockResult);
  }
  STDMETHODIMP UnlockRequest() override { return Record("UnlockRequest", UnlockResult); }

 private:
  HRESULT Record(const char* call, HRESULT result) {
    Calls.push_back(call);
    return result;
  }
};

// The browser's sink, recorded.
class RecordingSink final : public TInterfacedImpl<IInternetProtocolSink, IServiceProvider> {
 public:
  struct Progress {
    ULONG Code;
    std::wstring Text;
    bool TextWasNull;
  };
  HRESULT SwitchResult = S_OK, ProgressResult = S_OK, DataResult = S_OK, ResultResult = S_OK;
  std::vector<std::string> Calls;
  std::vector<Progress> Reports;
  PROTOCOLDATA* SwitchData = nullptr;
  DWORD Bscf = 0;
  ULONG Progressed = 0, ProgressMax = 0;
  HRESULT FinalResult = S_OK;
  DWORD FinalError = 0;
  std::wstring FinalText;
  std::vector<IID> Queried;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    Queried.push_back(riid);
    return QueryOwnInterface(riid, ppv);
  }
  STDMETHODIMP Switch(PROTOCOLDATA* data) override {
    Calls.push_back("Switch");
    SwitchData = data;
    return SwitchResult;
  }
  // Runs inside ReportProgress, before it records.
  std::function<void(ULONG)> DuringProgress;

  STDMETHODIMP ReportProgress(ULONG code, LPCWSTR text) override {
    if (DuringProgress) DuringProgress(code);
    Calls.push_back("ReportProgress");
    Reports.push_back({code, text ? text : L"", text == nullptr});
    return ProgressResult;
  }
  STDMETHODIMP ReportData(DWORD bscf, ULONG progress, ULONG max) override {
    Calls.push_back("ReportData");
    Bscf = bscf;
    Progressed = progress;
    ProgressMax = max;
    return DataResult;
  }
  STDMETHODIMP ReportResult(HRESULT hr, DWORD error, LPCWSTR text) override {
    Calls.push_back("ReportResult");
    FinalResult = hr;
    FinalError = error;
    FinalText = text ? text : L"";
    return ResultResult;
  }
  STDMETHODIMP QueryService(REFGUID, REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
};

// Hands out the handler the test prepared next (a fresh one when none is).
class FakeHandlerFactory final : public TInterfacedImpl<IClassFactory> {
 public:
  std::deque<ComPtr<FakeHandler>> Next;
  int Created = 0;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    ++Created;
    ComPtr<FakeHandler> handler;
    if (Next.empty()) {
      handler = TInterfacedObject::Create<FakeHandler>();
    } else {
      handler = Next.front();
      Next.pop_front();
    }
    return handler->QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

// Registers the fake handler class for FakeScheme() (and the two broken
// schemes) for the life of the object, on the calling thread's apartment.
class FakeHandlerRegistration {
 public:
  FakeHandlerRegistration();
  ~FakeHandlerRegistration();
  FakeHandlerRegistration(const FakeHandlerRegistration&) = delete;
  FakeHandlerRegistration& operator=(const FakeHandlerRegistration&) = delete;
  bool Ok() const noexcept { return FOk; }
  FakeHandlerFactory& Factory() noexcept { return *FFactory.Get(); }
  // The next handler that a monitor's Start creates.
  ComPtr<FakeHandler> PrepareHandler();

 private:
  ComPtr<FakeHandlerFactory> FFactory = TInterfacedObject::Create<FakeHandlerFactory>();
  DWORD FCookie = 0;
  bool FOk = false;
};

}  // namespace tarvik::test
