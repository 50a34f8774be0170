// Registration and the exported functions of the built TarvikCore.dll: in
// this process with the registry roots pointed at a scratch key, through
// regsvr32 in the build's Wine prefix, and the unload answer's counts.
#include <windows.h>
#include <aclapi.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "browser/CoTarvikBrowserMoniter.h"
#include "browser/TarvikClassIds.h"
#include "browser/TarvikRegistration.h"
#include "core/CapturedBytes.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "framework/WinText.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/protocol/FakeProtocol.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

const std::wstring kToolbarId = L"{7D6FD738-E14D-4E83-940A-EC63ADB0AADD}";
const std::wstring kHelperId = L"{9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}";
const std::wstring kTypeLibKey = L"TypeLib\\{F051EA4B-D9C8-4CBF-84AC-5F5108EE9F2F}";
const std::wstring kToolbarList = L"Software\\Microsoft\\Internet Explorer\\Toolbar";
const std::wstring kHelpers = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
const std::wstring kPostPlatform =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\5.0\\User Agent\\Post Platform";
const std::wstring kUserAgentValue = AnsiToWide("http://www.tarvik.com/ (V" TARVIK_FILE_VERSION ")");

// The built server, loaded into this process.
class TServerLibrary {
 public:
  explicit TServerLibrary(const std::string& path = Path()) : FModule(::LoadLibraryA(path.c_str())) {}
  static std::string Path() { return test::HostPathToWindows(TARVIK_CORE_DLL); }
  // Loaded, with the four functions exported under their plain names.
  bool Loaded() const {
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
      if (!::GetProcAddress(FModule.Get(), name)) return false;
    return true;
  }
  std::wstring FileName() const { return AnsiToWide(ModuleFileName(FModule.Get())); }

  HRESULT Register() const { return Call<HRESULT(WINAPI*)()>("DllRegisterServer")(); }
  HRESULT Unregister() const { return Call<HRESULT(WINAPI*)()>("DllUnregisterServer")(); }
  HRESULT CanUnloadNow() const { return Call<HRESULT(WINAPI*)()>("DllCanUnloadNow")(); }
  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
    return Call<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(clsid, riid, ppv);
  }

 private:
  template <class F>
  F Call(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(FModule.Get(), name)));
  }
  UniqueHModule FModule;
};

std::optional<std::wstring> ReadValue(HKEY root, const std::wstring& key, const std::wstring& name) {
  UniqueHKey opened;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.Put()) != ERROR_SUCCESS) return std::nullopt;
  wchar_t data[1024] = {};
  DWORD bytes = sizeof(data) - sizeof(wchar_t);
  DWORD type = 0;
  if (::RegQueryValueExW(opened.Get(), name.empty() ? nullptr : name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(data), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::nullopt;
  return std::wstring(data);
}

bool KeyExists(HKEY root, const std::wstring& key) {
  UniqueHKey opened;
  return ::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.Put()) == ERROR_SUCCESS;
}

void WriteValue(HKEY root, const std::wstring& key, const std::wstring& name, const std::wstring& data) {
  UniqueHKey created;
  ASSERT_EQ(::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, created.Put(), nullptr), 0);
  ASSERT_EQ(::RegSetValueExW(created.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
            0);
}

// Every key and value below key, one line each, in registry order.
std::wstring Dump(HKEY root, const std::wstring& key) {
  UniqueHKey opened;
  if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, opened.Put()) != ERROR_SUCCESS) return L"";
  std::wstring text = L"[" + key + L"]\n";
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    wchar_t data[1024] = {};
    DWORD bytes = sizeof(data) - sizeof(wchar_t);
    if (::RegEnumValueW(opened.Get(), i, name, &chars, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &bytes) !=
        ERROR_SUCCESS)
      break;
    text += std::wstring(name) + L"=" + data + L"\n";
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    if (::RegEnumKeyExW(opened.Get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    text += Dump(root, key.empty() ? name : key + L"\\" + name);
  }
  return text;
}

// HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE of this process lead into a
// scratch key of the current user while the object lives.
class TScratchRegistry {
 public:
  TScratchRegistry() : FBase(L"Software\\TarvikRegistrationTest" + std::to_wstring(::GetCurrentProcessId())) {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, FBase.c_str());
    FClasses = Create(FBase + L"\\Classes");
    FMachine = Create(FBase + L"\\Machine");
    FOk = ::RegOverridePredefKey(HKEY_CLASSES_ROOT, FClasses.Get()) == ERROR_SUCCESS &&
          ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, FMachine.Get()) == ERROR_SUCCESS;
  }
  ~TScratchRegistry() {
    ::RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    ::RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    for (const std::wstring& locked : FLocked) SetReadOnly(locked, false);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, FBase.c_str());
  }
  bool Ok() const { return FOk; }

  // A key below root that this process may read but not write.
  void Lock(HKEY root, const std::wstring& key) {
    const std::wstring path = FBase + (root == HKEY_CLASSES_ROOT ? L"\\Classes\\" : L"\\Machine\\") + key;
    Create(path);
    SetReadOnly(path, true);
    FLocked.push_back(path);
  }

 private:
  static UniqueHKey Create(const std::wstring& path) {
    UniqueHKey key;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
    return key;
  }
  static void SetReadOnly(const std::wstring& path, bool readOnly) {
    UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, WRITE_DAC, key.Put()) != ERROR_SUCCESS) return;
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    alignas(DWORD) BYTE aclBytes[256];
    auto* acl = reinterpret_cast<PACL>(aclBytes);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (readOnly) {
      ::InitializeAcl(acl, sizeof aclBytes, ACL_REVISION);
      ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
      ::AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone);
    }
    ::SetSecurityDescriptorDacl(&descriptor, readOnly, readOnly ? acl : nullptr, FALSE);
    ::RegSetKeySecurity(key.Get(), DACL_SECURITY_INFORMATION, &descriptor);
    if (everyone) ::FreeSid(everyone);
  }

  std::wstring FBase;
  UniqueHKey FClasses, FMachine;
  std::vector<std::wstring> FLocked;
  bool FOk = false;
};

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FServer.Loaded()) << TServerLibrary::Path();
    ASSERT_TRUE(FScratch.Ok());
  }

  void ExpectClassEntries(const std::wstring& id, const std::wstring& progId, const std::wstring& description) {
    const std::wstring key = L"CLSID\\" + id;
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, key, L""), description);
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L""), FServer.FileName());
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, key + L"\\ProgID", L""), progId);
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, progId, L""), description);
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, progId + L"\\Clsid", L""), id);
  }

  TServerLibrary FServer;
  TScratchRegistry FScratch;
};

