#include <windows.h>

#include <vector>

#include "framework/Handles.h"
#include "framework/IniFile.h"
#include "ui/RecentList.h"

namespace tarvik {

std::string TIniFileStore::ReadString(const std::string& section, const std::string& key,
                                      const std::string& defaultValue) const {
  return FIni.ReadString(section, key, defaultValue);
}

void TIniFileStore::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  FIni.WriteString(section, key, value);
}

void TIniFileStore::DeleteKey(const std::string& section, const std::string& key) { FIni.DeleteKey(section, key); }

std::string FullPathName(const std::string& path) {
  if (path.empty()) return path;
  DWORD size = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  while (size != 0) {
    std::vector<char> buffer(size + 1, '\0');
    const DWORD length = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) break;
    if (length < buffer.size()) return std::string(buffer.data(), length);
    size = length;  // the path grew between the two calls
  }
  return path;
}

bool ShellHidesExtensions() {
  UniqueHKey key;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", 0,
                      KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
    return true;
  DWORD value = 1, type = 0, size = sizeof(value);
  if (::RegQueryValueExA(key.Get(), "HideFileExt", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return true;
  return value != 0;
}

}  // namespace tarvik
