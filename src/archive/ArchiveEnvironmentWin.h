#pragma once
// The archive's surroundings in the DLL; the native build's are
// NativeArchiveEnvironment (WebArchive.h).
#include <windows.h>

#include "archive/WebArchive.h"

namespace tarvik {

// The platform's surroundings of an archive: CoCreateGuid, the local clock
// with the user's short date and long time formats, FindMimeFromData, the
// cache files opened for shared reading, the runtime's trace, and the
// library's version text.
TArchiveEnvironment WindowsArchiveEnvironment();
// The clock's reading as the platform's date and time functions take it.
SYSTEMTIME ToSystemTime(const TLocalDateTime& t);

}  // namespace tarvik
