#pragma once
// Screenshots of what the display shows, for UI tests' artifacts.
#include <windows.h>

#include <string>

namespace tarvik::test {

// Writes the screen area of window (its frame included) as a 24-bit BMP file;
// nullptr takes the whole screen. False when the area could not be read or written.
bool SaveScreenShot(HWND window, const std::string& name);

}  // namespace tarvik::test
