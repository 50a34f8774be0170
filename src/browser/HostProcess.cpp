#include "browser/HostProcess.h"

#include <cctype>

namespace tarvik {

namespace {
bool SameAsciiText(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}
}  // namespace

HostKind ClassifyHost(std::string_view exePath) noexcept {
  const size_t separator = exePath.find_last_of("\\/");
  const std::string_view name = separator == std::string_view::npos ? exePath : exePath.substr(separator + 1);
  if (SameAsciiText(name, "explorer.exe")) return HostKind::Shell;
  if (SameAsciiText(name, "iexplore.exe")) return HostKind::Browser;
  return HostKind::Other;
}

}  // namespace tarvik
