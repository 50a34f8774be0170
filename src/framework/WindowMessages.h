#pragma once
// Every private window message of the library and of the browser host, in one
// place so that no two share a number: the host's frame window is the parent
// of the toolbar's window, and a message read by the wrong window would be
// taken for another.
#include <windows.h>

namespace tarvik {

// Toolbar form: open the drop-down menu of the capture button (posted, so the
// button's click has finished when the menu runs its loop).
inline constexpr UINT WM_TARVIK_DROPDOWN = WM_APP + 0x10;
// Toolbar form: bring the window's hot-key registrations in line (the first
// form registers every key a band holds, the others none).
inline constexpr UINT WM_TARVIK_HOTKEYS = WM_APP + 0x4B1;

// Browser host window: navigate; lParam is a new std::wstring, owned by the message.
inline constexpr UINT WM_HOST_NAVIGATE = WM_APP + 1;
// Browser host window: run lParam, a const std::function<void()>*, on the window's thread.
inline constexpr UINT WM_HOST_RUN = WM_APP + 2;

}  // namespace tarvik
