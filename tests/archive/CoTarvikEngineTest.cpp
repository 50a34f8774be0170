#include "archive/CoTarvikEngine.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "archive/ArchiveEnvironmentWin.h"
#include "archive/ArchiveIOWin.h"
#include "archive/ContentSniffing.h"
#include "archive/SynaCode.h"
#include "core/ClassTarvikRuntime.h"
#include "support/TraceRecorder.h"
#include "support/archive/ArchiveTestSupport.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

using test::ParseArchive;

// Registers a MIME type for an extension in the system's database for the
// life of the test (this build's own Wine prefix registers none).
class RegisteredExtension {
 public:
  RegisteredExtension(const char* extension, const char* type) : FExtension(extension) {
    UniqueHKey key;
    EXPECT_EQ(
        ::RegCreateKeyExA(HKEY_CLASSES_ROOT, extension, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr),
        ERROR_SUCCESS);
    ::RegSetValueExA(key.Get(), "Content Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(type),
                     static_cast<DWORD>(std::strlen(type) + 1));
  }
  ~RegisteredExtension() { ::RegDeleteKeyA(HKEY_CLASSES_ROOT, FExtension); }

 private:
  const char* FExtension;
};

TEST(SniffContentType, AsksThePlatformByNameAndFallsBackToPlainText) {
  const RegisteredExtension registered(".tarviktest", "application/x-tarvik-test");
  EXPECT_EQ(SniffContentType("C:\\cache\\page[1].tarviktest"), "application/x-tarvik-test");
  EXPECT_EQ(SniffContentType("C:\\cache\\PAGE.TARVIKTEST"), "application/x-tarvik-test");
  EXPECT_EQ(SniffContentType(""), "text/plain");
  // A name without an extension, and one the system has no type for.
  EXPECT_EQ(SniffContentType("C:\\cache\\noextension"), "text/plain");
  EXPECT_EQ(SniffContentType("C:\\cache\\file.tarvikunknown"), "text/plain");
}

class CoTarvikEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CoInitialize(nullptr);
    FSavedStore = std::move(TarvikDataBuffer);
    TarvikDataBuffer = std::make_unique<TTarvikDataBuffer>();
  }
  void TearDown() override {
    TarvikDataBuffer = std::move(FSavedStore);
    ::CoUninitialize();
  }
  static ComPtr<IURLStrings> Strings(const std::vector<std::string>& urls, const std::vector<std::string>& bases = {}) {
    return TInterfacedObject::Create<TStringsToURLStrings>(urls.empty() ? std::string() : urls.front(), urls, bases);
  }
  static ComPtr<ITarvikEngine> FixedEngine(TFileSource* files) {
    return TInterfacedObject::Create<TTarvikEngine>([files] { return test::FixedEnvironment(files); });
  }

  std::unique_ptr<TTarvikDataBuffer> FSavedStore;
  test::TempFolder FFolder;
};

TEST_F(CoTarvikEngineTest, URLStringsKeepCopiesAndGiveTheDefaultBase) {
  std::vector<std::string> urls = {"http://h/a", "http://h/b", "http://h/c"};
  std::vector<std::string> bases = {"http://h/", ""};
  ComPtr<IURLStrings> strings = Strings(urls, bases);
  urls.clear();
  bases.clear();
  ASSERT_EQ(strings->Count(), 3);
  EXPECT_EQ(strings->URL(2), "http://h/c");
  EXPECT_EQ(strings->Base(0), "http://h/");
  EXPECT_EQ(strings->Base(1), "http://h/a");
  EXPECT_EQ(strings->Base(2), "http://h/a");
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(strings->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  ComPtr<ITarvikEngine> notThere;
  EXPECT_EQ(strings->QueryInterface(__uuidof(ITarvikEngine), notThere.PutVoid()), E_NOINTERFACE);
}

TEST_F(CoTarvikEngineTest, WritesThroughTheShellWhatTheComposerWrites) {
  TWinFileSource files;
  const std::string cache = FFolder.File("logo.png");
  test::WriteWholeFile(cache, std::string("\x89PNG\0cache", 10));
  TTarvikDataBuffer& store = *TarvikDataBuffer;
  store.GetURLContent("http://h/index.html")->SetContentType("text/html");
  store.GetURLContent("http://h/index.html")->SetContent("<head></head>", 13);
  store.GetURLContent("http://h/logo.png")->SetLocalFilename(cache);
  store.GetURLContent("http://h/logo.png")->SetContent("in memory!", 10);

  const std::string path = FFolder.File("out.mht");
  {
    TWinFileOutputStream stream(path);
    ComPtr<ITarvikEngine> engine = FixedEngine(&files);
    ASSERT_EQ(
        engine->ComposeWebArchive("http://h/index.html", Strings({"http://h/index.html", "http://h/logo.png"}).Get(),
                                  nullptr, &stream, "Title"),
        S_OK);
    // Kept open exclusively until closed.
    EXPECT_EQ(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr),
              INVALID_HANDLE_VALUE);
  }
  TTarvikDataBuffer reference;
  reference.GetURLContent("http://h/index.html")->SetContentType("text/html");
  reference.GetURLContent("http://h/index.html")->SetContent("<head></head>", 13);
  reference.GetURLContent("http://h/logo.png")->SetLocalFilename(cache);
  TMemoryOutputStream expected;
  WriteWebArchive(TURLStringList("http://h/index.html", {"http://h/index.html", "http://h/logo.png"}, {}), reference,
                  expected, "Title", test::FixedEnvironment(&files));
  EXPECT_EQ(test::ReadWholeFile(path), expected.Data());
  EXPECT_NE(expected.Data().find(Base64Encode(std::string("\x89PNG\0cache", 10))), std::string::npos);
}

