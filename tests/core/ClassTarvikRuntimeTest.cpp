#include "core/ClassTarvikRuntime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "framework/Handles.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/TraceRecorder.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/UrlFetch.h"

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

  const std::vector<std::string> expected = {
      "ClassTarvikRuntime.Print ALL Remaining APPMoniters...", "ClassTarvikRuntime.Finalizing TarvikDataBuffer...",
      "ClassTarvikRuntime.Finalizing TarvikSettings...", "ClassTarvikRuntime.Finalizing Runtime..."};
  EXPECT_EQ(trace.Sources(), expected);
}

// A stand-in in Runtime (as diagnosis and tests put there): the unload path
// still unregisters the real runtime and only releases the stand-in.
class StandInRuntime final : public TInterfacedImpl<ITarvikRuntime> {
 public:
  void STDMETHODCALLTYPE Lock(bool) override {}
  void STDMETHODCALLTYPE InformEvent(int32_t, UINT_PTR, uint8_t, uint8_t, const std::string&) override {}
  void STDMETHODCALLTYPE GenerateList(int32_t, int32_t, std::vector<std::string>*, std::vector<std::string>*) override {
  }
  void STDMETHODCALLTYPE Log(const std::string& source, const std::string& message, int32_t extra,
                             int32_t level) override {
    Lines.push_back(source + "|" + message + "|" + std::to_string(extra) + "|" + std::to_string(level));
  }
  std::vector<std::string> Lines;
};

// The library's one trace function reaches whatever runtime Runtime holds,
// and nothing at all while it holds none.
TEST(Runtime, EveryLineGoesThroughRuntimeLog) {
  test::TraceRecorder sink;
  ComPtr<ITarvikRuntime> previous = std::move(Runtime);
  ComPtr<StandInRuntime> standIn = TInterfacedObject::Create<StandInRuntime>();
  Runtime = static_cast<ITarvikRuntime*>(standIn.Get());
  Log("BrowserMoniter", "DownloadBegin", 3000, 50);
  Log([] { return std::string("Built"); }, [] { return std::string("late"); });
  Runtime = nullptr;
  Log("Nobody", "hears this");
  Runtime = std::move(previous);
  EXPECT_EQ(standIn->Lines, (std::vector<std::string>{"BrowserMoniter|DownloadBegin|3000|50", "Built|late|0|50"}));
  EXPECT_TRUE(sink.Lines().empty());  // the stand-in's Log writes nowhere
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

TEST_F(RuntimeWithFakeSession, WithoutARuntimeUnloadTracesNothing) {
  test::TraceRecorder trace;
  LibraryLoad();
  Log("anything", "at all");
  LibraryUnload();
  EXPECT_TRUE(trace.Lines().empty());
  EXPECT_FALSE(TarvikSettings);
  EXPECT_FALSE(TarvikDataBuffer);
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
