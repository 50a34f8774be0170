#include "core/TarvikSettings.h"

#include <windows.h>

#include <vector>

namespace tarvik {

std::string HostIniFilePath() {
  std::vector<char> path(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      std::string exe(path.data(), length);
      const size_t separator = exe.find_last_of("\\/");
      return (separator == std::string::npos ? std::string() : exe.substr(0, separator + 1)) + "Tarvik.ini";
    }
    path.resize(path.size() * 2);
  }
}

TIniFile* STDMETHODCALLTYPE TTarvikSettings::IniFile() {
  if (!FIniFile) FIniFile = std::make_unique<TIniFile>(FPath.empty() ? HostIniFilePath() : FPath);
  return FIniFile.get();
}

}  // namespace tarvik
