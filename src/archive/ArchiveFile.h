#pragma once
// An archive file that is written beside its target and put in place of the
// target only when it is complete, so a failed save leaves an earlier archive
// of that name untouched and no partial file behind. The work file is the
// platform's (ArchiveFileWin.cpp, ArchiveFileNative.cpp).
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "archive/ArchiveIO.h"

namespace tarvik {

class TArchiveFile final : public TOutputStream {
 public:
  // Creates the work file beside path. Throws TFileError naming path with
  // the system's reason when the target cannot be written.
  explicit TArchiveFile(std::string path);
  // Without Commit: closes and removes the work file.
  ~TArchiveFile() override;
  TArchiveFile(const TArchiveFile&) = delete;
  TArchiveFile& operator=(const TArchiveFile&) = delete;

  // Gathered into writes of BufferSize: a part's header comes in pieces of a
  // few bytes, and each write of a file costs a system call.
  void Write(const char* data, size_t size) override;
  using TOutputStream::Write;
  // Writes what is gathered, closes the work file and replaces the target
  // with it; throws TFileError.
  void Commit();

  static constexpr size_t BufferSize = 1u << 20;

  const std::string& Path() const noexcept { return FPath; }

  // The platform's half: the work file. Its failures throw TFileError with
  // the platform's error code; the archive file names the target in them.
  class TWork {
   public:
    virtual ~TWork() = default;
    virtual void Write(const char* data, size_t size) = 0;
    // Makes the work file durable, closes it and moves it over target.
    virtual void MoveOver(const std::string& target) = 0;
  };

 private:
  static std::unique_ptr<TWork> CreateWork(const std::string& target);
  // The platform's text for one of its error codes.
  static std::string ReasonText(unsigned long code);
  [[noreturn]] void Fail(const char* action, unsigned long code) const;
  void WriteOut(const char* data, size_t size);

  std::string FPath;
  std::unique_ptr<TWork> FWork;
  std::vector<char> FBuffer;
  size_t FBuffered = 0;
};

}  // namespace tarvik
