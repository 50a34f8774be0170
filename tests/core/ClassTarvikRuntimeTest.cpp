#include "core/ClassTarvikRuntime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/Handles.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/GoldenTrace.h"
#include "support/TraceRecorder.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/UrlFetch.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

// An internet session that records registrations and, like the platform's,
// keeps a reference to each factory it was given until it is unregistered.
class FakeSession final : public TInterfacedImpl<IInternetSession> {
 public:
  struct Registration {
    ComPtr<IClassFactory> Factory;
    CLSID Clsid;
    std::wstring Scheme;
    ULONG Patterns;
    bool PatternListGiven;
    DWORD Reserved;
  };
  std::vector<Registration> Registered;
  std::vector<std::wstring> Unregistered;

  STDMETHODIMP RegisterNameSpace(IClassFactory* cf, REFCLSID clsid, LPCWSTR scheme, ULONG patterns, const LPCWSTR* list,
                                 DWORD reserved) override {
    Registered.push_back({ComPtr<IClassFactory>(cf), clsid, scheme, patterns, list != nullptr, reserved});
    return S_OK;
  }
  STDMETHODIMP UnregisterNameSpace(IClassFactory* cf, LPCWSTR scheme) override {
    Unregistered.push_back(scheme);
    for (auto it = Registered.begin(); it != Registered.end(); ++it)
      if (it->Factory.Get() == cf && it->Scheme == scheme) {
        Registered.erase(it);
        return S_OK;
      }
    return E_FAIL;
  }
  STDMETHODIMP RegisterMimeFilter(IClassFactory*, REFCLSID, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP UnregisterMimeFilter(IClassFactory*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP CreateBinding(LPBC, LPCWSTR, IUnknown*, IUnknown**, IInternetProtocol**, DWORD) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP SetSessionOption(DWORD, LPVOID, DWORD, DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP GetSessionOption(DWORD, LPVOID, DWORD*, DWORD) override { return E_NOTIMPL; }
};

FakeSession* GFakeSession = nullptr;
HRESULT FakeProvider(IInternetSession** session) { return ComPtr<IInternetSession>(GFakeSession).CopyTo(session); }
HRESULT NoSessionProvider(IInternetSession** session) {
  *session = nullptr;
  return E_FAIL;
}

class RuntimeWithFakeSession : public ::testing::Test {
 protected:
  void SetUp() override { GFakeSession = FSession.Get(); }
  void TearDown() override {
    LibraryUnload();
    GFakeSession = nullptr;
  }
  ComPtr<FakeSession> FSession = TInterfacedObject::Create<FakeSession>();
};

TEST_F(RuntimeWithFakeSession, ConstructionRegistersHttpThenHttpsWithItsFactory) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&FakeProvider);
  ASSERT_EQ(FSession->Registered.size(), 2u);
  EXPECT_EQ(FSession->Registered[0].Scheme, L"http");
  EXPECT_EQ(FSession->Registered[1].Scheme, L"https");
  for (const auto& r : FSession->Registered) {
    EXPECT_EQ(r.Factory.Get(), static_cast<IClassFactory*>(runtime.Get()));
    EXPECT_TRUE(IsEqualCLSID(r.Clsid, CLSID_TarvikAPPMoniter));
    EXPECT_EQ(r.Patterns, 0u);
    EXPECT_FALSE(r.PatternListGiven);
    EXPECT_EQ(r.Reserved, 0u);
  }
  EXPECT_EQ(runtime->InternetSession(), FSession.Get());
  runtime->UnregisterNameSpaces();
}

TEST_F(RuntimeWithFakeSession, UnloadUnregistersBothSchemesAndFreesTheRuntime) {
  test::TraceRecorder trace;
  LibraryLoad();
  ASSERT_TRUE(TarvikDataBuffer);
  ASSERT_TRUE(TarvikSettings);
  CreateRuntime(TProtocolMonitors{}, &FakeProvider);
  ASSERT_TRUE(Runtime);
  ASSERT_EQ(FSession->Registered.size(), 2u);
  // Runtime's own reference, the runtime's session field, and ours.
  const LONG sessionRefsWithRuntime = FSession->RefCount();

  LibraryUnload();
  EXPECT_FALSE(Runtime);
  EXPECT_FALSE(TarvikDataBuffer);
  EXPECT_FALSE(TarvikSettings);
  EXPECT_EQ(FSession->Unregistered, (std::vector<std::wstring>{L"http", L"https"}));
  EXPECT_TRUE(FSession->Registered.empty());
  // The runtime was destroyed: it no longer holds the session.
  EXPECT_EQ(FSession->RefCount(), sessionRefsWithRuntime - 1);

  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "core/traces/unload.trace"));
}

