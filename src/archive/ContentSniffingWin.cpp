// The MIME sniffer of the DLL: the URL moniker library's FindMimeFromData,
// asked by the file name alone.
#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include <string>

#include "archive/ContentSniffing.h"
#include "framework/WinText.h"

namespace tarvik {

namespace {

// The type string belongs to the caller.
struct TCoTaskString {
  LPWSTR Text = nullptr;
  TCoTaskString() = default;
  TCoTaskString(const TCoTaskString&) = delete;
  TCoTaskString& operator=(const TCoTaskString&) = delete;
  ~TCoTaskString() { ::CoTaskMemFree(Text); }
};

}  // namespace

std::string SniffContentType(const std::string& fileName) {
  if (fileName.empty()) return "text/plain";
  const std::wstring url = AnsiToWide(fileName);
  TCoTaskString proposed;
  const HRESULT hr = ::FindMimeFromData(nullptr, url.c_str(), nullptr, 0, nullptr, 0, &proposed.Text, 0);
  if (FAILED(hr) || !proposed.Text) return "text/plain";
  std::string type = WideToAnsi(proposed.Text);
  return type.empty() ? "text/plain" : type;
}

}  // namespace tarvik
