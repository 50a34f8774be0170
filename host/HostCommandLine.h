#pragma once
// The host's command line: a URL to browse (and, scripted, to capture or to
// time), or an archive to list.
#include <string>
#include <vector>

namespace tarvik::host {

struct THostCommandLine {
  enum class TMode { Browse, Capture, LoadOnly, ListArchive };
  TMode Mode = TMode::Browse;
  std::wstring Target;       // the URL, or the archive's path
  std::wstring CapturePath;  // Windows path of the archive to write
  std::wstring SessionPath;  // addresses each window browses first, one a line (UTF-8)
  bool Hotkey = false;
  bool LoadAddons = true;
  bool Pull = false;  // fetches bind asynchronously and read as data arrives
  int Windows = 1;
  int Rounds = 1;
  int TimeoutSeconds = 120;
  int ClickGapMs = 500;
};

// false with a message on a usage error. fileExists tells whether a
// non-URL argument names an existing file (an archive to list).
bool ParseHostCommandLine(const std::vector<std::wstring>& arguments, bool (*fileExists)(const std::wstring&),
                          THostCommandLine& command, std::string& error);

// "/tmp/a.mht" as Wine sees it ("Z:\tmp\a.mht"); other paths unchanged.
std::wstring WindowsPath(const std::wstring& path);

// The archive of one window and round: the path itself for a single
// capture, else name + "-w<window>-r<round>" + extension.
std::wstring ArchivePathFor(const std::wstring& path, int window, int round, bool numbered);

std::string Usage();

}  // namespace tarvik::host
