#pragma once
// The About box: the product picture in a sunken square frame, the product
// name and the library's version, a line and one OK button.
#include <windows.h>

#include <exception>

#include "framework/Handles.h"

namespace tarvik {

class TAboutForm {
 public:
  // The box is owned by owner (may be null) and lives until ShowModal returns.
  explicit TAboutForm(HWND owner) noexcept : FOwner(owner) {}
  TAboutForm(const TAboutForm&) = delete;
  TAboutForm& operator=(const TAboutForm&) = delete;

  // Shows the box modally, centred on the screen: IDOK when closed with OK,
  // IDCANCEL by Escape or the system menu. Throws when the box cannot be made,
  // and rethrows an exception raised inside it once it is closed.
  INT_PTR ShowModal();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void FormCreate(HWND window);

  HWND FOwner;
  // Kept until the box's window is gone.
  UniqueHFont FProductFont, FVersionFont;
  UniqueHBitmap FPicture;
  std::exception_ptr FError;
};

}  // namespace tarvik