// A stand-in in Runtime (as diagnosis and tests put there): the unload path
// still unregisters the real runtime and only releases the stand-in.
class StandInRuntime final : public TInterfacedImpl<ITarvikRuntime> {
 public:
  void STDMETHODCALLTYPE Lock(bool) override {}
  void STDMETHODCALLTYPE InformEvent(int32_t, UINT_PTR, uint8_t, uint8_t, const std::string&) override {}
  void STDMETHODCALLTYPE GenerateList(int32_t, int32_t, std::vector<std::string>*, std::vector<std::string>*) override {
  }
  void STDMETHODCALLTYPE Log(const std::string&, const std::string&, int32_t, int32_t) override {}
};

// The trace file that the settings name: "path" beside the ini file.
class TraceFileSetting : public RuntimeWithFakeSession {
 protected:
  void SetUp() override {
    RuntimeWithFakeSession::SetUp();
    LibraryLoad();
    TarvikSettings = TInterfacedObject::Create<TTarvikSettings>(FFolder.File("Tarvik.ini"));
  }
  void Name(const std::string& path) { TarvikSettings->IniFile()->WriteString("Diagnostics", "TraceFile", path); }
  std::vector<std::string> FileLines(const std::string& name) const {
    std::vector<std::string> lines;
    if (!test::FileExists(FFolder.File(name))) return lines;
    const std::string bytes = test::ReadWholeFile(FFolder.File(name));
    // What follows the time and the thread.
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
      lines.push_back(bytes.substr(at + 33, end - at - 33));
    return lines;
  }

  test::TempFolder FFolder;
};

TEST_F(TraceFileSetting, TheNamedFileTakesEveryLineWhileTheBrowsersRuntimeLives) {
  Name("trace.log");
  EXPECT_FALSE(TraceActive());  // loading alone opens nothing
  CreateRuntime(TProtocolMonitors{}, &FakeProvider);
  ASSERT_TRUE(TraceActive());
  Log("BrowserMoniter", "DownloadBegin", 3000, 50);
  Runtime->Log("Through", "the runtime's operation", 0, 50);
  LibraryUnload();
  EXPECT_FALSE(TraceActive());
  Log("After", "unload");
  const std::vector<std::string> expected = {"TraceFile: Tracing process " + std::to_string(::GetCurrentProcessId()),
                                             "BrowserMoniter: DownloadBegin {Extra=3000 Level=50}",
                                             "Through: the runtime's operation",
                                             "ClassTarvikRuntime.Print ALL Remaining APPMoniters...",
                                             "ClassTarvikRuntime.Finalizing TarvikDataBuffer...",
                                             "ClassTarvikRuntime.Finalizing TarvikSettings...",
                                             "ClassTarvikRuntime.Finalizing Runtime..."};
  EXPECT_EQ(FileLines("trace.log"), expected);
}

TEST_F(TraceFileSetting, OffWithoutTheKeyAndInEveryProcessOtherThanTheBrowsers) {
  struct Case {
    const char* Name;
    std::string Value;
    bool Browser;
  };
  const Case cases[] = {{"no key", "", true}, {"another process", "trace.log", false}};
  for (const Case& c : cases) {
    if (!TarvikSettings) {
      LibraryLoad();
      TarvikSettings = TInterfacedObject::Create<TTarvikSettings>(FFolder.File("Tarvik.ini"));
    }
    if (!c.Value.empty()) Name(c.Value);
    if (c.Browser) CreateRuntime(TProtocolMonitors{}, &FakeProvider);
    EXPECT_FALSE(TraceActive()) << c.Name;
    Log("Nobody", "reads this");
    LibraryUnload();
    EXPECT_FALSE(test::FileExists(FFolder.File("trace.log"))) << c.Name;
  }
}

TEST_F(RuntimeWithFakeSession, UnloadWithAStandInRuntimeUnregistersTheRealOne) {
  LibraryLoad();
  ComPtr<TTarvikRuntime> real = CreateRuntime(TProtocolMonitors{}, &FakeProvider);
  ComPtr<StandInRuntime> standIn = TInterfacedObject::Create<StandInRuntime>();
  Runtime = static_cast<ITarvikRuntime*>(standIn.Get());
  LibraryUnload();
  EXPECT_FALSE(Runtime);
  EXPECT_EQ(standIn->RefCount(), 1);
  EXPECT_FALSE(real->NameSpacesRegistered());
  EXPECT_EQ(FSession->Unregistered, (std::vector<std::wstring>{L"http", L"https"}));
  EXPECT_EQ(real->RefCount(), 1);  // ours alone
}

