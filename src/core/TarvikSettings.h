#pragma once
// The settings object: hands out the library's one ini file, "Tarvik.ini"
// beside the host executable.
#include <string>
#include <string_view>

#include "core/PathText.h"

#include "core/TarvikInterfaces.h"
#include "framework/IniFile.h"
#include "framework/InterfacedObject.h"
#include "framework/Lazy.h"

namespace tarvik {

// The folder of the host process's executable (not this library) + "Tarvik.ini".
std::string HostIniFilePath();
// "Tarvik.ini" in the folder of exe, a path in the system's code page.
std::string IniFilePathBeside(std::string_view exe, const LeadBytePredicate& isLeadByte = IsSystemLeadByte);

class TTarvikSettings final : public TInterfacedImpl<ITarvikSettings> {
 public:
  // Created on first use, once, whichever window's thread asks first; nil
  // only when memory ran out.
  TIniFile* STDMETHODCALLTYPE IniFile() override;

 private:
  friend class TInterfacedObject;
  // An empty path means the file beside the host executable.
  explicit TTarvikSettings(std::string path = {}) : FPath(std::move(path)) {}

  std::string FPath;
  // Every browser window's helper object asks from its own thread.
  TLazy<TIniFile> FIniFile;
};

}  // namespace tarvik
