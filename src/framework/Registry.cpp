#include "framework/Registry.h"

#include "framework/WinText.h"

namespace tarvik {

namespace {

// The path without a leading separator: "\Software\..." names the same key.
std::wstring Relative(const std::wstring& key) {
  const size_t first = key.find_first_not_of(L'\\');
  return first == std::wstring::npos ? std::wstring() : key.substr(first);
}

}  // namespace

ERegistryError::ERegistryError(const std::wstring& key, LONG status)
    : std::runtime_error("Unable to write to registry key " + WideToAnsi(key)), FStatus(status) {}

UniqueHKey CreateRegKey(HKEY root, const std::wstring& key) {
  UniqueHKey result;
  const LONG status = ::RegCreateKeyExW(root, Relative(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_READ | KEY_WRITE, nullptr, result.Put(), nullptr);
  if (status != ERROR_SUCCESS) throw ERegistryError(key, status);
  return result;
}

UniqueHKey OpenRegKey(HKEY root, const std::wstring& key) {
  UniqueHKey result;
  if (::RegOpenKeyExW(root, Relative(key).c_str(), 0, KEY_READ | KEY_WRITE, result.Put()) != ERROR_SUCCESS)
    result.Reset();
  return result;
}

void WriteRegString(HKEY key, const std::wstring& name, const std::wstring& data) {
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  const LONG status = ::RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  if (status != ERROR_SUCCESS) throw ERegistryError(name, status);
}

void CreateRegKeyWithDefault(HKEY root, const std::wstring& key, const std::wstring& data) {
  const UniqueHKey created = CreateRegKey(root, key);
  WriteRegString(created.Get(), L"", data);
}

void DeleteRegValue(HKEY key, const std::wstring& name) noexcept { ::RegDeleteValueW(key, name.c_str()); }

void DeleteRegKey(HKEY root, const std::wstring& key) noexcept { ::RegDeleteKeyW(root, Relative(key).c_str()); }

}  // namespace tarvik
