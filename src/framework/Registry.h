#pragma once
// Registry access for registration: keys that must exist are created and a
// refusal raises; keys that are only looked at are opened and may be absent.
#include <windows.h>

#include <stdexcept>
#include <string>

#include "framework/Handles.h"

namespace tarvik {

class ERegistryError : public std::runtime_error {
 public:
  ERegistryError(const std::wstring& key, LONG status);
  LONG Status() const noexcept { return FStatus; }

 private:
  LONG FStatus;
};

// Opens key below root, creating it (and its parents) when missing; raises
// ERegistryError when that is refused.
UniqueHKey CreateRegKey(HKEY root, const std::wstring& key);
// Opens an existing key for writing; empty when it is missing or refused.
UniqueHKey OpenRegKey(HKEY root, const std::wstring& key);
// Writes a string value (empty name: the default value); raises on refusal.
void WriteRegString(HKEY key, const std::wstring& name, const std::wstring& data);
// Creates key below root and sets its default value to data.
void CreateRegKeyWithDefault(HKEY root, const std::wstring& key, const std::wstring& data);
// Removals that find nothing are not errors.
void DeleteRegValue(HKEY key, const std::wstring& name) noexcept;
void DeleteRegKey(HKEY root, const std::wstring& key) noexcept;

}  // namespace tarvik
