#include "archive/CoTarvikEngine.h"

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>

#include "archive/ContentSniffing.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/ComBoundary.h"
#include "framework/ComPtr.h"
#include "framework/GuidText.h"

namespace tarvik {

namespace {

// The composer's view of an IURLStrings.
class TURLStringsSource final : public TURLStringSource {
 public:
  explicit TURLStringsSource(IURLStrings* strings) : FStrings(strings) {}
  int32_t Count() const override { return FStrings->Count(); }
  std::string URL(int32_t i) const override { return FStrings->URL(i); }
  std::string Base(int32_t i) const override { return FStrings->Base(i); }
  std::string DocumentURL(int32_t i) const override { return FStrings->DocumentURL(i); }

 private:
  IURLStrings* FStrings;
};

std::string LocaleDate(const TLocalDateTime& t) {
  const SYSTEMTIME st = ToSystemTime(t);
  char buffer[256];
  const int length = ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, sizeof(buffer));
  return length > 1 ? std::string(buffer, static_cast<size_t>(length - 1)) : std::string();
}

std::string LocaleTime(const TLocalDateTime& t) {
  const SYSTEMTIME st = ToSystemTime(t);
  char buffer[256];
  const int length = ::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, sizeof(buffer));
  return length > 1 ? std::string(buffer, static_cast<size_t>(length - 1)) : std::string();
}

std::string NewGuidText() {
  GUID guid{};
  ::CoCreateGuid(&guid);
  return GuidText(guid);
}

// Hands the failure to the caller's error object as well.
void SetErrorDescription(const std::string& text) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(::CreateErrorInfo(create.Put()))) return;
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  create->SetDescription(wide.data());
  create->SetGUID(__uuidof(ITarvikEngine));
  ComPtr<IErrorInfo> info = create.As<IErrorInfo>();
  ::SetErrorInfo(0, info.Get());
}

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

SYSTEMTIME ToSystemTime(const TLocalDateTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.Year);
  st.wMonth = static_cast<WORD>(t.Month);
  st.wDay = static_cast<WORD>(t.Day);
  st.wHour = static_cast<WORD>(t.Hour);
  st.wMinute = static_cast<WORD>(t.Minute);
  st.wSecond = static_cast<WORD>(t.Second);
  st.wMilliseconds = static_cast<WORD>(t.Milliseconds);
  return st;
}

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

TArchiveEnvironment WindowsArchiveEnvironment() {
  static TWinFileSource files;
  TArchiveEnvironment env;
  env.Version = VersionInfo.FileVersion;
  env.NewArchiveID = &NewGuidText;
  env.Now = [] {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return TLocalDateTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  };
  env.FormatShortDate = &LocaleDate;
  env.FormatLongTime = &LocaleTime;
  env.SniffContentType = [](const std::string& name) { return SniffContentType(name); };
  env.Trace = [](const std::string& source, const std::string& message) { Log(source, message); };
  env.Files = &files;
  return env;
}

HRESULT STDMETHODCALLTYPE TTarvikEngine::ComposeWebArchive(const std::string& FirstURL, IURLStrings* URLs,
                                                           IUnknown* Observer, TOutputStream* Stream,
                                                           const std::string& Title) {
  if (!URLs || !Stream) return E_POINTER;
  TTarvikDataBuffer* store = TarvikDataBuffer.get();
  if (!store) return E_UNEXPECTED;
  // What went wrong goes to the caller's error object as well; a file that
  // cannot be read or written answers its own error code.
  constexpr TComFailure failure{.Result = E_FAIL, .Describe = &SetErrorDescription};
  return ComBoundary(failure, [&] {
    try {
      const TArchiveEnvironment env = FEnvironment ? FEnvironment() : WindowsArchiveEnvironment();
      const TURLStringsSource source(URLs);
      WriteWebArchive(source, *store, *Stream, Title, env);
      return S_OK;
    } catch (const TFileError& error) {
      SetErrorDescription(error.what());
      return HRESULT_FROM_WIN32(error.Code() ? error.Code() : ERROR_READ_FAULT);
    }
  });
}

std::string STDMETHODCALLTYPE TStringsToURLStrings::URL(int32_t i) {
  if (i < 0 || i >= FList.Count()) return std::string();
  return FList.URL(i);
}

std::string STDMETHODCALLTYPE TStringsToURLStrings::Base(int32_t i) { return FList.Base(i); }

}  // namespace tarvik
