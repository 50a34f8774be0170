#include "browser/HostProcess.h"

#include "core/UrlText.h"

namespace tarvik {

HostKind ClassifyHost(std::string_view exePath) noexcept {
  const size_t separator = exePath.find_last_of("\\/");
  const std::string_view name = separator == std::string_view::npos ? exePath : exePath.substr(separator + 1);
  if (SameAsciiTextNoCase(name, "explorer.exe")) return HostKind::Shell;
  if (SameAsciiTextNoCase(name, "iexplore.exe")) return HostKind::Browser;
  return HostKind::Other;
}

}  // namespace tarvik
