// The work file on Windows: a new file of a name the system makes in the
// target's folder, so that the move is a rename on the same volume.
#include <windows.h>

#include "archive/ArchiveFile.h"
#include "archive/ArchiveIOWin.h"
#include "core/PathText.h"

namespace tarvik {

namespace {

[[noreturn]] void ThrowLastError(const std::string& path) {
  const DWORD code = ::GetLastError();
  throw TFileError(path, code, SystemErrorText(code));
}

class TWinWork final : public TArchiveFile::TWork {
 public:
  explicit TWinWork(const std::string& target) {
    // An existing target that cannot be replaced fails now, before any work.
    if (::GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      UniqueHandle probe(::CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!probe) ThrowLastError(target);
    }
    char work[MAX_PATH + 1] = {};
    const std::string folder = FolderOf(target);
    if (!::GetTempFileNameA(folder.empty() ? ".\\" : folder.c_str(), "tvk", 0, work)) ThrowLastError(target);
    FPath = work;
    try {
      FStream = std::make_unique<TWinFileOutputStream>(FPath);
    } catch (const TFileError&) {
      ::DeleteFileA(FPath.c_str());
      throw;
    }
  }
  ~TWinWork() override {
    if (FMoved) return;
    FStream.reset();
    ::DeleteFileA(FPath.c_str());
  }

  void Write(const char* data, size_t size) override { FStream->Write(data, size); }

  void MoveOver(const std::string& target) override {
    if (!::FlushFileBuffers(FStream->Handle())) ThrowLastError(target);
    FStream->Close();
    if (!::MoveFileExA(FPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      ThrowLastError(target);
    FMoved = true;
  }

 private:
  std::string FPath;
  std::unique_ptr<TWinFileOutputStream> FStream;
  bool FMoved = false;
};

}  // namespace

std::unique_ptr<TArchiveFile::TWork> TArchiveFile::CreateWork(const std::string& target) {
  return std::make_unique<TWinWork>(target);
}

std::string TArchiveFile::ReasonText(unsigned long code) { return SystemErrorText(code); }

}  // namespace tarvik
