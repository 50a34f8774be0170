#pragma once
// Which kind of process loaded the library, decided by the executable's name.
#include <string_view>

namespace tarvik {

enum class HostKind {
  Shell,    // "explorer.exe": the library refuses to load
  Browser,  // "iexplore.exe": the runtime is created
  Other,    // anything else (registration, tools): loads without a runtime
};

// exePath may be a full path; only the name after the last separator counts,
// compared without regard to ASCII letter case.
HostKind ClassifyHost(std::string_view exePath) noexcept;

}  // namespace tarvik
