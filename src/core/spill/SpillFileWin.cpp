// The spill file on Windows: in the user's temporary folder, opened with no
// sharing (no other open succeeds while it lives), deleted by the system when
// its handle closes (the process's end included), and with a security
// descriptor that grants its owner alone. Only functions every supported
// system exports are imported; the random source is looked up at run time.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

#include "core/spill/SpillFile.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

// Folders and paths travel as UTF-8 and meet the system only as UTF-16: a
// user's name outside the ANSI code page must not turn into "?" on the way.
std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

std::wstring WithSlash(std::wstring folder) {
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  return folder;
}

// Under Wine the system writes temporary files back like any other file,
// with no lazy-write exemption for them, so the spill's bytes reach the
// disk whatever the add-on does.
bool SystemWritesTemporaryFilesBack() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Written out a step at a time there: a burst of the spill's pages every few
// seconds held up the disk requests behind it, among them the removals
// Wine's server makes for every process (the browser's cache scavenging),
// and with them every thread of the browser for up to a third of a second.
// Steps of 2 MiB brought the browser's longest waits near the bare
// browser's; steps of 32 MiB did not. Wine syncs a flushed file on the
// calling thread, so only the writer waits for it (about 5 ms a step, but
// up to 120 ms while the disk is busy): after the captures waiting for the
// write are told, and not while one waits for more.
constexpr uint64_t WriteOutStep = uint64_t{2} << 20;

class TWinSpillFile final : public TSpillFile {
 public:
  TWinSpillFile(HANDLE handle, std::string path) : FHandle(handle), FPath(std::move(path)) {}
  TWinSpillFile(const TWinSpillFile&) = delete;
  TWinSpillFile& operator=(const TWinSpillFile&) = delete;
  ~TWinSpillFile() override { CloseHandle(FHandle); }

  bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept override {
    return Transfer(WriteFile, offset, const_cast<void*>(data), size);
  }
  bool ReadAt(uint64_t offset, void* data, size_t size) noexcept override {
    return Transfer(ReadFile, offset, data, size);
  }

  std::string Path() const override { return FPath; }

  bool WroteBehind(uint64_t size, bool waited) noexcept override {
    return SystemWritesTemporaryFilesBack() && FPace.Add(size, waited);
  }
  // No lock: a flush takes no file pointer.
  void WriteOut() noexcept override { FlushFileBuffers(FHandle); }

  // Under Wine the truncation runs in this thread, while the removal at close
  // runs in the server, where every thread of the browser waits behind it.
  // A length past the end would grow the file (a write that failed leaves it
  // shorter than the places taken in it).
  void Shorten(uint64_t length) noexcept override {
    std::lock_guard<std::mutex> guard(FLock);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(FHandle, &size) || static_cast<uint64_t>(size.QuadPart) <= length) return;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    SetFileInformationByHandle(FHandle, FileEndOfFileInfo, &end, sizeof(end));
  }

 private:
  // Positioned transfers: the file pointer is moved and used under a lock.
  // An OVERLAPPED offset would need no lock, but under Wine each such call
  // also asks the server to post a completion (two round trips a 64 KiB
  // write), which cost a spilling download a third of its processor time.
  template <class Call>
  bool Transfer(Call call, uint64_t offset, void* data, size_t size) noexcept {
    char* bytes = static_cast<char*>(data);
    std::lock_guard<std::mutex> guard(FLock);
    while (size > 0) {
      LARGE_INTEGER at;
      at.QuadPart = static_cast<LONGLONG>(offset);
      const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
      DWORD done = 0;
      if (!SetFilePointerEx(FHandle, at, nullptr, FILE_BEGIN) || !call(FHandle, bytes, want, &done, nullptr) ||
          done == 0)
        return false;
      bytes += done;
      offset += done;
      size -= done;
    }
    return true;
  }

  const HANDLE FHandle;
  const std::string FPath;
  std::mutex FLock;  // the file pointer
  TWriteOutPace FPace{WriteOutStep};
};