TEST(Runtime, WithoutASessionItTracesAndStillRecordsEvents) {
  test::TraceRecorder trace;
  {
    ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSessionProvider);
    EXPECT_TRUE(trace.Contains("Runtime.AfterConstruction", "Failed to get FInternetSession!!"));
    EXPECT_EQ(runtime->InternetSession(), nullptr);
    runtime->InformEvent(5, 0, CategoryDownload, EventStart, "http://x/");
    EXPECT_EQ(runtime->Timeline().Count(), 1);
  }
  EXPECT_TRUE(trace.Contains("Runtime.BeforeDestruction", "FInternetSession=nil!!"));
}

TEST(Runtime, FactoryAndRuntimeInterfacesShareOneObjectAndCount) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSessionProvider);
  EXPECT_EQ(runtime->RefCount(), 1);
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(runtime->QueryInterface(IID_IClassFactory, factory.PutVoid()), S_OK);
  ComPtr<ITarvikRuntime> asRuntime;
  ASSERT_EQ(factory->QueryInterface(__uuidof(ITarvikRuntime), asRuntime.PutVoid()), S_OK);
  EXPECT_EQ(runtime->RefCount(), 3);
  EXPECT_TRUE(SameComObject(factory.Get(), asRuntime.Get()));
  ComPtr<IDispatch> none;
  EXPECT_EQ(factory->QueryInterface(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_FALSE(none);
}

TEST(Runtime, LockServerIsNotImplemented) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSessionProvider);
  EXPECT_EQ(runtime->LockServer(TRUE), E_NOTIMPL);
  EXPECT_EQ(runtime->LockServer(FALSE), E_NOTIMPL);
  EXPECT_EQ(runtime->RefCount(), 1);
}

TEST(Runtime, LockHoldsOffEventsOfOtherThreads) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSessionProvider);
  runtime->Lock(true);
  runtime->Lock(true);  // re-entrant
  std::atomic<bool> appended{false};
  std::thread other([&] {
    runtime->InformEvent(9, 0, CategoryDownload, EventStart, "http://y/");
    appended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(appended.load());
  EXPECT_EQ(runtime->Timeline().Count(), 0);
  runtime->Lock(false);
  runtime->Lock(false);
  other.join();
  EXPECT_TRUE(appended.load());
  EXPECT_EQ(runtime->Timeline().Count(), 1);
}

TEST(Runtime, GenerateListWithoutListsChangesNothing) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSessionProvider);
  std::vector<std::string> base = {"kept"};
  runtime->GenerateList(1, 100, nullptr, &base);
  EXPECT_EQ(base, std::vector<std::string>{"kept"});
}

// The real URL moniker library: while registered, every http request asks
// the runtime for a protocol object; once the unload path ran, none does.
TEST(RuntimeOnUrlmon, HttpRequestsAskTheRuntimeUntilTheLibraryUnloads) {
  ScopedComInit com;
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  server.Serve("/before", "text/html", "<html>before</html>");
  server.Serve("/after", "text/html", "<html>after</html>");

  LibraryLoad();
  ComPtr<TTarvikRuntime> runtime = CreateRuntime(APPMoniters());
  ASSERT_NE(runtime->InternetSession(), nullptr);
  ASSERT_TRUE(runtime->NameSpacesRegistered());

  test::FetchUrl(server.UrlW("/before"));
  EXPECT_GT(runtime->CreateInstanceCalls(), 0);

  LibraryUnload();
  EXPECT_FALSE(Runtime);
  EXPECT_FALSE(runtime->NameSpacesRegistered());
  const LONG callsAtUnload = runtime->CreateInstanceCalls();

  const test::FetchResult after = test::FetchUrl(server.UrlW("/after"));
  EXPECT_EQ(after.Result, S_OK);
  EXPECT_EQ(after.Body, "<html>after</html>");
  EXPECT_EQ(runtime->CreateInstanceCalls(), callsAtUnload);
  EXPECT_EQ(server.RequestCount("/after"), 1);
  // Only our reference is left: the session let go of the factory.
  EXPECT_EQ(runtime->RefCount(), 1);
}

}  // namespace
}  // namespace tarvik
