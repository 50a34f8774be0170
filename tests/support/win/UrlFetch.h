#pragma once
// Fetches through the platform's URL moniker library, as the browser does.
#include <windows.h>

#include <string>

namespace tarvik::test {

struct FetchResult {
  HRESULT Result = E_FAIL;
  std::string Body;
};

// URLOpenBlockingStreamW, read to the end.
FetchResult FetchUrl(const std::wstring& url);

}  // namespace tarvik::test
