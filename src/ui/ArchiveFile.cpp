#include "ui/ArchiveFile.h"

#include <cstring>

#include "ui/NameRules.h"

namespace tarvik {

TArchiveFile::TArchiveFile(std::string path) : FPath(std::move(path)) {
  // An existing target that cannot be replaced fails now, before any work.
  if (::GetFileAttributesA(FPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
    UniqueHandle probe(::CreateFileA(FPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe) Fail(::GetLastError());
  }
  char work[MAX_PATH + 1] = {};
  const std::string folder = FolderOf(FPath);
  if (!::GetTempFileNameA(folder.empty() ? ".\\" : folder.c_str(), "tvk", 0, work)) Fail(::GetLastError());
  FWorkPath = work;
  try {
    FStream = std::make_unique<TWinFileOutputStream>(FWorkPath);
  } catch (const TFileError& e) {
    ::DeleteFileA(FWorkPath.c_str());
    Fail(e.Code());
  }
}

TArchiveFile::~TArchiveFile() {
  if (FCommitted) return;
  FStream.reset();
  if (!FWorkPath.empty()) ::DeleteFileA(FWorkPath.c_str());
}

void TArchiveFile::Fail(DWORD code) const {
  throw TFileError(FPath, code, "Cannot create file \"" + FPath + "\". " + SystemErrorText(code));
}

void TArchiveFile::Write(const char* data, size_t size) {
  if (FBuffered + size > BufferSize) {
    WriteOut(FBuffer.data(), FBuffered);
    FBuffered = 0;
    // A piece as large as the buffer goes straight to the file.
    if (size >= BufferSize) {
      WriteOut(data, size);
      return;
    }
  }
  if (size == 0) return;
  if (FBuffer.empty()) FBuffer.resize(BufferSize);
  std::memcpy(FBuffer.data() + FBuffered, data, size);
  FBuffered += size;
}

void TArchiveFile::WriteOut(const char* data, size_t size) {
  try {
    FStream->Write(data, size);
  } catch (const TFileError& e) {
    // The user knows the file by the name chosen, not by the work file's.
    throw TFileError(FPath, e.Code(), "Cannot write file \"" + FPath + "\". " + SystemErrorText(e.Code()));
  }
}

void TArchiveFile::Commit() {
  WriteOut(FBuffer.data(), FBuffered);
  FBuffered = 0;
  if (!::FlushFileBuffers(FStream->Handle())) Fail(::GetLastError());
  FStream->Close();
  if (!::MoveFileExA(FWorkPath.c_str(), FPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    Fail(::GetLastError());
  FCommitted = true;
}

}  // namespace tarvik
