#pragma once
// The module that holds the toolbar's code and resources (the library, or a
// test program that links them), and its common-controls 6 context.
#include <windows.h>

namespace tarvik {

// Never the host program unless the code is linked into it.
HMODULE UiModule() noexcept;

// Activates the module's common-controls 6 manifest for a scope, so that
// windows created inside get split buttons, drop-down arrows and task
// dialogs. Does nothing when the context cannot be made.
class TUiActivation {
 public:
  TUiActivation() noexcept;
  ~TUiActivation();
  TUiActivation(const TUiActivation&) = delete;
  TUiActivation& operator=(const TUiActivation&) = delete;
  bool Active() const noexcept { return FActive; }

 private:
  ULONG_PTR FCookie = 0;
  bool FActive = false;
};

}  // namespace tarvik