TEST_F(Registration, WritesEveryEntryAndUnregistrationRemovesOnlyItsOwn) {
  WriteValue(HKEY_LOCAL_MACHINE, kToolbarList, L"{00000000-0000-0000-0000-000000000001}", L"Another toolbar");
  WriteValue(HKEY_LOCAL_MACHINE, kPostPlatform, L"http://www.tarvik.com/ (V0.9.0.0)", L"");
  const std::wstring otherHelper = kHelpers + L"\\{00000000-0000-0000-0000-000000000002}";
  WriteValue(HKEY_LOCAL_MACHINE, otherHelper, L"", L"Another helper");
  ASSERT_EQ(FServer.Register(), S_OK);
  ExpectClassEntries(kToolbarId, L"TarvikCore.CoToolbar", L"Tarvik Express");
  ExpectClassEntries(kHelperId, L"TarvikCore.CoBrowserHelper", L"Tarvik Express BHO");
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kTypeLibKey + L"\\1.0", L""), L"TarvikCore Library");
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, kTypeLibKey + L"\\1.0\\409\\win32", L""), FServer.FileName());
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kToolbarList, kToolbarId), L"Tarvik Express");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId, L""), L"Tarvik Express BHO");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kPostPlatform, kUserAgentValue), L"");
  const std::wstring registered = Dump(HKEY_CLASSES_ROOT, L"") + Dump(HKEY_LOCAL_MACHINE, L"");
  ASSERT_EQ(FServer.Register(), S_OK);
  EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, L"") + Dump(HKEY_LOCAL_MACHINE, L""), registered);

  ASSERT_EQ(FServer.Unregister(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kHelperId));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TarvikCore.CoToolbar"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TarvikCore.CoBrowserHelper"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kToolbarList, kToolbarId));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId));
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kPostPlatform, kUserAgentValue));
  // Another toolbar's value and the token of an earlier version stay.
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, kToolbarList, L"{00000000-0000-0000-0000-000000000001}"));
  EXPECT_TRUE(ReadValue(HKEY_LOCAL_MACHINE, kPostPlatform, L"http://www.tarvik.com/ (V0.9.0.0)"));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, otherHelper, L""), L"Another helper");
  // A second unregistration finds nothing to do.
  const std::wstring unregistered = Dump(HKEY_CLASSES_ROOT, L"") + Dump(HKEY_LOCAL_MACHINE, L"");
  EXPECT_EQ(FServer.Unregister(), S_OK);
  EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, L"") + Dump(HKEY_LOCAL_MACHINE, L""), unregistered);
}

TEST_F(Registration, WithoutTheBrowsersToolbarListNoToolbarValueIsWrittenAndItSucceeds) {
  ASSERT_EQ(FServer.Register(), S_OK);
  ExpectClassEntries(kToolbarId, L"TarvikCore.CoToolbar", L"Tarvik Express");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kToolbarList));
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId, L""), L"Tarvik Express BHO");
  // Unregistration makes no list either; the token's key is left, empty.
  ASSERT_EQ(FServer.Unregister(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kToolbarList));
  EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE, kPostPlatform), L"[" + kPostPlatform + L"]\n");
}

TEST_F(Registration, AToolbarListThatCannotBeWrittenIsSkippedSilently) {
  FScratch.Lock(HKEY_LOCAL_MACHINE, kToolbarList);
  EXPECT_EQ(FServer.Register(), S_OK);
  EXPECT_FALSE(ReadValue(HKEY_LOCAL_MACHINE, kToolbarList, kToolbarId));
  EXPECT_EQ(FServer.Unregister(), S_OK);
}

TEST_F(Registration, AServerPathWithABlankIsRegisteredInItsShortForm) {
  test::TempFolder folder;
  const std::string dir = folder.Path() + "Tarvik Core\\";
  ASSERT_TRUE(::CreateDirectoryA(dir.c_str(), nullptr));
  ASSERT_TRUE(::CopyFileA(TServerLibrary::Path().c_str(), (dir + "TarvikCore.dll").c_str(), FALSE));
  {
    TServerLibrary copy(dir + "TarvikCore.dll");
    ASSERT_TRUE(copy.Loaded());
    ASSERT_EQ(copy.Register(), S_OK);
    const auto server = ReadValue(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId + L"\\InprocServer32", L"");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->find(L' '), std::wstring::npos) << WideToAnsi(*server);
    wchar_t longForm[MAX_PATH] = {};
    ASSERT_NE(::GetLongPathNameW(server->c_str(), longForm, MAX_PATH), 0u);
    EXPECT_EQ(std::wstring(longForm), copy.FileName());
    EXPECT_EQ(copy.Unregister(), S_OK);
  }
  ::DeleteFileA((dir + "TarvikCore.dll").c_str());
  ::RemoveDirectoryA(dir.c_str());
}

