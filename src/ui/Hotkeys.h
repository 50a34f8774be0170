#pragma once
// The global hot key (Ctrl+W) that gives the capture command to the toolbar
// of the browser window in front. Each band holds the definitions and one
// reference to each definition's global atom while it is sited; the key
// itself is registered on the window of the first toolbar form, by the
// thread that owns that window, and moves on when that form goes.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/WindowMessages.h"

namespace tarvik {

class TTarvikToolbarForm;

struct THotkeyEntry {
  std::string AtomName;
  // The global atom and the hot key's identifier; not 0 while this band
  // holds one reference to the atom.
  ATOM Atom = 0;
  WORD Modifiers = 0;
  WORD VirtualKey = 0;
};
using THotkeys = std::vector<THotkeyEntry>;

// One entry: "TarvikAction.TVK", Ctrl+W.
void InitHotkeys(THotkeys& hotkeys);
// A band that was given a site (its form exists, if it could be made).
void RegisterTarvikHotkeys(THotkeys& hotkeys);
// A band that loses its site, or goes without losing it.
void UnRegisterTarvikHotkeys(THotkeys& hotkeys) noexcept;

// Destroys form on its own thread; its window's hot keys move to the form
// that is first after it.
void DestroyToolbarForm(std::unique_ptr<TTarvikToolbarForm>& form) noexcept;

// The form's window is being destroyed before the form (a browser that
// destroys its windows before closing the band): the form leaves
// ToolbarForms, and its keys move to the form first after it.
void ToolbarWindowDestroyed(TTarvikToolbarForm& form) noexcept;

// Answers WM_TARVIK_HOTKEYS, posted to a form's window.
void ApplyHotkeyRegistration(TTarvikToolbarForm& form) noexcept;
// The keys registered on window now, by identifier.
std::vector<ATOM> HotkeysRegisteredOn(HWND window);
// Sited bands holding the key with this identifier.
int HotkeyHolders(ATOM atom);

}  // namespace tarvik
