#include "ui/ActivationContext.h"

#include <mutex>

#include "core/TarvikVersionInfo.h"

namespace tarvik {

namespace {

// The manifest of a library is resource 2; the context lives as long as the process.
HANDLE OwnActivationContext() {
  static HANDLE context = INVALID_HANDLE_VALUE;
  static std::once_flag once;
  std::call_once(once, [] {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&OwnActivationContext), &module);
    if (!module || !::FindResourceA(module, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(24))) return;
    ACTCTXA request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_HMODULE_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.hModule = module;
    request.lpResourceName = MAKEINTRESOURCEA(2);
    const std::string path = OwnModulePath();
    request.lpSource = path.c_str();
    context = ::CreateActCtxA(&request);
  });
  return context;
}

}  // namespace

TScopedActivationContext::TScopedActivationContext() noexcept {
  HANDLE context = OwnActivationContext();
  if (context != INVALID_HANDLE_VALUE) FActive = ::ActivateActCtx(context, &FCookie) != FALSE;
}

TScopedActivationContext::~TScopedActivationContext() {
  if (FActive) ::DeactivateActCtx(0, FCookie);
}

}  // namespace tarvik
