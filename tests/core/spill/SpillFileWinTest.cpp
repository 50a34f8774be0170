// The temporary file of captured bytes on Windows: where it is made, who can
// open it, and that nothing of it outlives its process, however that ends.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/CapturedBytes.h"
#include "core/ClassTarvikRuntime.h"
#include "core/spill/SpillFile.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

// A scratch folder of its own, removed with what is in it.
class TScratchFolder {
 public:
  TScratchFolder() {
    char base[MAX_PATH];
    ::GetTempPathA(MAX_PATH, base);
    FPath = std::string(base) + "tarvik-spill-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(::GetTickCount());
    ::CreateDirectoryA(FPath.c_str(), nullptr);
  }
  ~TScratchFolder() {
    for (const std::string& name : Files()) ::DeleteFileA((FPath + "\\" + name).c_str());
    ::RemoveDirectoryA(FPath.c_str());
  }
  const std::string& Path() const { return FPath; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA((FPath + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
  }
  // Whether a spill file is there within timeoutMs (present) or gone (!present).
  bool WaitSpillFile(bool present, DWORD timeoutMs) const {
    for (DWORD waited = 0;; waited += 50) {
      bool any = false;
      for (const std::string& name : Files()) any = any || name.rfind(SpillFilePrefix, 0) == 0;
      if (any == present) return true;
      if (waited >= timeoutMs) return false;
      ::Sleep(50);
    }
  }

 private:
  std::string FPath;
};

// Bytes written and held: a file with nothing held in it goes at once.
std::vector<TSpillExtent> Held;
bool Write(TSpillArea& area, std::string bytes) { return area.Write(bytes.data(), bytes.size(), Held); }

TEST(SpillFileWin, MadeInTheUserTemporaryFolderForItsOwnerAloneAndOpenedByNoOneElse) {
  std::string path;
  {
    TSpillArea area(TSpillArea::TOptions{0, {}});
    ASSERT_TRUE(Write(area, "the user's page"));
    path = area.File()->Path();
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    EXPECT_EQ(path.rfind(std::string(temp) + SpillFilePrefix, 0), 0u) << path;
    EXPECT_TRUE(test::FileExists(path));
    const HANDLE other =
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);

    // Its access list lets in the process's user and no other (Wine shows
    // the system account too, from the owner-only mode it gives the file).
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                      nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE user[256];
    DWORD size = sizeof(user);
    ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, size, &size));
    ::CloseHandle(token);
    BYTE system[SECURITY_MAX_SID_SIZE];
    size = sizeof(system);
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    int users = 0;
    for (DWORD k = 0; k < dacl->AceCount; ++k) {
      void* ace = nullptr;
      ASSERT_TRUE(::GetAce(dacl, k, &ace));
      PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
      const bool isUser = ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
      users += isUser;
      EXPECT_TRUE(isUser || ::EqualSid(sid, system)) << "entry " << k;
    }
    EXPECT_EQ(users, 1);
    ::LocalFree(descriptor);
    Held.clear();
    area.WaitForCloses();
  }
  EXPECT_FALSE(test::FileExists(path)) << "left behind: " << path;
}

// The library's unload takes the file away with the last bytes in it.
TEST(SpillFileWin, TheLibraryUnloadRemovesTheFile) {
  LibraryLoad();
  SetProcessSpillArea(std::make_shared<TSpillArea>(TSpillArea::TOptions{0, {}}));
  std::string path;
  {
    std::shared_ptr<TSpillArea> area = ProcessSpillArea();
    std::string bytes = "captured";
    TSpillExtent where;
    ASSERT_TRUE(area->Write(bytes.data(), bytes.size(), where));
    TarvikDataBuffer->GetURLContent("http://h/")
        ->SetContent(std::make_shared<const TCapturedBytes>(area, std::vector<TSpillExtent>{where}), 8);
    path = area->File()->Path();
  }
  EXPECT_TRUE(test::FileExists(path));
  EXPECT_TRUE(*TarvikDataBuffer->GetURLContent("http://h/")->Content() == "captured");
  LibraryUnload();
  EXPECT_FALSE(test::FileExists(path)) << path;
}

// Files that dead processes left are removed when the next one is made; a
// file another process holds stays.
TEST(SpillFileWin, FilesLeftBehindGoWhenTheNextIsMadeAndHeldOnesStay) {
  TScratchFolder folder;
  const std::string dead = folder.Path() + "\\" + SpillFilePrefix + "dead" + SpillFileSuffix;
  const std::string held = folder.Path() + "\\" + SpillFilePrefix + "held" + SpillFileSuffix;
  const std::string other = folder.Path() + "\\not-ours.tmp";
  test::WriteWholeFile(dead, "old");
  test::WriteWholeFile(other, "keep");
  const HANDLE holder = ::CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  {
    TSpillArea area(TSpillArea::TOptions{0, folder.Path()});
    ASSERT_TRUE(Write(area, "x"));
    EXPECT_FALSE(test::FileExists(dead));
    EXPECT_TRUE(test::FileExists(held));
    EXPECT_TRUE(test::FileExists(other));
    Held.clear();
  }
  ::CloseHandle(holder);
  EXPECT_TRUE(folder.WaitSpillFile(false, 2000));
}

