#pragma once
// One fetch through the platform's URL moniker library on the calling
// thread, as the browser makes it (so every protocol handler and namespace
// handler of the process sees it), with what the browser learns on the way:
// the address after redirects, the HTTP status and the content type.
#include <windows.h>

#include <string>
#include <vector>

namespace tarvik::host {

struct TFetchResult {
  HRESULT Result = E_FAIL;
  std::wstring FinalUrl;        // after redirects
  long Status = 0;              // HTTP status, 0 when the scheme has none
  std::wstring MimeType;        // as the moniker library reports it
  std::string ContentType;      // the Content-Type response header
  std::string Body;             // the first KeepLimit bytes
  unsigned long long Size = 0;  // every byte read
  std::wstring Location;        // the Location response header, for a redirect the library did not follow
  unsigned Redirects = 0;       // redirects the library followed
};

// Redirects a fetch follows at the most, as browsers stop a loop.
inline constexpr unsigned kRedirectLimit = 20;
// The answer of a fetch stopped at kRedirectLimit.
inline constexpr HRESULT kTooManyRedirects = static_cast<HRESULT>(0x800C0014L);  // INET_E_REDIRECT_FAILED

TFetchResult FetchUrl(const std::wstring& url, size_t keepLimit);
// Whether fetches bind as a browser does, asynchronously, reading the data
// as it arrives, so that each read goes through the protocol handlers; by
// default a bind blocks until every byte is in the cache file, and the reads
// come from there.
void SetPullReads(bool pull);

// How long the browser waited on its reads, every Read of every fetch of
// the process so far: what an add-on standing in the way adds shows here.
struct TReadWaits {
  size_t Count = 0;
  double Percentile999Ms = 0;
  double LongestMs = 0;
  // Waits over the longest a browser's user should meet (kLongWaitMs): one
  // run's longest wait may be the system's alone, how often is telling.
  size_t Long = 0;
};
inline constexpr double kLongWaitMs = 50;
TReadWaits ReadWaits();
// The summary of waits given in microseconds, in any order.
TReadWaits SummarizeWaits(std::vector<float> micros);
// The same of every bind: a blocking one returns once every byte has come
// through the protocol handlers, a pulling one once the transfer started.
TReadWaits BindWaits();

// A failed fetch in words, e.g. "the server did not answer (0x800C0005)".
std::string DescribeFetchError(HRESULT hr);

}  // namespace tarvik::host
