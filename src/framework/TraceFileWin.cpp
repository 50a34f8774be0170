// The trace file's platform half on Windows: others may read the file while
// it is written (support opens it beside a running browser), but a second
// browser process cannot write it and takes its own.
#include <windows.h>

#include "framework/Handles.h"
#include "framework/TraceFile.h"
#include "framework/WinText.h"

namespace tarvik {

namespace {

class TWinTraceStore final : public TTraceStore {
 public:
  explicit TWinTraceStore(UniqueResource<HANDLE, HandleTraits> handle) : FHandle(std::move(handle)) {}

  uint64_t Size() noexcept override {
    LARGE_INTEGER size{};
    return ::GetFileSizeEx(FHandle.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  }
  bool Append(std::string_view bytes) noexcept override {
    return ::SetFilePointerEx(FHandle.Get(), LARGE_INTEGER{}, nullptr, FILE_END) && WriteAll(bytes);
  }
  bool ReadAll(std::string& bytes) override {
    bytes.resize(static_cast<size_t>(Size()));
    return ::SetFilePointerEx(FHandle.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) &&
           Transfer(bytes.data(), bytes.size(), [&](char* at, DWORD size, DWORD* done) {
             return ::ReadFile(FHandle.Get(), at, size, done, nullptr);
           });
  }
  bool Replace(std::string_view bytes) noexcept override {
    return ::SetFilePointerEx(FHandle.Get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) && WriteAll(bytes) &&
           ::SetEndOfFile(FHandle.Get());
  }

 private:
  bool WriteAll(std::string_view bytes) noexcept {
    return Transfer(const_cast<char*>(bytes.data()), bytes.size(), [&](char* at, DWORD size, DWORD* done) {
      return ::WriteFile(FHandle.Get(), at, size, done, nullptr);
    });
  }
  // The whole of size bytes, in as many calls as the system needs.
  template <class Call>
  static bool Transfer(char* data, size_t size, Call call) noexcept {
    for (size_t done = 0; done < size;) {
      DWORD n = 0;
      if (!call(data + done, static_cast<DWORD>(size - done), &n) || n == 0) return false;
      done += n;
    }
    return true;
  }

  UniqueResource<HANDLE, HandleTraits> FHandle;
};

}  // namespace

std::unique_ptr<TTraceStore> OpenTraceStore(const std::string& path) noexcept {
  std::unique_ptr<TTraceStore> store;
  NoThrow([&] {
    UniqueResource<HANDLE, HandleTraits> handle(::CreateFileW(AnsiToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                                              FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.Valid()) return;
    store = std::make_unique<TWinTraceStore>(std::move(handle));
  });
  return store;
}

std::string TraceClockText() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return Format("%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                now.wSecond, now.wMilliseconds);
}

uint32_t TraceThreadId() noexcept { return ::GetCurrentThreadId(); }
uint32_t TraceProcessId() noexcept { return ::GetCurrentProcessId(); }

}  // namespace tarvik
