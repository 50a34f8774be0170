#include "ui/resources/UiModule.h"

#include <string>

#include "framework/Handles.h"
#include "framework/WinText.h"

namespace tarvik {

namespace {

struct ActCtxTraits {
  static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(HANDLE h) noexcept { ::ReleaseActCtx(h); }
};
using UniqueActCtx = UniqueResource<HANDLE, ActCtxTraits>;

UniqueActCtx MakeContext() {
  // The path too: some versions of the platform want it beside the module.
  const std::string path = ModuleFileName(UiModule());
  if (path.empty()) return UniqueActCtx();
  ACTCTXA context{};
  context.cbSize = sizeof(context);
  context.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path.c_str();
  context.hModule = UiModule();
  context.lpResourceName = MAKEINTRESOURCEA(2);  // ISOLATIONAWARE_MANIFEST_RESOURCE_ID
  return UniqueActCtx(::CreateActCtxA(&context));
}

// One context for the process, released when the module unloads.
HANDLE SharedContext() {
  static const UniqueActCtx context = MakeContext();
  return context.Get();
}

}  // namespace

HMODULE UiModule() noexcept {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&UiModule), &module);
  return module;
}

TUiActivation::TUiActivation() noexcept {
  const HANDLE context = SharedContext();
  if (ActCtxTraits::Valid(context)) FActive = ::ActivateActCtx(context, &FCookie) != FALSE;
}

TUiActivation::~TUiActivation() {
  if (FActive) ::DeactivateActCtx(0, FCookie);
}

}  // namespace tarvik
