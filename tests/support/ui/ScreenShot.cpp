#include "support/ui/ScreenShot.h"

#include <cstdio>
#include <memory>

namespace tarvik::test {

namespace {

struct ScreenDc {
  HDC Dc = ::GetDC(nullptr);
  ~ScreenDc() {
    if (Dc) ::ReleaseDC(nullptr, Dc);
  }
};

// A name alone goes beside the test program: a save dialog may have moved
// the current folder into a test's temporary one.
std::string BesideTheProgram(const std::string& path) {
  if (path.find_first_of("\\/:") != std::string::npos) return path;
  char program[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  std::string folder(program, length);
  const size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? path : folder.substr(0, slash + 1) + path;
}

}  // namespace

bool SaveScreenShot(HWND window, const std::string& name) {
  const std::string path = BesideTheProgram(name);
  RECT area{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (window && !::GetWindowRect(window, &area)) return false;
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;

  ScreenDc screen;
  if (!screen.Dc) return false;
  std::unique_ptr<std::remove_pointer_t<HDC>, decltype(&::DeleteDC)> memory(::CreateCompatibleDC(screen.Dc),
                                                                            &::DeleteDC);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as the file keeps it
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  std::unique_ptr<std::remove_pointer_t<HBITMAP>, decltype(&::DeleteObject)> bitmap(
      ::CreateDIBSection(screen.Dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0), &::DeleteObject);
  if (!memory || !bitmap || !bits) return false;
  const HGDIOBJ old = ::SelectObject(memory.get(), bitmap.get());
  const bool copied = ::BitBlt(memory.get(), 0, 0, width, height, screen.Dc, area.left, area.top, SRCCOPY) != FALSE;
  ::GdiFlush();
  ::SelectObject(memory.get(), old);
  if (!copied) return false;

  const DWORD rowBytes = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(info.bmiHeader);
  file.bfSize = file.bfOffBits + imageBytes;
  std::unique_ptr<FILE, decltype(&std::fclose)> out(std::fopen(path.c_str(), "wb"), &std::fclose);
  if (!out) return false;
  return std::fwrite(&file, sizeof(file), 1, out.get()) == 1 &&
         std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out.get()) == 1 &&
         std::fwrite(bits, imageBytes, 1, out.get()) == 1;
}

}  // namespace tarvik::test
