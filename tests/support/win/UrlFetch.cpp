#include "support/win/UrlFetch.h"

#include <urlmon.h>

#include "framework/ComPtr.h"

namespace tarvik::test {

FetchResult FetchUrl(const std::wstring& url) {
  FetchResult result;
  ComPtr<IStream> stream;
  result.Result = ::URLOpenBlockingStreamW(nullptr, url.c_str(), stream.Put(), 0, nullptr);
  if (FAILED(result.Result) || !stream) return result;
  char buffer[65536];
  for (;;) {
    ULONG read = 0;
    const HRESULT hr = stream->Read(buffer, sizeof(buffer), &read);
    result.Body.append(buffer, read);
    if (hr != S_OK || read == 0) {
      if (FAILED(hr)) result.Result = hr;
      break;
    }
  }
  return result;
}

}  // namespace tarvik::test
