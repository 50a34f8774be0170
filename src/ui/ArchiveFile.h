#pragma once
// The archive file of a save. The archive is written to a new file in the
// target's folder and put in place of the target only when it is complete,
// so a failed save leaves an earlier archive of that name untouched and no
// partial file behind.
#include <windows.h>

#include <string>

#include <memory>

#include "archive/ArchiveIO.h"
#include "archive/CoTarvikEngine.h"

namespace tarvik {

class TArchiveFile final : public TOutputStream {
 public:
  // Creates the new file, open exclusively. Throws TFileError naming path
  // with the system's reason when the target cannot be written.
  explicit TArchiveFile(std::string path);
  // Without Commit: closes and removes the new file.
  ~TArchiveFile() override;
  TArchiveFile(const TArchiveFile&) = delete;
  TArchiveFile& operator=(const TArchiveFile&) = delete;

  void Write(const char* data, size_t size) override;
  using TOutputStream::Write;
  // Closes the new file and replaces the target with it; throws TFileError.
  void Commit();

  const std::string& Path() const noexcept { return FPath; }
  const std::string& WorkPath() const noexcept { return FWorkPath; }

 private:
  [[noreturn]] void Fail(DWORD code) const;

  std::string FPath;
  std::string FWorkPath;
  std::unique_ptr<TWinFileOutputStream> FStream;
  bool FCommitted = false;
};

}  // namespace tarvik
