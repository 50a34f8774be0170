#include "UrlFetcher.h"

#include <urlmon.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "HtmlScanner.h"
#include "PageText.h"
#include "framework/ComPtr.h"
#include "framework/InterfacedObject.h"

namespace tarvik::host {

namespace {

std::atomic<bool> PullReads{false};

// Reads what the stream has until it has no more for now (E_PENDING) or at
// all, timing each read.
void Drain(IStream* stream, TFetchResult& result, size_t keepLimit);

class TFetchCallback final : public TInterfacedImpl<IBindStatusCallback, IHttpNegotiate> {
 public:
  static ComPtr<TFetchCallback> Create(TFetchResult& result, size_t keepLimit, bool pull) {
    return TInterfacedObject::Create<TFetchCallback>(result, keepLimit, pull);
  }

  STDMETHODIMP OnStartBinding(DWORD, IBinding* binding) override {
    FBinding = binding;
    return S_OK;
  }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
  STDMETHODIMP OnProgress(ULONG, ULONG, ULONG status, LPCWSTR text) override {
    if (status == BINDSTATUS_REDIRECTING && text) {
      FResult->FinalUrl = text;
      // The library follows a loop for ever: a browser gives up.
      if (++FResult->Redirects > kRedirectLimit) {
        if (FBinding) FBinding->Abort();
        return E_ABORT;
      }
    }
    if (status == BINDSTATUS_MIMETYPEAVAILABLE && text) FResult->MimeType = text;
    return S_OK;
  }
  STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR) override {
    FBinding.Reset();
    FStopped = true;
    FStopResult = result;
    return S_OK;
  }
  STDMETHODIMP GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) override {
    if (!grfBINDF || !pbindinfo) return E_INVALIDARG;
    const DWORD size = pbindinfo->cbSize;
    std::memset(pbindinfo, 0, size);
    pbindinfo->cbSize = size;
    pbindinfo->dwBindVerb = BINDVERB_GET;
    if (FPull)
      *grfBINDF |= BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA;
    else
      *grfBINDF &= ~BINDF_ASYNCHRONOUS;  // the caller waits for the data on this thread
    return S_OK;
  }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) override {
    if (!FPull || !medium || medium->tymed != TYMED_ISTREAM || !medium->pstm) return S_OK;
    // What has arrived, read as a browser reads it: each Read reaches the
    // protocol handlers (a blocking bind reads the cache file instead).
    Drain(medium->pstm, *FResult, FKeepLimit);
    return S_OK;
  }
  bool Stopped() const { return FStopped; }
  HRESULT StopResult() const { return FStopResult; }
  void Abort() {
    if (FBinding) FBinding->Abort();
  }
  // The fetch has returned: a late notification of a bind given up on
  // writes nowhere that matters.
  void Detach() { FResult = &FDiscarded; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    return S_OK;
  }
  STDMETHODIMP OnResponse(DWORD code, LPCWSTR headers, LPCWSTR, LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    FResult->Status = static_cast<long>(code);
    if (headers) {
      const std::string text = Utf8(headers);
      FResult->ContentType = HeaderValue(text, "content-type");
      FResult->Location = FromUtf8(HeaderValue(text, "location"));
    }
    return S_OK;
  }

 private:
  friend class TInterfacedObject;
  TFetchCallback(TFetchResult& result, size_t keepLimit, bool pull)
      : FResult(&result), FKeepLimit(keepLimit), FPull(pull) {}

  static std::string HeaderValue(const std::string& headers, const std::string& lowerName) {
    size_t start = 0;
    while (start < headers.size()) {
      size_t end = headers.find('\n', start);
      if (end == std::string::npos) end = headers.size();
      std::string line = headers.substr(start, end - start);
      start = end + 1;
      const size_t colon = line.find(':');
      if (colon == std::string::npos || colon != lowerName.size()) continue;
      bool same = true;
      for (size_t i = 0; i < colon && same; ++i)
        same = std::tolower(static_cast<unsigned char>(line[i])) == lowerName[i];
      if (!same) continue;
      std::string value = line.substr(colon + 1);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
      while (!value.empty() && value.front() == ' ') value.erase(0, 1);
      return value;
    }
    return {};
  }

  TFetchResult* FResult;
  TFetchResult FDiscarded;
  const size_t FKeepLimit;
  const bool FPull;
  bool FStopped = false;
  HRESULT FStopResult = S_OK;
  ComPtr<IBinding> FBinding;
};

// Every read's wait in microseconds, from every window's thread; and every
// bind's, apart: a bind also waits for the server's answer.
struct TWaitLog {
  std::mutex Lock;
  std::vector<float> Micros;
};

TWaitLog& Waits() {
  static TWaitLog log;
  return log;
}

TWaitLog& BindWaitLog() {
  static TWaitLog log;
  return log;
}

