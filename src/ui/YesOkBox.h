#pragma once
// A small information box with the buttons Yes and OK, which no standard
// message box offers: the success box where the platform has no task dialog.
#include <windows.h>

#include <string>

namespace tarvik {

// Modal, owned by owner (may be null), centred on it. True when the user
// answers Yes; OK, Escape or closing the box give false.
bool ShowYesOkBox(HWND owner, const std::string& text, const std::string& caption);

}  // namespace tarvik
