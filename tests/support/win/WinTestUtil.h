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

// Names in the system's ANSI code page. Under code pages 932 and 950 their
// characters have a second byte of 0x5C ("\"), where a byte-wise search for
// the last separator cuts a name; under 936 Chinese, elsewhere accented
// letters. A run that sets TARVIK_TEST_CODE_PAGE fails here unless its
// locale gave that code page.
struct TCodePageNames {
  std::string Folder, File, Title;
};
TCodePageNames SystemsCodePageNames();

}  // namespace tarvik::test