// An access list with one entry: everything, for the process's user.
class TOwnerOnly {
 public:
  TOwnerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    FUser.resize(size);
    const bool user = size && GetTokenInformation(token, TokenUser, FUser.data(), size, &size);
    CloseHandle(token);
    if (!user) return;
    PSID sid = reinterpret_cast<TOKEN_USER*>(FUser.data())->User.Sid;
    FAcl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    ACL* acl = reinterpret_cast<ACL*>(FAcl.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(FAcl.size()), ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&FDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&FDescriptor, TRUE, acl, FALSE))
      return;
    // Entries the folder would pass on are not merged in.
    FDescriptor.Control |= SE_DACL_PROTECTED;
    FAttributes.nLength = sizeof(FAttributes);
    FAttributes.lpSecurityDescriptor = &FDescriptor;
    FAttributes.bInheritHandle = FALSE;
    FReady = true;
  }
  SECURITY_ATTRIBUTES* Attributes() { return FReady ? &FAttributes : nullptr; }

 private:
  std::vector<BYTE> FUser;
  std::vector<BYTE> FAcl;
  SECURITY_DESCRIPTOR FDescriptor{};
  SECURITY_ATTRIBUTES FAttributes{};
  bool FReady = false;
};

std::string ErrorText(DWORD code) { return "error " + std::to_string(code); }

}  // namespace

std::string DefaultSpillFolder() {
  // A profile path may be longer than MAX_PATH: ask for the length first.
  const DWORD need = GetTempPathW(0, nullptr);
  if (need == 0) return {};
  std::wstring buffer(need, L'\0');
  const DWORD n = GetTempPathW(need, buffer.data());
  if (n == 0 || n >= need) return {};
  buffer.resize(n);
  return Narrow(buffer);
}

std::unique_ptr<TSpillFile> OpenSpillFile(const std::string& folder, std::string& error) noexcept {
  // The step under way, for the error when one throws.
  const char* step = "making its access list";
  std::unique_ptr<TSpillFile> file;
  if (NoThrow([&] {
        if (folder.empty()) {
          error = "no temporary folder";
          return;
        }
        TOwnerOnly security;
        if (!security.Attributes()) {
          error = "no owner-only access list: " + ErrorText(GetLastError());
          return;
        }
        step = "naming it";
        const std::wstring base = WithSlash(Widen(folder));
        // Names from the random source: another user of a shared folder cannot
        // take them in advance, and a collision is tried again with a new one.
        for (int attempt = 0; attempt < SpillNameAttempts; ++attempt) {
          uint32_t random[4];
          if (!SpillRandomBytes(random, sizeof(random))) {
            error = "no random source for its name";
            return;
          }
          wchar_t name[96];
          swprintf(name, 96, L"%hs%08lX-%08lX%08lX%08lX%08lX%hs", SpillFilePrefix, GetCurrentProcessId(),
                   static_cast<unsigned long>(random[0]), static_cast<unsigned long>(random[1]),
                   static_cast<unsigned long>(random[2]), static_cast<unsigned long>(random[3]), SpillFileSuffix);
          const std::wstring path = base + name;
          const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, security.Attributes(),
                                            CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
          if (handle != INVALID_HANDLE_VALUE) {
            step = "keeping its handle";
            file = std::make_unique<TWinSpillFile>(handle, Narrow(path));
            return;
          }
          const DWORD code = GetLastError();
          if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            error = ErrorText(code);
            return;
          }
        }
        error = "no free name";
      }))
    return file;
  SpillStepFailed(error, step);
  return nullptr;
}

