#pragma once
// What the source files of the toolbar form (FormTarvikToolbar*.cpp) share
// among themselves; no other code includes it.
#include "core/ClassTarvikRuntime.h"

namespace tarvik::toolbar_form {

// The ini file of the settings; null while there are no settings.
inline TIniFile* SettingsIni() { return TarvikSettings ? TarvikSettings->IniFile() : nullptr; }

}  // namespace tarvik::toolbar_form