std::string Utf8(const std::wstring& text) {
  const int n =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A user whose profile path holds characters outside the ANSI code page
// (Polish and Russian names under 1252, any CJK one) still gets the file,
// under a name drawn from the random source (32 hex digits after the
// process id): another user of a shared folder cannot take it in advance.
TEST(SpillFileWin, AProfilePathOutsideTheCodePageTakesTheFileUnderARandomName) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder =
      std::wstring(temp) + L"\u0141\u00F3d\u017A-\u0416\u0443\u043A-\u6771-" + std::to_wstring(::GetCurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  wchar_t saved[4096] = {};
  const bool hadTmp = ::GetEnvironmentVariableW(L"TMP", saved, 4096) > 0;
  ::SetEnvironmentVariableW(L"TMP", folder.c_str());
  std::vector<std::string> names;
  for (int round = 0; round < 2; ++round) {
    TSpillArea area(TSpillArea::TOptions{0, {}});
    EXPECT_TRUE(Write(area, "page"));
    const std::string path = area.File() ? area.File()->Path() : std::string();
    const std::string prefix = Utf8(folder) + "\\" + SpillFilePrefix;
    EXPECT_EQ(path.rfind(prefix, 0), 0u) << path;
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
    if (path.size() > prefix.size()) names.push_back(path.substr(prefix.size()));
    Held.clear();
  }
  hadTmp ? ::SetEnvironmentVariableW(L"TMP", saved) : ::SetEnvironmentVariableW(L"TMP", nullptr);
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) {
    const size_t dash = name.find('-');
    ASSERT_NE(dash, std::string::npos) << name;
    EXPECT_EQ(name.substr(dash + 1), name.substr(dash + 1, 32) + SpillFileSuffix) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", dash + 1), dash + 33) << name;
  }
  EXPECT_NE(names[0], names[1]);
  for (int k = 0; k < 100 && !::RemoveDirectoryW(folder.c_str()); ++k) ::Sleep(50);
}

// A moment without the temporary folder does not turn spilling off: once it
// is back, a later write makes the file.
TEST(SpillFileWin, SpillingWorksAgainOnceTheFolderIsBack) {
  TScratchFolder parent;
  const std::string folder = parent.Path() + "\\later";
  {
    TSpillArea area(TSpillArea::TOptions{0, folder});
    EXPECT_FALSE(Write(area, "before"));
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    ::Sleep(TSpillArea::FirstRetryMs + 200);
    EXPECT_TRUE(Write(area, "after"));
    Held.clear();
  }
  for (int k = 0; k < 100 && !::RemoveDirectoryA(folder.c_str()); ++k) ::Sleep(50);
}

// Run only as the child of the test below: holds a spill file until killed.
TEST(SpillFileWin, DISABLED_HoldsASpillFileUntilKilled) {
  char folder[MAX_PATH] = {};
  ASSERT_GT(::GetEnvironmentVariableA("TARVIK_SPILL_FOLDER", folder, MAX_PATH), 0u);
  TSpillArea area(TSpillArea::TOptions{0, folder});
  ASSERT_TRUE(Write(area, std::string(100000, 'c')));
  ::Sleep(INFINITE);
}

TEST(SpillFileWin, AProcessKilledMidCaptureLeavesNoFileBehind) {
  TScratchFolder folder;
  ::SetEnvironmentVariableA("TARVIK_SPILL_FOLDER", folder.Path().c_str());
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command =
      std::string("\"") + self +
      "\" --gtest_also_run_disabled_tests --gtest_filter=SpillFileWin.DISABLED_HoldsASpillFileUntilKilled";
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION child{};
  ASSERT_TRUE(
      ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
  ::SetEnvironmentVariableA("TARVIK_SPILL_FOLDER", nullptr);
  const bool made = folder.WaitSpillFile(true, 60000);
  ::TerminateProcess(child.hProcess, 9);
  ::WaitForSingleObject(child.hProcess, 30000);
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  ASSERT_TRUE(made);
  EXPECT_TRUE(folder.WaitSpillFile(false, 10000)) << "the killed process's file is still there";
}

// Transfers from several threads at once, each at its own places, writes
// and reads mixed: every byte lands where it was meant to, and reads give
// back what was written there.
TEST(SpillFileWin, TransfersFromSeveralThreadsAtOnceKeepTheirPlaces) {
  TScratchFolder folder;
  std::string error;
  const std::unique_ptr<TSpillFile> file = OpenSpillFile(folder.Path(), error);
  ASSERT_TRUE(file) << error;
  constexpr int threads = 4, pieces = 300;
  constexpr size_t piece = 3000;  // not a multiple of any sector or page
  auto bytesOf = [](int t, int i) { return std::string(piece, static_cast<char>('a' + (t * 7 + i) % 26)); };
  std::vector<int> faults(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < pieces; ++i) {
        const uint64_t at = uint64_t{piece} * (static_cast<uint64_t>(i) * threads + static_cast<uint64_t>(t));
        const std::string bytes = bytesOf(t, i);
        if (!file->WriteAt(at, bytes.data(), bytes.size())) ++faults[t];
        std::string back(piece, '\0');
        if (!file->ReadAt(at, back.data(), back.size()) || back != bytes) ++faults[t];
      }
    });
  for (std::thread& worker : workers) worker.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(faults[t], 0) << "thread " << t;
  for (int i = 0; i < pieces; ++i)
    for (int t = 0; t < threads; ++t) {
      std::string back(piece, '\0');
      ASSERT_TRUE(file->ReadAt(uint64_t{piece} * (static_cast<uint64_t>(i) * threads + static_cast<uint64_t>(t)),
                               back.data(), back.size()));
      ASSERT_EQ(back, bytesOf(t, i)) << "piece " << i << " of thread " << t;
    }
}

}  // namespace
}  // namespace tarvik
