#include "core/TarvikSettings.h"

#include <windows.h>

#include "core/PathText.h"
#include "framework/WinText.h"

namespace tarvik {

std::string IniFilePathBeside(std::string_view exe, const LeadBytePredicate& isLeadByte) {
  return FolderOf(exe, isLeadByte) + "Tarvik.ini";
}

std::string HostIniFilePath() { return IniFilePathBeside(ModuleFileName(nullptr)); }

TIniFile* STDMETHODCALLTYPE TTarvikSettings::IniFile() {
  try {
    return FIniFile.Get([this] { return std::make_unique<TIniFile>(FPath.empty() ? HostIniFilePath() : FPath); });
  } catch (...) {
    return nullptr;
  }
}

}  // namespace tarvik
