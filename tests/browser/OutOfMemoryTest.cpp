// Every COM method of the protocol monitor, its sink wrapper, the runtime's
// class factory and the library's own class objects, with each allocation
// the call makes failing in turn: every call answers, and no exception
// leaves it (one would end the browser).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "browser/TarvikClassIds.h"
#include "browser/TarvikRegistration.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/TraceRecorder.h"
#include "support/protocol/FailingAllocator.h"
#include "support/protocol/FakeProtocol.h"

namespace tarvik {
namespace {

HRESULT NoSession(IInternetSession** session) {
  *session = nullptr;
  return E_FAIL;
}

// What one call works on, made afresh (with memory to spare) before each run.
struct TObjects {
  ComPtr<test::FakeHandler> Handler;
  ComPtr<test::RecordingSink> Sink;
  ComPtr<TTarvikAPPMoniter> Moniter;      // started, unless the call is Start
  ComPtr<IInternetProtocolSink> Wrapper;  // the sink the handler was given
  ComPtr<IClassFactory> Factory;          // the library's class object
};

struct TCall {
  const char* Name;
  bool Started;  // the monitor has been started before the call
  std::function<HRESULT(TObjects&)> Run;
};

class OutOfMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(FCom.Result()));
    ASSERT_TRUE(FRegistration.Ok());
    LibraryLoad();
    FRuntime = CreateRuntime(APPMoniters(), &NoSession);
  }
  void TearDown() override { LibraryUnload(); }

  TObjects Prepare(const TCall& call, int serial) {
    TObjects o;
    // A Start that failed before it made its handler left that one waiting.
    FRegistration.Factory().Next.clear();
    o.Handler = FRegistration.PrepareHandler();
    // One read brings the whole body and its end: the capture is finished too.
    o.Handler->Reads = {{"<html>body</html>", S_FALSE}};
    o.Sink = TInterfacedObject::Create<test::RecordingSink>();
    o.Moniter = TInterfacedObject::Create<TTarvikAPPMoniter>();
    const std::string scheme = test::FakeScheme();
    FUrl = std::wstring(scheme.begin(), scheme.end()) + L"://host/" + std::to_wstring(serial);
    if (call.Started) {
      EXPECT_EQ(o.Moniter->Start(FUrl.c_str(), o.Sink.Get(), nullptr, 0, 0), S_OK) << call.Name;
      o.Wrapper = o.Handler->Sink;
    }
    TarvikClassManager().GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, o.Factory.PutVoid());
    return o;
  }

  ScopedComInit FCom;
  test::FakeHandlerRegistration FRegistration;
  ComPtr<TTarvikRuntime> FRuntime;
  std::wstring FUrl;
};

