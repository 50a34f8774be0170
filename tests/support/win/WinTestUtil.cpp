#include "support/win/WinTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "framework/WinText.h"

namespace tarvik::test {

namespace {
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA((folder + "*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + "\\");
      } else {
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(path.c_str());
      }
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
  }
  ::SetFileAttributesA(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryA(folder.c_str());
}
std::atomic<int> GFolderSerial{0};
}  // namespace

TempFolder::TempFolder() {
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  FPath = std::string(temp) + "tarvik-" + std::to_string(::GetCurrentProcessId()) + "-" +
          std::to_string(++GFolderSerial) + "\\";
  RemoveTree(FPath);
  if (!::CreateDirectoryA(FPath.c_str(), nullptr)) throw std::runtime_error("cannot create " + FPath);
}

TempFolder::~TempFolder() { RemoveTree(FPath); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ExeFolder() {
  char path[MAX_PATH * 4];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string exe(path, length);
  return exe.substr(0, exe.find_last_of("\\/") + 1);
}

std::string HostPathToWindows(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

TCodePageNames SystemsCodePageNames() {
  if (const char* expected = std::getenv("TARVIK_TEST_CODE_PAGE"))
    EXPECT_EQ(::GetACP(), static_cast<UINT>(std::atoi(expected))) << "the run's locale did not give its code page";
  switch (::GetACP()) {
    case 932:  // 表示, ソフト, "レポート 能力"
      return {WideToAnsi(L"\x8868\x793A"), WideToAnsi(L"\x30BD\x30D5\x30C8"),
              WideToAnsi(L"\x30EC\x30DD\x30FC\x30C8 \x80FD\x529B")};
    case 950:  // 許可, 成功, 功能
      return {WideToAnsi(L"\x8A31\x53EF"), WideToAnsi(L"\x6210\x529F"), WideToAnsi(L"\x529F\x80FD")};
    case 936:  // 中文, 简体, 测试
      return {WideToAnsi(L"\x4E2D\x6587"), WideToAnsi(L"\x7B80\x4F53"), WideToAnsi(L"\x6D4B\x8BD5")};
    default:
      return {WideToAnsi(L"Caf\xE9"), WideToAnsi(L"R\xE9sum\xE9"), WideToAnsi(L"Na\xEFve")};
  }
}

}  // namespace tarvik::test
