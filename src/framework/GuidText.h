#pragma once
// GUIDs in the registry's text form.
#include <windows.h>

#include <string>

namespace tarvik {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string GuidText(const GUID& guid);
// The same text in UTF-16, as registry keys and BSTRs take it.
std::wstring WideGuidText(const GUID& guid);
// Reads the registry's text form of a GUID, nothing else (no ProgIDs).
bool ParseGuidText(const std::string& text, GUID* guid);

}  // namespace tarvik
