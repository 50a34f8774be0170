#pragma once
// The platform's files for the DLL: cache files read while the browser may
// still write them, and output files held exclusively. The C library's
// twins are in ArchiveIO.h.
#include <windows.h>

#include <memory>
#include <string>

#include "archive/ArchiveIO.h"
#include "framework/Handles.h"

namespace tarvik {

// Cache files opened for reading while others may read and write them.
class TWinFileSource final : public TFileSource {
 public:
  std::unique_ptr<TFileReader> OpenIfExists(const std::string& path) override;
};

// The archive file: created anew (replacing one that exists) and kept open
// exclusively until Close or destruction. A failed write throws TFileError.
class TWinFileOutputStream final : public TOutputStream {
 public:
  explicit TWinFileOutputStream(const std::string& path);
  void Write(const char* data, size_t size) override;
  using TOutputStream::Write;
  void Close() noexcept { FHandle.Reset(); }
  HANDLE Handle() const noexcept { return FHandle.Get(); }

 private:
  std::string FPath;
  UniqueHandle FHandle;
};

// The platform's text for a Win32 error code.
std::string SystemErrorText(DWORD code);

}  // namespace tarvik
