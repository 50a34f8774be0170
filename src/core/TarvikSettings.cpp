#include "core/TarvikSettings.h"

#include <windows.h>

#include "core/PathText.h"
#include "framework/Trace.h"
#include "framework/WinText.h"

namespace tarvik {

std::string IniFilePathBeside(std::string_view exe, const LeadBytePredicate& isLeadByte) {
  return FolderOf(exe, isLeadByte) + "Tarvik.ini";
}

std::string HostIniFilePath() { return IniFilePathBeside(ModuleFileName(nullptr)); }

TIniFile* STDMETHODCALLTYPE TTarvikSettings::IniFile() {
  // None where it cannot be made: callers go on without settings.
  TIniFile* file = nullptr;
  NoThrow([&] {
    file = FIniFile.Get([this] { return std::make_unique<TIniFile>(FPath.empty() ? HostIniFilePath() : FPath); });
  });
  return file;
}

}  // namespace tarvik
