#pragma once
// The library's file version text, from its own version record.
#include <string>

namespace tarvik {

struct TTarvikVersionInfo {
  std::string FileVersion;

  // The "FileVersion" of the U.S. English / code page 1252 string table of
  // the file at path; empty when the record or the value is missing.
  static TTarvikVersionInfo Read(const std::string& path);
  // The same for the module that holds this code (the DLL, or a test program).
  static TTarvikVersionInfo ReadOwn();
};

// Full path of the module that holds this code.
std::string OwnModulePath();

}  // namespace tarvik
