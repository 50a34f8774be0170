#pragma once
// Small helpers for tests under Wine.
#include <windows.h>

#include <string>

namespace tarvik::test {

// A fresh empty folder under the temp folder, removed with its files on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Ends with a backslash.
  const std::string& Path() const noexcept { return FPath; }
  std::string File(const std::string& name) const { return FPath + name; }

 private:
  std::string FPath;
};

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Folder of the running test program, ending with a backslash.
std::string ExeFolder();
// A path of the build tree as Wine sees it (Z: drive, backslashes).
std::string HostPathToWindows(const std::string& unixPath);

}  // namespace tarvik::test
