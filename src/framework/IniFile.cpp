#include "framework/IniFile.h"

#include <windows.h>

#include <cstring>

namespace tarvik {

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  char buffer[MaxValueLength + 1];
  const DWORD length = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                                                  sizeof(buffer), FFileName.c_str());
  return std::string(buffer, length);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  if (!::WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), FFileName.c_str()))
    throw EIniFileException("Unable to write to " + FFileName);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  // The key list comes back as zero-terminated names ending in an empty one;
  // a result two short of the buffer means it was cut, so grow and retry.
  std::vector<char> buffer(16384);
  for (;;) {
    const DWORD length = ::GetPrivateProfileStringA(section.c_str(), nullptr, nullptr, buffer.data(),
                                                    static_cast<DWORD>(buffer.size()), FFileName.c_str());
    if (length + 2 < buffer.size() || buffer.size() >= (1u << 26)) {
      std::vector<std::string> keys;
      for (DWORD i = 0; i < length;) {
        std::string name(&buffer[i]);
        i += static_cast<DWORD>(name.size()) + 1;
        if (!name.empty()) keys.push_back(std::move(name));
      }
      return keys;
    }
    buffer.resize(buffer.size() * 4);
  }
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  for (const std::string& name : ReadSection(section))
    if (_stricmp(name.c_str(), key.c_str()) == 0) return true;
  return false;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  ::WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, FFileName.c_str());
}

}  // namespace tarvik
