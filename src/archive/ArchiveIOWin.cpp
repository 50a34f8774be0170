#include "archive/ArchiveIOWin.h"

#include <algorithm>

namespace tarvik {

namespace {

class TWinFileReader final : public TFileReader {
 public:
  TWinFileReader(std::string path, HANDLE handle) : FPath(std::move(path)), FHandle(handle) {}
  uint64_t SizeHint() override {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(FHandle.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  }
  size_t Read(char* buffer, size_t size) override {
    size_t total = 0;
    while (total < size) {
      const DWORD want = static_cast<DWORD>(std::min<size_t>(size - total, 1u << 30));
      DWORD got = 0;
      if (!::ReadFile(FHandle.Get(), buffer + total, want, &got, nullptr)) {
        const DWORD code = ::GetLastError();
        throw TFileError(FPath, code, "Cannot read file \"" + FPath + "\": " + SystemErrorText(code));
      }
      if (got == 0) break;
      total += got;
    }
    return total;
  }

 private:
  std::string FPath;
  UniqueHandle FHandle;
};

}  // namespace

std::string SystemErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length ? std::string(text, length) : "error " + std::to_string(code);
  if (text) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ')) result.pop_back();
  return result;
}

std::unique_ptr<TFileReader> TWinFileSource::OpenIfExists(const std::string& path) {
  if (path.empty()) return nullptr;
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return nullptr;
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    throw TFileError(path, code, "Cannot open file \"" + path + "\": " + SystemErrorText(code));
  }
  return std::make_unique<TWinFileReader>(path, handle);
}

TWinFileOutputStream::TWinFileOutputStream(const std::string& path) : FPath(path) {
  FHandle.Reset(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!FHandle) {
    const DWORD code = ::GetLastError();
    throw TFileError(path, code, "Cannot create file \"" + path + "\": " + SystemErrorText(code));
  }
}

void TWinFileOutputStream::Write(const char* data, size_t size) {
  while (size > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!FHandle || !::WriteFile(FHandle.Get(), data, want, &written, nullptr) || written == 0) {
      const DWORD code = FHandle ? ::GetLastError() : ERROR_INVALID_HANDLE;
      throw TFileError(FPath, code, "Cannot write file \"" + FPath + "\": " + SystemErrorText(code));
    }
    data += written;
    size -= written;
  }
}

}  // namespace tarvik
