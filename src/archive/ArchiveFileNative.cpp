// The work file in the native build: a name of this process's own beside the
// target, so that the move is a rename within the folder.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/ArchiveFile.h"

namespace tarvik {

namespace {

std::string WorkPathBeside(const std::string& path) {
  static std::atomic<unsigned> serial{0};
  return path + "." + std::to_string(::getpid()) + "-" + std::to_string(serial++) + ".part";
}

class TNativeWork final : public TArchiveFile::TWork {
 public:
  explicit TNativeWork(const std::string& target) : FPath(WorkPathBeside(target)), FStream(FPath) {}
  // The stream closes after the name is gone.
  ~TNativeWork() override {
    if (!FMoved) std::remove(FPath.c_str());
  }

  void Write(const char* data, size_t size) override { FStream.Write(data, size); }

  void MoveOver(const std::string& target) override {
    FStream.Close();
    if (std::rename(FPath.c_str(), target.c_str()) != 0) {
      const int code = errno;
      throw TFileError(target, static_cast<unsigned long>(code), std::strerror(code));
    }
    FMoved = true;
  }

 private:
  std::string FPath;
  TStdFileOutputStream FStream;
  bool FMoved = false;
};

}  // namespace

std::unique_ptr<TArchiveFile::TWork> TArchiveFile::CreateWork(const std::string& target) {
  return std::make_unique<TNativeWork>(target);
}

std::string TArchiveFile::ReasonText(unsigned long code) { return std::strerror(static_cast<int>(code)); }

}  // namespace tarvik