TEST_F(OutOfMemoryTest, EveryComMethodAnswersWithEachAllocationFailingInTurn) {
  test::TraceRecorder trace;  // the lines are built too, and their allocations fail as well
  PROTOCOLDATA data{};
  char buffer[64];
  ULONG read = 0;
  auto query = [](auto* object, REFIID riid) {
    ComPtr<IUnknown> found;
    return object->QueryInterface(riid, found.PutVoid());
  };
  auto create = [](IClassFactory* factory, REFIID riid) {
    ComPtr<IUnknown> made;
    return factory->CreateInstance(nullptr, riid, made.PutVoid());
  };
  const std::vector<TCall> calls = {
      // The protocol monitor.
      {"Moniter.QueryInterface", true, [&](TObjects& o) { return query(o.Moniter.Get(), IID_IInternetProtocolInfo); }},
      {"Moniter.Start", false,
       [&](TObjects& o) { return o.Moniter->Start(FUrl.c_str(), o.Sink.Get(), nullptr, 0, 0); }},
      {"Moniter.Continue", true, [&](TObjects& o) { return o.Moniter->Continue(&data); }},
      {"Moniter.Abort", true, [&](TObjects& o) { return o.Moniter->Abort(E_ABORT, 0); }},
      {"Moniter.Terminate", true, [&](TObjects& o) { return o.Moniter->Terminate(0); }},
      {"Moniter.Suspend", true, [&](TObjects& o) { return o.Moniter->Suspend(); }},
      {"Moniter.Resume", true, [&](TObjects& o) { return o.Moniter->Resume(); }},
      {"Moniter.Read", true, [&](TObjects& o) { return o.Moniter->Read(buffer, sizeof(buffer), &read); }},
      {"Moniter.Seek", true, [&](TObjects& o) { return o.Moniter->Seek(LARGE_INTEGER{}, 0, nullptr); }},
      {"Moniter.LockRequest", true, [&](TObjects& o) { return o.Moniter->LockRequest(0); }},
      {"Moniter.UnlockRequest", true, [&](TObjects& o) { return o.Moniter->UnlockRequest(); }},
      {"Moniter.Switch", true, [&](TObjects& o) { return o.Moniter->Switch(&data); }},
      {"Moniter.ReportProgress", true,
       [&](TObjects& o) { return o.Moniter->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html"); }},
      {"Moniter.ReportData", true, [&](TObjects& o) { return o.Moniter->ReportData(BSCF_LASTDATANOTIFICATION, 9, 9); }},
      {"Moniter.ReportResult", true, [&](TObjects& o) { return o.Moniter->ReportResult(S_OK, 0, L"done"); }},
      {"Moniter.Release (last)", true,
       [&](TObjects& o) {
         o.Handler->Sink = nullptr;
         o.Wrapper = nullptr;
         o.Moniter = nullptr;  // the last reference: the monitor and its capture go
         return S_OK;
       }},
      // The sink wrapper the handler was given.
      {"IPSink.QueryInterface", true, [&](TObjects& o) { return query(o.Wrapper.Get(), IID_IServiceProvider); }},
      {"IPSink.Switch", true, [&](TObjects& o) { return o.Wrapper->Switch(&data); }},
      {"IPSink.ReportProgress", true,
       [&](TObjects& o) { return o.Wrapper->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\cache\\f"); }},
      {"IPSink.ReportData", true,
       [&](TObjects& o) { return o.Wrapper->ReportData(BSCF_FIRSTDATANOTIFICATION, 1, 90); }},
      {"IPSink.ReportResult", true, [&](TObjects& o) { return o.Wrapper->ReportResult(E_ABORT, 5, L"stopped"); }},
      // The runtime's class factory, which the URL moniker library asks for monitors.
      {"Runtime.CreateInstance", true, [&](TObjects&) { return create(FRuntime.Get(), IID_IInternetProtocol); }},
      {"Runtime.QueryInterface", true, [&](TObjects&) { return query(FRuntime.Get(), IID_IClassFactory); }},
      {"Runtime.LockServer", true, [&](TObjects&) { return FRuntime->LockServer(TRUE); }},
      // The library's own class object (the band's).
      {"ClassObject.CreateInstance", true, [&](TObjects& o) { return create(o.Factory.Get(), IID_IUnknown); }},
      {"ClassObject.QueryInterface", true, [&](TObjects& o) { return query(o.Factory.Get(), IID_IClassFactory); }},
      {"ClassObject.LockServer", true,
       [&](TObjects& o) {
         const HRESULT locked = o.Factory->LockServer(TRUE);
         if (SUCCEEDED(locked)) o.Factory->LockServer(FALSE);
         return locked;
       }},
  };

  int serial = 0;
  for (const TCall& call : calls) {
    HRESULT clean = E_FAIL;
    {
      TObjects objects = Prepare(call, ++serial);
      clean = call.Run(objects);
    }
    int failed = 0;
    for (int allocation = 0; allocation < 400; ++allocation) {
      TObjects objects = Prepare(call, ++serial);
      ASSERT_TRUE(objects.Factory) << call.Name;
      if (call.Started) ASSERT_TRUE(objects.Wrapper) << call.Name;
      HRESULT result = E_FAIL;
      bool escaped = false;
      test::FailAllocationAfter(allocation);
      try {
        result = call.Run(objects);
      } catch (...) {
        escaped = true;
      }
      const bool pending = test::AllocationFailurePending();
      test::FailAllocationAfter(-1);
      EXPECT_FALSE(escaped) << call.Name << " with allocation " << allocation << " failing";
      // The run that failed nothing answers as the call always does.
      if (pending) EXPECT_EQ(result, clean) << call.Name;
      if (pending) break;  // the call made fewer allocations: every one has failed once
      ++failed;
    }
    // Each call was run with every allocation it makes failing, up to the last.
    EXPECT_LT(failed, 400) << call.Name;
    RecordProperty(call.Name, failed);
  }
}

}  // namespace
}  // namespace tarvik