// Keys that registration must create: a refusal fails it, and what was
// written before stays (the helper object's factory comes first).
TEST(RegistrationRefused, AKeyThatMustBeCreatedButCannotBeFailsAndEarlierEntriesStay) {
  TServerLibrary server;
  ASSERT_TRUE(server.Loaded());
  struct Case {
    HKEY Root;
    std::wstring Key;
    bool HelperClassWritten, HelperKeyWritten, ToolbarClassWritten;
  };
  const Case cases[] = {
      {HKEY_CLASSES_ROOT, L"CLSID\\" + kHelperId, false, false, false},
      {HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId, true, false, false},
      {HKEY_LOCAL_MACHINE, kPostPlatform, true, true, false},
      {HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId + L"\\InprocServer32", true, true, false},
      {HKEY_CLASSES_ROOT, L"TarvikCore.CoToolbar\\Clsid", true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToAnsi(c.Key));
    TScratchRegistry scratch;
    ASSERT_TRUE(scratch.Ok());
    scratch.Lock(c.Root, c.Key);
    EXPECT_EQ(server.Register(), E_FAIL);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, L"TarvikCore.CoBrowserHelper\\Clsid", L"").has_value(),
              c.HelperClassWritten);
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId, L"").has_value(), c.HelperKeyWritten);
    EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId + L"\\ProgID", L"").has_value(),
              c.ToolbarClassWritten);
  }
}