void RemoveStaleSpillFiles(const std::string& folder) noexcept {
  // Out of memory: the stale files stay for the next start.
  NoThrow([&] {
    if (folder.empty()) return;
    const std::wstring base = WithSlash(Widen(folder));
    const std::wstring pattern = base + Widen(SpillFilePrefix) + L"*" + Widen(SpillFileSuffix);
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      // A living process holds its file without sharing: that delete fails.
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((base + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  });
}

uint64_t SpillFolderFreeBytes(const std::string& folder) noexcept {
  // 0: not known.
  ULARGE_INTEGER available{};
  NoThrow([&] {
    if (!GetDiskFreeSpaceExW(WithSlash(Widen(folder)).c_str(), &available, nullptr, nullptr)) available.QuadPart = 0;
  });
  return available.QuadPart;
}

bool SpillRandomBytes(void* out, size_t size) noexcept {
  // RtlGenRandom where the system has it, else the base crypto provider.
  using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
  HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
  if (!advapi) advapi = LoadLibraryW(L"advapi32.dll");
  if (!advapi) return false;
  if (auto gen = reinterpret_cast<GenRandom>(reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036"))))
    if (gen(out, static_cast<ULONG>(size))) return true;
  using Acquire = BOOL(WINAPI*)(ULONG_PTR*, LPCWSTR, LPCWSTR, DWORD, DWORD);
  using Gen = BOOL(WINAPI*)(ULONG_PTR, DWORD, BYTE*);
  using ReleaseContext = BOOL(WINAPI*)(ULONG_PTR, DWORD);
  auto acquire = reinterpret_cast<Acquire>(reinterpret_cast<void*>(GetProcAddress(advapi, "CryptAcquireContextW")));
  auto gen = reinterpret_cast<Gen>(reinterpret_cast<void*>(GetProcAddress(advapi, "CryptGenRandom")));
  auto release =
      reinterpret_cast<ReleaseContext>(reinterpret_cast<void*>(GetProcAddress(advapi, "CryptReleaseContext")));
  if (!acquire || !gen || !release) return false;
  ULONG_PTR provider = 0;
  if (!acquire(&provider, nullptr, nullptr, 1 /* PROV_RSA_FULL */, 0xF0000000 /* CRYPT_VERIFYCONTEXT */)) return false;
  const bool ok = gen(provider, static_cast<DWORD>(size), static_cast<BYTE*>(out)) != FALSE;
  release(provider, 0);
  return ok;
}

namespace {

struct TThreadStart {
  void (*Run)(void*);
  void* Arg;
  HMODULE Module;
};

DWORD WINAPI SpillThread(void* param) {
  const TThreadStart start = *static_cast<TThreadStart*>(param);
  delete static_cast<TThreadStart*>(param);
  start.Run(start.Arg);
  // The library's code runs until the thread is gone: it lets go of the
  // library only in the same call that ends the thread.
  FreeLibraryAndExitThread(start.Module, 0);
}

// Handles of the threads started, kept until they are signalled: a thread
// frees the library in the call that ends it, so only its handle tells
// that it no longer runs our code.
struct TThreadHandles {
  std::mutex Lock;
  std::vector<HANDLE> Handles;
  ~TThreadHandles() {
    for (HANDLE handle : Handles) CloseHandle(handle);
  }
};

TThreadHandles& ThreadHandles() {
  static TThreadHandles handles;
  return handles;
}

}  // namespace

bool StartSpillThread(void (*run)(void*), void* arg) noexcept {
  TThreadHandles& threads = ThreadHandles();
  std::lock_guard<std::mutex> guard(threads.Lock);
  // Room for the handle first: once the thread exists, keeping it cannot fail.
  if (!NoThrow([&] { threads.Handles.reserve(threads.Handles.size() + 1); })) return false;
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&SpillThread), &module))
    return false;
  auto* start = new (std::nothrow) TThreadStart{run, arg, module};
  // Suspended until its handle is kept: it is counted before it can end.
  HANDLE thread = start ? CreateThread(nullptr, 0, &SpillThread, start, CREATE_SUSPENDED, nullptr) : nullptr;
  if (!thread) {
    delete start;
    FreeLibrary(module);
    return false;
  }
  threads.Handles.push_back(thread);
  ResumeThread(thread);
  return true;
}

uint32_t SpillThreadsAlive() noexcept {
  TThreadHandles& threads = ThreadHandles();
  std::lock_guard<std::mutex> guard(threads.Lock);
  std::erase_if(threads.Handles, [](HANDLE handle) {
    if (WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) return false;
    CloseHandle(handle);
    return true;
  });
  return static_cast<uint32_t>(threads.Handles.size());
}

}  // namespace tarvik
