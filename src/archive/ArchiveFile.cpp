#include "archive/ArchiveFile.h"

#include <cstring>

namespace tarvik {

TArchiveFile::TArchiveFile(std::string path) : FPath(std::move(path)) {
  try {
    FWork = CreateWork(FPath);
  } catch (const TFileError& e) {
    Fail("create", e.Code());
  }
}

// The work file removes itself unless it was moved over the target.
TArchiveFile::~TArchiveFile() = default;

void TArchiveFile::Fail(const char* action, unsigned long code) const {
  throw TFileError(FPath, code, std::string("Cannot ") + action + " file \"" + FPath + "\". " + ReasonText(code));
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
    FWork->Write(data, size);
  } catch (const TFileError& e) {
    // The user knows the file by the name chosen, not by the work file's.
    Fail("write", e.Code());
  }
}

void TArchiveFile::Commit() {
  WriteOut(FBuffer.data(), FBuffered);
  FBuffered = 0;
  try {
    FWork->MoveOver(FPath);
  } catch (const TFileError& e) {
    Fail("create", e.Code());
  }
}

}  // namespace tarvik