TEST(ServerEntry, HandsOutBothFactoriesAndNothingElse) {
  ScopedComInit com;
  TServerLibrary server;
  ASSERT_TRUE(server.Loaded());

  ComPtr<IClassFactory> toolbarFactory, helperFactory;
  ASSERT_EQ(server.GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, toolbarFactory.PutVoid()), S_OK);
  ASSERT_EQ(server.GetClassObject(CLSID_TarvikBrowserHelper, IID_IClassFactory, helperFactory.PutVoid()), S_OK);
  EXPECT_NE(toolbarFactory.Get(), helperFactory.Get());
  ComPtr<IDeskBand> band;
  EXPECT_EQ(toolbarFactory->CreateInstance(nullptr, IID_IDeskBand, band.PutVoid()), S_OK);
  EXPECT_TRUE(band);
  ComPtr<IObjectWithSite> helper;
  EXPECT_EQ(helperFactory->CreateInstance(nullptr, IID_IObjectWithSite, helper.PutVoid()), S_OK);
  ComPtr<IDeskBand> notABand;
  EXPECT_EQ(helperFactory->CreateInstance(nullptr, IID_IDeskBand, notABand.PutVoid()), E_NOINTERFACE);

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(server.GetClassObject(test::CLSID_FakeHandler, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  object = reinterpret_cast<void*>(1);
  EXPECT_EQ(server.GetClassObject(CLSID_TarvikToolbar, IID_IDispatch, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(server.GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, nullptr), E_POINTER);
}

TEST(ServerEntry, StaysLoadedWhileObjectsFactoriesOrLocksLive) {
  ScopedComInit com;
  TServerLibrary server;
  ASSERT_TRUE(server.Loaded());
  ASSERT_EQ(server.CanUnloadNow(), S_OK);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(server.GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, factory.PutVoid()), S_OK);
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
  ComPtr<IUnknown> band;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, band.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory = nullptr;
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);  // the band and the lock
  band = nullptr;
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);  // the lock
  ASSERT_EQ(server.GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, factory.PutVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory = nullptr;
  EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

// The unload answer also counts what the browser's process runs of this
// library without a COM object of the server: protocol monitors, sink
// wrappers and event monitors.
TEST(UnloadQuery, ProtocolMonitorsSinkWrappersAndEventMonitorsKeepTheLibrary) {
  ScopedComInit com;
  test::FakeHandlerRegistration registration;
  ASSERT_TRUE(registration.Ok());
  LibraryLoad();
  ASSERT_EQ(TarvikCanUnloadNow(), S_OK);

  ComPtr<test::FakeHandler> handler = registration.PrepareHandler();
  {
    ComPtr<IInternetProtocol> moniter;
    ASSERT_EQ(CreateAPPMoniter(IID_IInternetProtocol, moniter.PutVoid()), S_OK);
    EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
    const std::wstring url = AnsiToWide(test::FakeScheme() + "://host/page");
    ComPtr<test::RecordingSink> sink = TInterfacedObject::Create<test::RecordingSink>();
    moniter->Start(url.c_str(), sink.Get(), nullptr, 0, 0);
    ASSERT_EQ(IPSinkCount(), 1);
    moniter->Terminate(0);
  }
  // The monitor is gone; the handler still holds the wrapper.
  ASSERT_EQ(MoniterCount(), 0);
  EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
  handler->Sink = nullptr;
  ASSERT_EQ(IPSinkCount(), 0);
  EXPECT_EQ(TarvikCanUnloadNow(), S_OK);

  {
    ComPtr<TTarvikBrowserMoniter> events = TTarvikBrowserMoniter::Create(nullptr);
    EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(TarvikCanUnloadNow(), S_OK);

  // A write handed to the temporary file's writer thread: the library stays
  // while that thread runs, and may go once it has ended by itself.
  {
    auto area = std::make_shared<TSpillArea>(TSpillArea::TOptions{1 << 20, {}});
    TBudgetCharge charge(area);
    ASSERT_TRUE(charge.Add(4096, true));
    std::string bytes(4096, 'w');
    std::vector<TSpillExtent> extents;
    const auto ticket = std::make_shared<TSpillTicket>();
    ASSERT_TRUE(area->WriteBehind(bytes, charge, extents, ticket));
    // The thread lingers a moment after its last write before it ends.
    EXPECT_NE(SpillWritersRunning(), 0u);
    EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
    area->Wait(*ticket, 0);
    EXPECT_FALSE(ticket->Failed.load());
  }
  for (int i = 0; i < 1000 && SpillWritersRunning() != 0; ++i) ::Sleep(10);
  EXPECT_EQ(SpillWritersRunning(), 0u);
  EXPECT_EQ(TarvikCanUnloadNow(), S_OK);
  LibraryUnload();
}

// The real regsvr32 of the build's prefix, then COM's own class lookup.
DWORD RunRegsvr32(const std::string& arguments) {
  std::string commandLine = "regsvr32.exe /s " + arguments + " \"" + TServerLibrary::Path() + "\"";
  STARTUPINFOA startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return ~DWORD(0);
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) return ~DWORD(0);
  DWORD code = ~DWORD(0);
  ::GetExitCodeProcess(process.hProcess, &code);
  return code;
}

TEST(Regsvr32, RegistersTheBuiltLibrarySoCOMCreatesBothClassesAndUnregistersIt) {
  ScopedComInit com;
  RunRegsvr32("/u");
  ASSERT_EQ(RunRegsvr32(""), 0u);
  const std::wstring dll = AnsiToWide(TServerLibrary::Path());
  EXPECT_EQ(ReadValue(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId + L"\\InprocServer32", L""), dll);
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId, L""), L"Tarvik Express BHO");
  EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kPostPlatform, kUserAgentValue), L"");
  {
    ComPtr<IDeskBand> band;
    EXPECT_EQ(::CoCreateInstance(CLSID_TarvikToolbar, nullptr, CLSCTX_INPROC_SERVER, IID_IDeskBand, band.PutVoid()),
              S_OK);
    ComPtr<IObjectWithSite> helper;
    EXPECT_EQ(::CoCreateInstance(CLSID_TarvikBrowserHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite,
                                 helper.PutVoid()),
              S_OK);
  }

  ASSERT_EQ(RunRegsvr32("/u"), 0u);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kToolbarId));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kHelpers + L"\\" + kHelperId));
  ComPtr<IUnknown> none;
  EXPECT_EQ(::CoCreateInstance(CLSID_TarvikToolbar, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, none.PutVoid()),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(::CoCreateInstance(CLSID_TarvikBrowserHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, none.PutVoid()),
            REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace tarvik