double Now() {
  LARGE_INTEGER counter, frequency;
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

void RecordWait(TWaitLog& log, double began) {
  const float waited = static_cast<float>(Now() - began);
  std::lock_guard<std::mutex> guard(log.Lock);
  log.Micros.push_back(waited);
}

TReadWaits Summary(TWaitLog& log) {
  std::vector<float> micros;
  {
    std::lock_guard<std::mutex> guard(log.Lock);
    micros = log.Micros;
  }
  return SummarizeWaits(std::move(micros));
}

void Drain(IStream* stream, TFetchResult& result, size_t keepLimit) {
  std::string buffer(65536, '\0');
  for (;;) {
    ULONG read = 0;
    const double began = Now();
    const HRESULT hr = stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read);
    RecordWait(Waits(), began);
    result.Size += read;
    if (result.Body.size() < keepLimit)
      result.Body.append(buffer.data(), std::min<size_t>(read, keepLimit - result.Body.size()));
    if (FAILED(hr) && hr != E_PENDING) result.Result = hr;
    if (hr != S_OK || read == 0) break;
  }
}

// An asynchronous bind's notifications come as messages to the moniker
// library's window on this thread: only those are dispatched, so that no
// message of the browser's own runs inside a fetch.
HWND MonikerWindow() {
  const DWORD thread = ::GetCurrentThreadId();
  for (HWND window = nullptr;
       (window = ::FindWindowExW(HWND_MESSAGE, window, L"URL Moniker Notification Window", nullptr));)
    if (::GetWindowThreadProcessId(window, nullptr) == thread) return window;
  return nullptr;
}

HRESULT WaitForStop(TFetchCallback& callback) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  HWND window = nullptr;
  while (!callback.Stopped()) {
    if (std::chrono::steady_clock::now() > deadline) {
      callback.Abort();
      return INET_E_DATA_NOT_AVAILABLE;
    }
    if (!window) window = MonikerWindow();
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_POSTMESSAGE | QS_SENDMESSAGE);
    MSG message;
    while (window && ::PeekMessageW(&message, window, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
  }
  return callback.StopResult();
}

}  // namespace

TReadWaits SummarizeWaits(std::vector<float> micros) {
  TReadWaits waits;
  waits.Count = micros.size();
  if (micros.empty()) return waits;
  std::sort(micros.begin(), micros.end());
  waits.LongestMs = micros.back() / 1000.0;
  // Nearest rank: the least wait that at least 99.9 % of the waits do not pass.
  waits.Percentile999Ms = micros[(micros.size() * 999 + 999) / 1000 - 1] / 1000.0;
  waits.Long = static_cast<size_t>(
      micros.end() - std::upper_bound(micros.begin(), micros.end(), static_cast<float>(kLongWaitMs * 1000)));
  return waits;
}

TReadWaits ReadWaits() { return Summary(Waits()); }
TReadWaits BindWaits() { return Summary(BindWaitLog()); }

void SetPullReads(bool pull) { PullReads.store(pull); }

TFetchResult FetchUrl(const std::wstring& url, size_t keepLimit) {
  const bool pull = PullReads.load();
  TFetchResult result;
  result.FinalUrl = url;
  ComPtr<TFetchCallback> callback = TFetchCallback::Create(result, keepLimit, pull);
  ComPtr<IStream> stream;
  // A bind of our own, so that the binding reaches this callback's
  // IHttpNegotiate (the status line and the response headers).
  ComPtr<IMoniker> moniker;
  ComPtr<IBindCtx> context;
  result.Result = ::CreateURLMonikerEx(nullptr, url.c_str(), moniker.Put(), URL_MK_UNIFORM);
  if (SUCCEEDED(result.Result)) result.Result = ::CreateAsyncBindCtx(0, callback.Get(), nullptr, context.Put());
  if (SUCCEEDED(result.Result)) {
    // A blocking bind returns once every byte has come through the protocol
    // (its reads then come from the cache file): a wait of the thread like any read.
    const double began = Now();
    result.Result = moniker->BindToStorage(context.Get(), nullptr, IID_IStream, stream.PutVoid());
    RecordWait(BindWaitLog(), began);
  }
  if (pull && SUCCEEDED(result.Result)) {
    const HRESULT stopped = WaitForStop(*callback);
    if (result.Result == MK_S_ASYNCHRONOUS) result.Result = S_OK;
    if (FAILED(stopped)) result.Result = stopped;
  }
  callback->Detach();
  if (result.Redirects > kRedirectLimit) result.Result = kTooManyRedirects;
  if (pull) return result;
  if (FAILED(result.Result) || !stream) {
    if (SUCCEEDED(result.Result)) result.Result = E_FAIL;
    return result;
  }
  Drain(stream.Get(), result, keepLimit);
  return result;
}

std::string DescribeFetchError(HRESULT hr) {
  const char* what = "the fetch failed";
  switch (static_cast<unsigned long>(hr)) {
    case 0x800C0002UL:
      what = "the address is not valid";
      break;
    case 0x800C0004UL:
      what = "cannot connect to the server";
      break;
    case 0x800C0005UL:
      what = "the server did not answer or the resource was not found";
      break;
    case 0x800C0006UL:
      what = "the object was not found";
      break;
    case 0x800C0007UL:
      what = "no data";
      break;
    case 0x800C0008UL:
      what = "the download failed";
      break;
    case 0x800C000EUL:
      what = "security problem";
      break;
    case 0x800C0011UL:
      what = "unknown protocol";
      break;
    case 0x800C0014UL:
      what = "the redirects do not end";
      break;
    default:
      break;
  }
  char text[160];
  std::snprintf(text, sizeof(text), "%s (0x%08lX)", what, static_cast<unsigned long>(hr));
  return text;
}

}  // namespace tarvik::host
