#pragma once
// The archive file of a save. The archive is written to a new file in the
// target's folder and put in place of the target only when it is complete,
// so a failed save leaves an earlier archive of that name untouched and no
// partial file behind.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/ArchiveIO.h"
#include "archive/ArchiveIOWin.h"

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

  // Gathered into writes of BufferSize: a part's header comes in pieces of a
  // few bytes, and each write of a file costs a system call.
  void Write(const char* data, size_t size) override;
  using TOutputStream::Write;
  // Writes what is gathered, closes the new file and replaces the target
  // with it; throws TFileError.
  void Commit();

  static constexpr size_t BufferSize = 1u << 20;

  const std::string& Path() const noexcept { return FPath; }
  const std::string& WorkPath() const noexcept { return FWorkPath; }

 private:
  [[noreturn]] void Fail(DWORD code) const;
  void WriteOut(const char* data, size_t size);

  std::string FPath;
  std::string FWorkPath;
  std::unique_ptr<TWinFileOutputStream> FStream;
  std::vector<char> FBuffer;
  size_t FBuffered = 0;
  bool FCommitted = false;
};

}  // namespace tarvik
