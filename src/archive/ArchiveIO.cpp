#include "archive/ArchiveIO.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tarvik {

namespace {

TFileError FileError(const std::string& action, const std::string& path, int code) {
  return TFileError(path, static_cast<unsigned long>(code),
                    "Cannot " + action + " file \"" + path + "\": " + std::strerror(code));
}

class TStdFileReader final : public TFileReader {
 public:
  TStdFileReader(std::string path, std::FILE* file, uint64_t size) : FPath(std::move(path)), FFile(file), FSize(size) {}
  TStdFileReader(const TStdFileReader&) = delete;
  TStdFileReader& operator=(const TStdFileReader&) = delete;
  uint64_t SizeHint() override { return FSize; }
  ~TStdFileReader() override { std::fclose(FFile); }
  size_t Read(char* buffer, size_t size) override {
    size_t total = 0;
    while (total < size) {
      errno = 0;
      const size_t got = std::fread(buffer + total, 1, size - total, FFile);
      total += got;
      if (got == 0) {
        if (std::ferror(FFile)) throw FileError("read", FPath, errno ? errno : EIO);
        break;
      }
    }
    return total;
  }

 private:
  std::string FPath;
  std::FILE* FFile;
  uint64_t FSize;
};

}  // namespace

std::unique_ptr<TFileReader> TStdFileSource::OpenIfExists(const std::string& path) {
  if (path.empty()) return nullptr;
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return nullptr;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw FileError("open", path, errno);
  return std::make_unique<TStdFileReader>(path, file, static_cast<uint64_t>(info.st_size));
}

TStdFileOutputStream::TStdFileOutputStream(const std::string& path) : FPath(path) {
  FFile = std::fopen(path.c_str(), "wb");
  if (!FFile) throw FileError("create", path, errno);
}

TStdFileOutputStream::~TStdFileOutputStream() {
  if (FFile) std::fclose(FFile);
}

void TStdFileOutputStream::Write(const char* data, size_t size) {
  if (size == 0) return;
  if (!FFile) throw FileError("write", FPath, EBADF);
  errno = 0;
  if (std::fwrite(data, 1, size, FFile) != size) throw FileError("write", FPath, errno ? errno : EIO);
}

void TStdFileOutputStream::Close() {
  if (!FFile) return;
  const bool failed = std::fflush(FFile) != 0;
  const int code = errno;
  const bool closeFailed = std::fclose(FFile) != 0;
  FFile = nullptr;
  if (failed || closeFailed) throw FileError("write", FPath, code ? code : EIO);
}

}  // namespace tarvik
