#include "core/TarvikVersionInfo.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "framework/WinText.h"

namespace tarvik {

std::string OwnModulePath() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModulePath), &module);
  return ModuleFileName(module);
}

TTarvikVersionInfo TTarvikVersionInfo::Read(const std::string& path) {
  TTarvikVersionInfo info;
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
  if (size == 0) return info;
  std::vector<char> block(size, 0);
  ::GetFileVersionInfoA(path.c_str(), 0, size, block.data());
  char* value = nullptr;
  UINT length = 0;
  if (::VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\FileVersion", reinterpret_cast<void**>(&value),
                       &length) &&
      value) {
    // Up to the terminating zero, never past the block.
    const size_t limit = static_cast<size_t>(block.data() + block.size() - value);
    info.FileVersion.assign(value, strnlen(value, limit));
  }
  return info;
}

TTarvikVersionInfo TTarvikVersionInfo::ReadOwn() { return Read(OwnModulePath()); }

}  // namespace tarvik
