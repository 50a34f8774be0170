#include "core/TarvikSettings.h"

#include <windows.h>

#include "framework/WinText.h"

namespace tarvik {

std::string HostIniFilePath() {
  const std::string exe = ModuleFileName(nullptr);
  const size_t separator = exe.find_last_of("\\/");
  return (separator == std::string::npos ? std::string() : exe.substr(0, separator + 1)) + "Tarvik.ini";
}

TIniFile* STDMETHODCALLTYPE TTarvikSettings::IniFile() {
  try {
    return FIniFile.Get([this] { return std::make_unique<TIniFile>(FPath.empty() ? HostIniFilePath() : FPath); });
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tarvik
