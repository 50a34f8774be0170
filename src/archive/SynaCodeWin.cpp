// The MIME sniffer of the DLL: the URL moniker library's FindMimeFromData,
// asked by the file name alone.
#include <windows.h>
#include <objbase.h>
#include <urlmon.h>

#include <string>

#include "archive/SynaCode.h"

namespace tarvik {

namespace {

std::wstring AnsiToWide(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string WideToAnsi(const wchar_t* text) {
  const int length = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string ansi(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, ansi.data(), length, nullptr, nullptr);
  ansi.resize(static_cast<size_t>(length - 1));
  return ansi;
}

// The type string belongs to the caller.
struct TCoTaskString {
  LPWSTR Text = nullptr;
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
