#include "framework/WinText.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <vector>

namespace tarvik {

std::string WideToAnsi(std::wstring_view text) {
  if (text.empty()) return std::string();
  // The platform counts in int.
  const int count = static_cast<int>(std::min<size_t>(text.size(), INT_MAX / 4));
  const int needed = ::WideCharToMultiByte(CP_ACP, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string result(static_cast<size_t>(needed), '\0');
  const int written = ::WideCharToMultiByte(CP_ACP, 0, text.data(), count, result.data(), needed, nullptr, nullptr);
  result.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return result;
}

std::string WideToAnsi(const wchar_t* text) {
  return text ? WideToAnsi(std::wstring_view(text, std::wcslen(text))) : std::string();
}

std::wstring AnsiToWide(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int count = static_cast<int>(std::min<size_t>(text.size(), INT_MAX / 2));
  const int needed = ::MultiByteToWideChar(CP_ACP, 0, text.data(), count, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring result(static_cast<size_t>(needed), L'\0');
  const int written = ::MultiByteToWideChar(CP_ACP, 0, text.data(), count, result.data(), needed);
  result.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return result;
}

std::string ModuleFileName(HMODULE module) {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
    // A full buffer means the name was cut: grow and ask again.
    if (length < path.size()) return std::string(path.data(), length);
    path.resize(path.size() * 2);
  }
}

}  // namespace tarvik
