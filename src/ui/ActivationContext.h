#pragma once
// The common controls of version 6 for the toolbar's windows and dialogs:
// a library inside the browser gets them only through an activation context
// made from its own manifest resource. Without such a resource this does
// nothing and the process's default controls are used.
#include <windows.h>

namespace tarvik {

class TScopedActivationContext {
 public:
  TScopedActivationContext() noexcept;
  ~TScopedActivationContext();
  TScopedActivationContext(const TScopedActivationContext&) = delete;
  TScopedActivationContext& operator=(const TScopedActivationContext&) = delete;

 private:
  ULONG_PTR FCookie = 0;
  bool FActive = false;
};

}  // namespace tarvik
