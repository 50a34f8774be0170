#pragma once
// The toolbar's pictures as image lists: the two faces of the capture
// button, the icons of the other buttons and the menu items' icons, loaded
// from the resources of the module that holds this code.
#include <windows.h>
#include <commctrl.h>

#include "framework/Handles.h"

namespace tarvik {

inline constexpr int CaptureFaceWidth = 72;
inline constexpr int CaptureFaceHeight = 24;
inline constexpr int ToolbarIconSize = 24;
inline constexpr int MenuIconSize = 16;

// Positions in TToolbarImages::Icons.
enum TToolbarIconIndex : int { OptionsIconIndex = 0, HelpIconIndex = 1 };
// Positions in TToolbarImages::MenuIcons.
enum TMenuIconIndex : int {
  CancelIconIndex = 0,
  BeepIconIndex,
  AboutIconIndex,
  GettingStartedIconIndex,
  HelpOnlineIconIndex,
  OnlineForumIconIndex,
  FeedbackMailIconIndex,
  SupportOnlineIconIndex,
  UninstallIconIndex,
  MenuIconCount
};

// Owned by whoever loaded them; a control shown them only borrows them.
struct TToolbarImages {
  UniqueImageList Faces;      // 72x24: face 0 idle, face 1 active
  UniqueImageList Icons;      // 24x24
  UniqueImageList MenuIcons;  // 16x16
};

// A picture missing from the resources leaves an empty image at its
// position, so every index stays valid. Throws std::runtime_error when an
// image list cannot be created.
TToolbarImages LoadToolbarImages(HINSTANCE instance);

}  // namespace tarvik
