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
  // The answer of the handler or the browser's sink passes on whatever the
  // capture meets: the same with any allocation failing as without.
  bool AnswerStands;
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
    o.Handler->Reads = {{"<p>body</p>", S_FALSE}};  // short: the fake copies it without allocating
    o.Sink = TInterfacedObject::Create<test::RecordingSink>();
    // The stand-ins record without allocating, so a failure is always ours.
    o.Handler->Calls.reserve(16);
    o.Sink->Calls.reserve(16);
    o.Sink->Reports.reserve(16);
    o.Sink->Queried.reserve(16);
    // An answer of its own, told apart from anything the monitor could make up.
    o.Sink->SwitchResult = o.Sink->ProgressResult = o.Sink->DataResult = o.Sink->ResultResult = 0x0004A5A5;
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
      {"Moniter.QueryInterface", true, false,
       [&](TObjects& o) { return query(o.Moniter.Get(), IID_IInternetProtocolInfo); }},
      {"Moniter.Start", false, false,
       [&](TObjects& o) { return o.Moniter->Start(FUrl.c_str(), o.Sink.Get(), nullptr, 0, 0); }},
      {"Moniter.Continue", true, false, [&](TObjects& o) { return o.Moniter->Continue(&data); }},
      {"Moniter.Abort", true, false, [&](TObjects& o) { return o.Moniter->Abort(E_ABORT, 0); }},
      {"Moniter.Terminate", true, false, [&](TObjects& o) { return o.Moniter->Terminate(0); }},
      {"Moniter.Suspend", true, false, [&](TObjects& o) { return o.Moniter->Suspend(); }},
      {"Moniter.Resume", true, false, [&](TObjects& o) { return o.Moniter->Resume(); }},
      {"Moniter.Read", true, true, [&](TObjects& o) { return o.Moniter->Read(buffer, sizeof(buffer), &read); }},
      {"Moniter.Seek", true, false, [&](TObjects& o) { return o.Moniter->Seek(LARGE_INTEGER{}, 0, nullptr); }},
      {"Moniter.LockRequest", true, false, [&](TObjects& o) { return o.Moniter->LockRequest(0); }},
      {"Moniter.UnlockRequest", true, false, [&](TObjects& o) { return o.Moniter->UnlockRequest(); }},
      {"Moniter.Switch", true, false, [&](TObjects& o) { return o.Moniter->Switch(&data); }},
      {"Moniter.ReportProgress", true, true,
       [&](TObjects& o) { return o.Moniter->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html"); }},
      {"Moniter.ReportData", true, false,
       [&](TObjects& o) { return o.Moniter->ReportData(BSCF_LASTDATANOTIFICATION, 9, 9); }},
      {"Moniter.ReportResult", true, false, [&](TObjects& o) { return o.Moniter->ReportResult(S_OK, 0, L"done"); }},
      {"Moniter.Release (last)", true, false,
       [&](TObjects& o) {
         o.Handler->Sink = nullptr;
         o.Wrapper = nullptr;
         o.Moniter = nullptr;  // the last reference: the monitor and its capture go
         return S_OK;
       }},
      // The sink wrapper the handler was given.
      {"IPSink.QueryInterface", true, false, [&](TObjects& o) { return query(o.Wrapper.Get(), IID_IServiceProvider); }},
      {"IPSink.Switch", true, true, [&](TObjects& o) { return o.Wrapper->Switch(&data); }},
      {"IPSink.ReportProgress", true, true,
       [&](TObjects& o) { return o.Wrapper->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"f"); }},
      {"IPSink.ReportData", true, true,
       [&](TObjects& o) { return o.Wrapper->ReportData(BSCF_FIRSTDATANOTIFICATION, 1, 90); }},
      {"IPSink.ReportResult", true, true, [&](TObjects& o) { return o.Wrapper->ReportResult(E_ABORT, 5, L"stopped"); }},
      // The runtime's class factory, which the URL moniker library asks for monitors.
      {"Runtime.CreateInstance", true, false, [&](TObjects&) { return create(FRuntime.Get(), IID_IInternetProtocol); }},
      {"Runtime.QueryInterface", true, false, [&](TObjects&) { return query(FRuntime.Get(), IID_IClassFactory); }},
      {"Runtime.LockServer", true, false, [&](TObjects&) { return FRuntime->LockServer(TRUE); }},
      // The library's own class object (the band's).
      {"ClassObject.CreateInstance", true, false, [&](TObjects& o) { return create(o.Factory.Get(), IID_IUnknown); }},
      {"ClassObject.QueryInterface", true, false,
       [&](TObjects& o) { return query(o.Factory.Get(), IID_IClassFactory); }},
      {"ClassObject.LockServer", true, false,
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
      if (call.Started) {
        ASSERT_TRUE(objects.Wrapper) << call.Name;
      }
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
      if (pending || call.AnswerStands) {
        EXPECT_EQ(result, clean) << call.Name << " with allocation " << allocation;
      }
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