TEST_F(CoTarvikEngineTest, PlatformIdentityClockAndVersion) {
  const TTarvikVersionInfo saved = VersionInfo;
  VersionInfo.FileVersion = "5.6.7.8";
  TarvikDataBuffer->GetURLContent("http://h/")->SetContent("x", 1);
  TMemoryOutputStream out;
  test::TraceRecorder trace;
  ComPtr<ITarvikEngine> engine = TInterfacedObject::Create<TTarvikEngine>();
  ASSERT_EQ(engine->ComposeWebArchive("http://h/", Strings({"http://h/"}).Get(), nullptr, &out, ""), S_OK);
  VersionInfo = saved;
  const test::TParsedArchive archive = ParseArchive(out.Data());
  const std::string id = archive.Header("X-Tarvik-ArchiveID");
  ASSERT_EQ(id.size(), 38u);
  EXPECT_EQ(id.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos) << id;
  EXPECT_EQ(archive.Boundary, "--Tarvik-Express-5.6.7.8-" + id);
  EXPECT_EQ(archive.Header("From"), "Tarvik Express V5.6.7.8 (http://www.tarvik.com/)");
  // The user's short date, then (unless at midnight) the long time.
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char date[128];
  ::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, sizeof(date));
  EXPECT_EQ(archive.Header("Date").rfind(std::string(date), 0), 0u) << archive.Header("Date");
  EXPECT_EQ(archive.Parts.size(), 1u);
  // The composer's lines reach whatever sink listens, naming the archive.
  EXPECT_TRUE(trace.Contains("TTarvikEngine.ComposeWebArchive", "Begin composing ArchiveID = " + id));
  EXPECT_TRUE(trace.Contains("TTarvikEngine.ComposeWebArchive", "Finish composing ArchiveID = " + id));
}

// The Date: value is exactly the platform's short date and long time, as
// its locale functions give them: nothing of their buffers beyond the text.
TEST_F(CoTarvikEngineTest, TheDateIsExactlyTheLocaleTextsAlsoAtMidnightWithSeconds) {
  for (const TLocalDateTime now : {TLocalDateTime{2026, 12, 7, 0, 0, 42, 0}, TLocalDateTime{2026, 1, 31, 0, 0, 0, 0},
                                   TLocalDateTime{2026, 6, 5, 17, 4, 9, 0}}) {
    TArchiveEnvironment env = WindowsArchiveEnvironment();
    env.Now = [now] { return now; };
    TTarvikDataBuffer store;
    TMemoryOutputStream out;
    WriteWebArchive(TURLStringList("", {}, {}), store, out, "", env);
    const SYSTEMTIME st = ToSystemTime(now);
    char date[128], time[128];
    ASSERT_GT(::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, sizeof(date)), 1);
    ASSERT_GT(::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, sizeof(time)), 1);
    const bool midnight = now.Hour == 0 && now.Minute == 0 && now.Second == 0;
    const std::string expected = "\r\nDate: " + std::string(date) + (midnight ? "" : " " + std::string(time)) + "\r\n";
    EXPECT_NE(out.Data().find(expected), std::string::npos) << out.Data().substr(0, 200);
  }
}

TEST_F(CoTarvikEngineTest, LockedCacheFileFailsWithItsErrorAndKeepsWhatWasWritten) {
  TWinFileSource files;
  const std::string locked = FFolder.File("locked.png");
  test::WriteWholeFile(locked, "secret");
  UniqueHandle holder(::CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  // A cache file that a writer holds open with sharing is still read.
  const std::string shared = FFolder.File("shared.png");
  test::WriteWholeFile(shared, "shared bytes");
  UniqueHandle writer(::CreateFileA(shared.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  TarvikDataBuffer->GetURLContent("http://h/shared")->SetLocalFilename(shared);
  TarvikDataBuffer->GetURLContent("http://h/locked")->SetLocalFilename(locked);
  TarvikDataBuffer->GetURLContent("http://h/locked")->SetContent("memory", 6);

  TMemoryOutputStream out;
  ComPtr<ITarvikEngine> engine = FixedEngine(&files);
  const HRESULT hr =
      engine->ComposeWebArchive("", Strings({"http://h/shared", "http://h/locked"}).Get(), nullptr, &out, "");
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(::GetErrorInfo(0, info.Put()), S_OK);
  BSTR description = nullptr;
  info->GetDescription(&description);
  UniqueBstr owned(description);
  const std::wstring text = description ? description : L"";
  EXPECT_NE(text.find(L"locked.png"), std::wstring::npos);
  const std::string& written = out.Data();
  EXPECT_NE(written.find(Base64Encode("shared bytes")), std::string::npos);
  // The failing part's delimiter is the last thing written.
  const std::string delimiter = std::string("\r\n----Tarvik-Express-1.2.3.4-") + test::FixedArchiveID + "\r\n";
  ASSERT_GE(written.size(), delimiter.size());
  EXPECT_EQ(written.substr(written.size() - delimiter.size()), delimiter);
  EXPECT_EQ(written.find("Content-Location: http://h/locked"), std::string::npos);
}

TEST_F(CoTarvikEngineTest, MissingArgumentsAnswerEPointer) {
  TMemoryOutputStream out;
  ComPtr<ITarvikEngine> engine = TInterfacedObject::Create<TTarvikEngine>();
  EXPECT_EQ(engine->ComposeWebArchive("", nullptr, nullptr, &out, ""), E_POINTER);
  EXPECT_EQ(engine->ComposeWebArchive("", Strings({}).Get(), nullptr, nullptr, ""), E_POINTER);
  EXPECT_TRUE(out.Data().empty());
}

}  // namespace
}  // namespace tarvik
