// The protocol monitor and its sink wrapper against a scripted handler that
// the monitor finds through the registry, and a recording browser sink.
#include "protocol/CoTarvikAPPMoniter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/AnsiCase.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "framework/Trace.h"
#include "support/GoldenTrace.h"
#include "support/TraceRecorder.h"
#include "support/protocol/FailingAllocator.h"
#include "support/protocol/FakeProtocol.h"

namespace tarvik {
namespace {

using test::FakeHandler;
using test::RecordingSink;

HRESULT NoSession(IInternetSession** session) {
  *session = nullptr;
  return E_FAIL;
}

std::string Narrow(const std::wstring& text) { return WideToAnsi(text.c_str()); }

class CoTarvikAPPMoniterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(FCom.Result()));
    ASSERT_TRUE(FRegistration.Ok());
    LibraryLoad();
    FRuntime = CreateRuntime(APPMoniters(), &NoSession);
    FMonitersBefore = MoniterCount();
  }
  void TearDown() override {
    LibraryUnload();
    EXPECT_EQ(MoniterCount(), FMonitersBefore);
  }

  // The fake handler's URLs, in the ANSI form the monitor keeps and as UTF-16.
  static std::string U(const std::string& path) { return test::FakeScheme() + "://host/" + path; }
  static std::wstring Url(const std::string& path) { return Wide(U(path)); }
  static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
  static ComPtr<TTarvikAPPMoniter> NewMoniter() { return TInterfacedObject::Create<TTarvikAPPMoniter>(); }
  HRESULT Start(TTarvikAPPMoniter& moniter, const std::wstring& url, IInternetProtocolSink* sink = nullptr) {
    return moniter.Start(url.c_str(), sink ? sink : FSink.Get(), BindInfo, 0x11, 0x22);
  }
  static bool Stored(const std::wstring& url) { return TarvikDataBuffer->Exists(Narrow(url)); }
  static TURLContent::Snapshot Record(const std::wstring& url) {
    return TarvikDataBuffer->GetURLContent(Narrow(url))->Read();
  }
  static HRESULT ReadOnce(TTarvikAPPMoniter& moniter, ULONG cb = 64, ULONG* count = nullptr) {
    std::string buffer(cb, '\0');
    ULONG read = 0;
    const HRESULT hr = moniter.Read(buffer.data(), cb, &read);
    if (count) *count = read;
    return hr;
  }
  static std::string Tag(const TTarvikAPPMoniter& moniter, int count, const std::string& operation) {
    return Format("APPMoniter[%d/%d].", moniter.SID(), count) + operation;
  }

  // The recording sink answers the wrapper, the wrapper answers the handler.
  IInternetBindInfo* const BindInfo = reinterpret_cast<IInternetBindInfo*>(static_cast<UINT_PTR>(0x5150));
  ScopedComInit FCom;
  test::FakeHandlerRegistration FRegistration;
  ComPtr<RecordingSink> FSink = TInterfacedObject::Create<RecordingSink>();
  ComPtr<TTarvikRuntime> FRuntime;
  LONG FMonitersBefore = 0;
};

// ---------------------------------------------------------------- start

TEST_F(CoTarvikAPPMoniterTest, StartPassesEverythingToTheRegisteredHandlerThroughAWrapper) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->StartResult = E_PENDING;
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  EXPECT_EQ(moniter->Start(Url("a").c_str(), FSink.Get(), BindInfo, 0x1234, 0x77), E_PENDING);

  EXPECT_EQ(moniter->IPHandler().Get(), static_cast<IInternetProtocol*>(handler.Get()));
  EXPECT_EQ(handler->Url, Url("a"));
  EXPECT_EQ(handler->BindInfo, BindInfo);
  EXPECT_EQ(handler->Flags, 0x1234u);
  EXPECT_EQ(handler->Reserved, 0x77u);
  ASSERT_TRUE(handler->SinkGiven);
  EXPECT_NE(handler->SinkGiven, static_cast<IInternetProtocolSink*>(FSink.Get()));
  auto* wrapper = static_cast<TTarvikIPSink*>(handler->SinkGiven);
  EXPECT_EQ(wrapper->WrappedSink(), static_cast<IInternetProtocolSink*>(FSink.Get()));
  EXPECT_EQ(moniter->URL(), U("a"));

  // One "Download" "Start" item with this thread's id and the URL.
  const auto items = FRuntime->Timeline().Snapshot();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].TID, static_cast<int32_t>(::GetCurrentThreadId()));
  EXPECT_EQ(items[0].OID, 0u);
  EXPECT_EQ(items[0].Category, CategoryDownload);
  EXPECT_EQ(items[0].Event, EventStart);
  EXPECT_EQ(items[0].Value, U("a"));
}

TEST_F(CoTarvikAPPMoniterTest, StartTracesEachStepWithItsText) {
  test::TraceRecorder trace;
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  const int count = static_cast<int>(MoniterCount());
  trace.Clear();
  ASSERT_EQ(Start(*moniter, Url("t")), S_OK);
  const int wrapperSID = static_cast<int>(IPSinkSerial());
  const int wrappers = static_cast<int>(IPSinkCount());
  const int eventSID = FRuntime->Timeline().Snapshot().at(0).SID;

  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "protocol/traces/start.trace",
                                       {{"sid", std::to_string(moniter->SID())},
                                        {"count", std::to_string(count)},
                                        {"url", U("t")},
                                        {"scheme", test::FakeScheme()},
                                        {"event", std::to_string(eventSID)},
                                        {"sink", std::to_string(wrapperSID)},
                                        {"sinks", std::to_string(wrappers)}}));
}

TEST_F(CoTarvikAPPMoniterTest, ConstructionAndDestructionTraceTheirLinesAndKeepTheCounts) {
  test::TraceRecorder trace;
  const LONG serial = MoniterSerial();
  const LONG before = MoniterCount();
  ComPtr<TTarvikAPPMoniter> first = NewMoniter();
  ComPtr<TTarvikAPPMoniter> second = NewMoniter();
  EXPECT_EQ(first->SID(), serial + 1);
  EXPECT_EQ(second->SID(), serial + 2);
  EXPECT_EQ(MoniterCount(), before + 2);
  EXPECT_TRUE(trace.Contains(Tag(*first, before + 1, "AfterConstruction"), Format("%d totally.", int(before + 1))));
  EXPECT_TRUE(trace.Contains(Tag(*second, before + 2, "AfterConstruction"), Format("%d totally.", int(before + 2))));

  const std::vector<int32_t> live = RemainingMoniterSIDs();
  ASSERT_GE(live.size(), 2u);
  EXPECT_EQ(live[live.size() - 2], first->SID());
  EXPECT_EQ(live.back(), second->SID());

  const int sid = first->SID();
  trace.Clear();
  first = nullptr;
  // The count in a tag is the one when the line is written: one fewer once destroyed.
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "protocol/traces/destruction.trace",
                                       {{"sid", std::to_string(sid)},
                                        {"count", std::to_string(before + 2)},
                                        {"remaining", std::to_string(before + 1)}}));
  EXPECT_EQ(RemainingMoniterSIDs().back(), second->SID());
}

TEST_F(CoTarvikAPPMoniterTest, StartTwiceReplacesUrlAndHandlerButKeepsTheBytes) {
  ComPtr<FakeHandler> first = FRegistration.PrepareHandler();
  first->Reads = {{"abc", S_OK}};
  ComPtr<FakeHandler> second = FRegistration.PrepareHandler();
  second->Reads = {{"de", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("one")), S_OK);
  ASSERT_EQ(ReadOnce(*moniter), S_OK);
  const LONG firstRefs = first->RefCount();

  ASSERT_EQ(Start(*moniter, Url("two")), S_OK);
  EXPECT_EQ(moniter->URL(), U("two"));
  EXPECT_EQ(moniter->IPHandler().Get(), static_cast<IInternetProtocol*>(second.Get()));
  EXPECT_EQ(first->RefCount(), firstRefs - 1);  // the monitor let the first handler go
  EXPECT_EQ(FRuntime->Timeline().Count(), 2);
  ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
  EXPECT_EQ(moniter->ReadLength(), 5);
  EXPECT_EQ(*Record(Url("two")).Content, "abcde");
}

TEST_F(CoTarvikAPPMoniterTest, ASecondRequestOfAStoredUrlTalksToTheBrowserSinkDirectly) {
  ComPtr<FakeHandler> first = FRegistration.PrepareHandler();
  first->Reads = {{"old", S_FALSE}};
  first->DuringStart = [](IInternetProtocolSink* sink) {
    sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html");
  };
  ComPtr<TTarvikAPPMoniter> one = NewMoniter();
  ASSERT_EQ(Start(*one, Url("same")), S_OK);
  ASSERT_EQ(ReadOnce(*one), S_FALSE);

  ComPtr<FakeHandler> second = FRegistration.PrepareHandler();
  second->Reads = {{"newer", S_FALSE}};
  second->DuringStart = [](IInternetProtocolSink* sink) {
    sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"image/png");
    sink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\cache\\x");
  };
  ComPtr<TTarvikAPPMoniter> two = NewMoniter();
  ASSERT_EQ(Start(*two, Wide(AnsiUpperCase(test::FakeScheme()) + "://HOST/same")),
            S_OK);  // scheme and host in any case
  EXPECT_EQ(second->SinkGiven, static_cast<IInternetProtocolSink*>(FSink.Get()));
  ASSERT_EQ(ReadOnce(*two), S_FALSE);

  const TURLContent::Snapshot record = Record(Url("same"));
  EXPECT_EQ(record.ContentType, "text/html");
  EXPECT_EQ(record.LocalFilename, "");
  EXPECT_EQ(*record.Content, "newer");
  EXPECT_EQ(record.ReadLength, 5);
  EXPECT_EQ(TarvikDataBuffer->Count(), 1);
}

// ---------------------------------------------------------------- read and capture

TEST_F(CoTarvikAPPMoniterTest, TheEndOfTheDataStoresEveryByteReadWithZerosKept) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  const std::string zeros("\0\0x\0", 4);
  handler->Reads = {{"ab", S_OK}, {"", E_PENDING}, {zeros, S_OK}, {"end", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("zeros")), S_OK);
  EXPECT_EQ(ReadOnce(*moniter), S_OK);
  EXPECT_EQ(ReadOnce(*moniter), E_PENDING);
  EXPECT_EQ(ReadOnce(*moniter), S_OK);
  EXPECT_FALSE(moniter->Finished());
  EXPECT_FALSE(Stored(Url("zeros")));      // nothing before the end
  EXPECT_EQ(ReadOnce(*moniter), S_FALSE);  // S_FALSE with bytes: they are included
  EXPECT_TRUE(moniter->Finished());
  const TURLContent::Snapshot record = Record(Url("zeros"));
  EXPECT_EQ(*record.Content, "ab" + zeros + "end");
  EXPECT_EQ(record.ReadLength, 9);
  EXPECT_EQ(moniter->Content(), "ab" + zeros + "end");
}

TEST_F(CoTarvikAPPMoniterTest, AnEmptyEndStoresWhatEarlierReadsDeliveredAndAnEmptyBodyIsKept) {
  ComPtr<FakeHandler> some = FRegistration.PrepareHandler();
  some->Reads = {{"xyz", S_OK}, {"", S_FALSE}};
  ComPtr<FakeHandler> none = FRegistration.PrepareHandler();
  none->Reads = {{"", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> one = NewMoniter();
  ComPtr<TTarvikAPPMoniter> empty = NewMoniter();
  ASSERT_EQ(Start(*one, Url("some")), S_OK);
  ASSERT_EQ(Start(*empty, Url("empty")), S_OK);
  ReadOnce(*one);
  EXPECT_EQ(ReadOnce(*one), S_FALSE);
  EXPECT_EQ(ReadOnce(*empty), S_FALSE);
  EXPECT_EQ(*Record(Url("some")).Content, "xyz");
  ASSERT_TRUE(Stored(Url("empty")));
  EXPECT_EQ(*Record(Url("empty")).Content, "");
  EXPECT_EQ(Record(Url("empty")).ReadLength, 0);
}

TEST_F(CoTarvikAPPMoniterTest, ReadsAfterTheEndKeepAppendingAndASecondEndStoresTheWholeAgain) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"first", S_FALSE}, {"+more", S_OK}, {"", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("again")), S_OK);
  ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
  const TURLContent::Bytes firstStored = Record(Url("again")).Content;
  EXPECT_EQ(*firstStored, "first");
  ASSERT_EQ(ReadOnce(*moniter), S_OK);
  EXPECT_EQ(*Record(Url("again")).Content, "first");  // appends alone store nothing
  EXPECT_EQ(*firstStored, "first");                   // the stored bytes are never written again
  ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
  EXPECT_EQ(*Record(Url("again")).Content, "first+more");
  EXPECT_EQ(Record(Url("again")).ReadLength, 10);
}

TEST_F(CoTarvikAPPMoniterTest, ADownloadThatNeverEndsStoresNothing) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"part", S_OK}, {"", INET_E_DOWNLOAD_FAILURE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("cut")), S_OK);
  EXPECT_EQ(ReadOnce(*moniter), S_OK);
  EXPECT_EQ(ReadOnce(*moniter), INET_E_DOWNLOAD_FAILURE);
  EXPECT_EQ(moniter->Terminate(0), S_OK);
  moniter = nullptr;
  EXPECT_FALSE(Stored(Url("cut")));
}

// A server that closes early makes the handler end the data as if complete;
// only the size it announced before tells the two apart.
TEST_F(CoTarvikAPPMoniterTest, AnEndBeforeTheAnnouncedSizeStoresNoBytes) {
  for (const ULONG announced : {0ul, 6ul, 100ul}) {
    ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
    handler->Reads = {{"abc", S_OK}, {"def", S_FALSE}};
    handler->DuringStart = [announced](IInternetProtocolSink* sink) {
      sink->ReportData(BSCF_FIRSTDATANOTIFICATION, 3, announced);
    };
    const std::wstring url = Url("announced" + std::to_string(announced));
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    ASSERT_EQ(Start(*moniter, url), S_OK);
    EXPECT_EQ(ReadOnce(*moniter), S_OK);
    EXPECT_EQ(ReadOnce(*moniter), S_FALSE);  // passed on unchanged either way
    EXPECT_TRUE(moniter->Finished());
    EXPECT_EQ(Stored(url), announced <= 6) << announced;
    if (announced <= 6) {
      EXPECT_EQ(*Record(url).Content, "abcdef");
    }
  }
}

// The handler's own headers decide: a body shorter than its Content-Length
// was cut, unless it came with a content encoding (the length counts the
// encoded bytes). An empty Content-Encoding answer is no encoding.
TEST_F(CoTarvikAPPMoniterTest, AnEmptyContentEncodingStillLetsTheLengthTellACutTransfer) {
  struct Case {
    const char* Encoding;  // nullptr: no such header
    bool Stored;
  };
  for (const Case& c : {Case{"", false}, Case{nullptr, false}, Case{"gzip", true}}) {
    const std::string label = c.Encoding ? "[" + std::string(c.Encoding) + "]" : "none";
    ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
    handler->HttpInfo = TInterfacedObject::Create<test::FakeHttpInfo>();
    handler->HttpInfo->Headers[HTTP_QUERY_CONTENT_LENGTH] = "100";
    if (c.Encoding) handler->HttpInfo->Headers[HTTP_QUERY_CONTENT_ENCODING] = c.Encoding;
    handler->Reads = {{"abc", S_OK}, {"def", S_FALSE}};
    const std::wstring url = Url("encoding" + std::to_string(c.Stored) + (c.Encoding ? c.Encoding : "-"));
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    ASSERT_EQ(Start(*moniter, url), S_OK);
    EXPECT_EQ(ReadOnce(*moniter), S_OK);
    EXPECT_EQ(ReadOnce(*moniter), S_FALSE);
    EXPECT_EQ(Stored(url), c.Stored) << label;
  }
}

TEST_F(CoTarvikAPPMoniterTest, AReadClaimingMoreThanAskedIsCapturedUpToTheBufferAndPassedOn) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"12345678", S_OK, 4000}, {"", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("claims")), S_OK);
  ULONG count = 0;
  EXPECT_EQ(ReadOnce(*moniter, 8, &count), S_OK);
  EXPECT_EQ(count, 4000u);  // the caller sees the handler's claim untouched
  EXPECT_EQ(ReadOnce(*moniter), S_FALSE);
  EXPECT_EQ(*Record(Url("claims")).Content, "12345678");
  EXPECT_EQ(Record(Url("claims")).ReadLength, 8);
}

TEST_F(CoTarvikAPPMoniterTest, ReadTracesItsCountsAndTheEnd) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"abc", S_OK}, {"", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("rt")), S_OK);
  const int count = static_cast<int>(MoniterCount());
  test::TraceRecorder trace;
  ReadOnce(*moniter, 8);
  ReadOnce(*moniter, 8);
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "protocol/traces/read_past_the_end.trace",
                                       {{"sid", std::to_string(moniter->SID())}, {"count", std::to_string(count)}}));
}

// ---------------------------------------------------------------- flags and releases

TEST_F(CoTarvikAPPMoniterTest, StateTableLockReadTerminateUnlock) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"x", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  moniter->SetOIPSink(FSink.Get());
  ASSERT_EQ(Start(*moniter, Url("table")), S_OK);
  EXPECT_FALSE(moniter->Locked());
  EXPECT_FALSE(moniter->Finished());

  EXPECT_EQ(moniter->LockRequest(7), S_OK);  // LockRequest succeeds: Locked
  EXPECT_EQ(handler->Options, 7u);
  EXPECT_TRUE(moniter->Locked());
  EXPECT_EQ(ReadOnce(*moniter), S_FALSE);  // S_FALSE: Finished
  EXPECT_TRUE(moniter->Finished());

  EXPECT_EQ(moniter->Terminate(3), S_OK);  // Terminate while Locked: OIPSink emptied (Finished), handler kept
  EXPECT_EQ(handler->Options, 3u);
  EXPECT_FALSE(moniter->OIPSink());
  EXPECT_TRUE(moniter->IPHandler());

  EXPECT_EQ(moniter->UnlockRequest(), S_OK);  // UnlockRequest succeeds with Finished: both emptied
  EXPECT_FALSE(moniter->Locked());
  EXPECT_FALSE(moniter->IPHandler());
  EXPECT_EQ(handler->Calls, (std::vector<std::string>{"Start", "LockRequest", "Read", "Terminate", "UnlockRequest"}));
  // With nothing left to forward to, the monitor answers for itself.
  EXPECT_EQ(moniter->Terminate(0), E_UNEXPECTED);
}

TEST_F(CoTarvikAPPMoniterTest, StateTableTerminateUnlockedReleasesTheHandlerAndKeepsAnUnfinishedSink) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  moniter->SetOIPSink(FSink.Get());
  ASSERT_EQ(Start(*moniter, Url("unlocked")), S_OK);
  test::TraceRecorder trace;
  const int count = static_cast<int>(MoniterCount());
  EXPECT_EQ(moniter->Terminate(0), S_OK);
  EXPECT_FALSE(moniter->IPHandler());
  EXPECT_TRUE(moniter->OIPSink());  // not Finished: left alone
  // RefCount=2: the field's reference and the test's.
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "protocol/traces/terminate_unlocked.trace",
                                       {{"sid", std::to_string(moniter->SID())}, {"count", std::to_string(count)}}));
}

TEST_F(CoTarvikAPPMoniterTest, StateTableACacheFileNameThroughTheWrapperFinishesTheDownload) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  moniter->SetOIPSink(FSink.Get());
  ASSERT_EQ(Start(*moniter, Url("cachefile")), S_OK);
  ASSERT_TRUE(handler->Sink);
  EXPECT_EQ(handler->Sink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\cache\\file.htm"), S_OK);
  EXPECT_TRUE(moniter->Finished());
  EXPECT_EQ(Record(Url("cachefile")).LocalFilename, "C:\\cache\\file.htm");
  EXPECT_EQ(moniter->Terminate(0), S_OK);
  EXPECT_FALSE(moniter->OIPSink());
  EXPECT_FALSE(moniter->IPHandler());
}

TEST_F(CoTarvikAPPMoniterTest, TerminateWhileLockedKeepsTheHandlerUntilDestructionWhenNotFinished) {
  test::TraceRecorder trace;
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("locked")), S_OK);
  ASSERT_EQ(moniter->LockRequest(0), S_OK);
  EXPECT_EQ(moniter->Terminate(0), S_OK);
  EXPECT_TRUE(moniter->IPHandler());
  EXPECT_EQ(moniter->UnlockRequest(), S_OK);  // not Finished: still kept
  EXPECT_FALSE(moniter->Locked());
  EXPECT_TRUE(moniter->IPHandler());
  const LONG refs = handler->RefCount();
  const int sid = moniter->SID();
  const int count = static_cast<int>(MoniterCount());
  trace.Clear();
  moniter = nullptr;
  EXPECT_EQ(handler->RefCount(), refs - 1);
  EXPECT_EQ(trace.Lines().at(1).Source,
            Format("APPMoniter[%d/%d].SetIPHandler=nil (RefCount=%d)", sid, count, int(refs)));
}

TEST_F(CoTarvikAPPMoniterTest, FailedLockAndUnlockChangeNothing) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("lockfail")), S_OK);
  handler->LockResult = E_FAIL;
  EXPECT_EQ(moniter->LockRequest(0), E_FAIL);
  EXPECT_FALSE(moniter->Locked());
  handler->LockResult = S_OK;
  ASSERT_EQ(moniter->LockRequest(0), S_OK);
  ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
  handler->UnlockResult = E_ACCESSDENIED;
  EXPECT_EQ(moniter->UnlockRequest(), E_ACCESSDENIED);
  EXPECT_TRUE(moniter->Locked());
  EXPECT_TRUE(moniter->IPHandler());
  ASSERT_EQ(moniter->Terminate(0), S_OK);  // locked: the handler stays
  handler->UnlockResult = S_FALSE;         // success, though not S_OK
  EXPECT_EQ(moniter->UnlockRequest(), S_FALSE);
  EXPECT_FALSE(moniter->Locked());
  EXPECT_FALSE(moniter->IPHandler());
}

// The URL moniker library may unlock before it terminates: the handler then
// still gets its Terminate, after which it is let go.
TEST_F(CoTarvikAPPMoniterTest, AnUnlockBeforeTerminateKeepsTheHandlerForItsTerminate) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->Reads = {{"body", S_FALSE}};
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("unlockfirst")), S_OK);
  ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
  ASSERT_EQ(moniter->LockRequest(0), S_OK);
  ASSERT_EQ(moniter->UnlockRequest(), S_OK);
  EXPECT_TRUE(moniter->IPHandler());
  EXPECT_EQ(ReadOnce(*moniter), S_FALSE);  // late reads still reach the handler
  EXPECT_EQ(moniter->Terminate(0), S_OK);
  EXPECT_FALSE(moniter->IPHandler());
  EXPECT_EQ(handler->Calls,
            (std::vector<std::string>{"Start", "Read", "LockRequest", "UnlockRequest", "Read", "Terminate"}));
}

TEST_F(CoTarvikAPPMoniterTest, WithoutAHandlerEveryOperationIsUnexpectedAndAbortStillFinishes) {
  for (const std::wstring& url :
       {Wide(test::FakeScheme("nokey") + "://x/"), Wide(test::FakeScheme("badclsid") + "://x/"),
        Wide(test::FakeScheme("noclsid") + "://x/"), std::wstring(L"no colon at all")}) {
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    EXPECT_EQ(Start(*moniter, url), E_UNEXPECTED);
    EXPECT_FALSE(moniter->IPHandler());
    EXPECT_EQ(moniter->Continue(nullptr), E_UNEXPECTED);
    EXPECT_EQ(moniter->Suspend(), E_UNEXPECTED);
    EXPECT_EQ(moniter->Resume(), E_UNEXPECTED);
    EXPECT_EQ(moniter->Seek(LARGE_INTEGER{}, 0, nullptr), E_UNEXPECTED);
    EXPECT_EQ(moniter->LockRequest(0), E_UNEXPECTED);
    EXPECT_FALSE(moniter->Locked());
    EXPECT_EQ(moniter->UnlockRequest(), E_UNEXPECTED);
    char buffer[4];
    ULONG count = 0xABCD;
    EXPECT_EQ(moniter->Read(buffer, sizeof(buffer), &count), E_UNEXPECTED);
    EXPECT_EQ(count, 0xABCDu);
    EXPECT_EQ(moniter->Terminate(0), E_UNEXPECTED);
    EXPECT_FALSE(moniter->Finished());
    EXPECT_EQ(moniter->Abort(E_ABORT, 0), E_UNEXPECTED);
    EXPECT_TRUE(moniter->Finished());
  }
  // The handler-less monitor still wrapped the browser's sink and recorded its request.
  EXPECT_EQ(FRuntime->Timeline().Count(), 4);
}

TEST_F(CoTarvikAPPMoniterTest, AbortWithAHandlerTracesTheFlagsBeforeFinishing) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->AbortResult = S_FALSE;
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("abort")), S_OK);
  const int count = static_cast<int>(MoniterCount());
  test::TraceRecorder trace;
  EXPECT_EQ(moniter->Abort(E_ABORT, 5), S_FALSE);
  EXPECT_EQ(handler->AbortReason, E_ABORT);
  EXPECT_EQ(handler->Options, 5u);
  EXPECT_TRUE(moniter->Finished());
  EXPECT_TRUE(trace.Contains(Tag(*moniter, count, "Abort"), "Locked: False; Finished: False"));
  EXPECT_TRUE(trace.Contains(Tag(*moniter, count, "Abort"), "hrReason=80004004; HRESULT=00000001"));
}

TEST_F(CoTarvikAPPMoniterTest, TheHandlerLookupReadsOnlyAValidClsid) {
  test::TraceRecorder trace;
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  const int count = static_cast<int>(MoniterCount());
  EXPECT_TRUE(IsEqualCLSID(moniter->GetProtocolHandlerCLSID(test::FakeScheme("test")), test::CLSID_FakeHandler));
  EXPECT_TRUE(IsEqualCLSID(moniter->GetProtocolHandlerCLSID(test::FakeScheme("badclsid")), GUID_NULL));
  EXPECT_TRUE(IsEqualCLSID(moniter->GetProtocolHandlerCLSID(test::FakeScheme("noclsid")), GUID_NULL));
  trace.Clear();
  EXPECT_TRUE(IsEqualCLSID(moniter->GetProtocolHandlerCLSID(test::FakeScheme("nokey")), GUID_NULL));
  EXPECT_TRUE(trace.Lines().empty());  // a missing key is not traced
  // The platform's own http handler, as the browser's requests find it.
  GUID http = GUID_NULL;
  ASSERT_TRUE(ParseGuidText("{79eac9e2-baf9-11ce-8c82-00aa004ba90b}", &http));
  EXPECT_TRUE(IsEqualCLSID(moniter->GetProtocolHandlerCLSID("http"), http));
  EXPECT_TRUE(trace.Contains(Tag(*moniter, count, "GetProtocolHandlerCLSID"),
                             "Protocol=http; CLSID={79EAC9E2-BAF9-11CE-8C82-00AA004BA90B}"));
}

// ---------------------------------------------------------------- results pass through

TEST_F(CoTarvikAPPMoniterTest, EveryHandlerResultReachesTheCallerUnchanged) {
  const HRESULT results[] = {
      S_OK, S_FALSE, E_PENDING, E_FAIL, INET_E_DOWNLOAD_FAILURE, E_NOTIMPL, static_cast<HRESULT>(0x00012345)};
  for (HRESULT result : results) {
    ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
    handler->StartResult = handler->ContinueResult = handler->AbortResult = handler->SuspendResult =
        handler->ResumeResult = handler->SeekResult = handler->LockResult = result;
    handler->Reads = {{"r", result}};
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    SCOPED_TRACE(Format("%08X", static_cast<unsigned>(result)));
    EXPECT_EQ(Start(*moniter, Url("results")), result);
    EXPECT_EQ(moniter->Continue(nullptr), result);
    EXPECT_EQ(moniter->Suspend(), result);
    EXPECT_EQ(moniter->Resume(), result);
    EXPECT_EQ(moniter->Seek(LARGE_INTEGER{}, 0, nullptr), result);
    EXPECT_EQ(ReadOnce(*moniter), result);
    EXPECT_EQ(moniter->LockRequest(0), result);
    EXPECT_EQ(moniter->Abort(E_ABORT, 0), result);
    handler->UnlockResult = result;
    EXPECT_EQ(moniter->UnlockRequest(), result);

    ComPtr<FakeHandler> other = FRegistration.PrepareHandler();
    other->TerminateResult = result;
    ComPtr<TTarvikAPPMoniter> terminated = NewMoniter();
    Start(*terminated, Url("results"));
    EXPECT_EQ(terminated->Terminate(0), result);
  }
}

TEST_F(CoTarvikAPPMoniterTest, TheWrapperForwardsEverySinkCallAndItsResultUnchanged) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("sink")), S_OK);
  IInternetProtocolSink* wrapper = handler->Sink.Get();
  ASSERT_TRUE(wrapper);
  FSink->SwitchResult = E_PENDING;
  FSink->ProgressResult = E_FAIL;
  FSink->DataResult = S_FALSE;
  FSink->ResultResult = E_ABORT;
  PROTOCOLDATA data{};
  EXPECT_EQ(wrapper->Switch(&data), E_PENDING);
  EXPECT_EQ(FSink->SwitchData, &data);
  EXPECT_EQ(wrapper->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/css"), E_FAIL);
  EXPECT_EQ(wrapper->ReportProgress(BINDSTATUS_REDIRECTING, Url("elsewhere").c_str()), E_FAIL);
  EXPECT_EQ(wrapper->ReportData(BSCF_FIRSTDATANOTIFICATION, 10, 20), S_FALSE);
  EXPECT_EQ(FSink->Bscf, DWORD(BSCF_FIRSTDATANOTIFICATION));
  EXPECT_EQ(FSink->Progressed, 10u);
  EXPECT_EQ(FSink->ProgressMax, 20u);
  EXPECT_EQ(wrapper->ReportResult(INET_E_DOWNLOAD_FAILURE, 12029, L"why"), E_ABORT);
  EXPECT_EQ(FSink->FinalResult, INET_E_DOWNLOAD_FAILURE);
  EXPECT_EQ(FSink->FinalError, 12029u);
  EXPECT_EQ(FSink->FinalText, L"why");
  EXPECT_EQ(FSink->Calls,
            (std::vector<std::string>{"Switch", "ReportProgress", "ReportProgress", "ReportData", "ReportResult"}));
  ASSERT_EQ(FSink->Reports.size(), 2u);
  EXPECT_EQ(FSink->Reports[1].Text, Url("elsewhere"));

  // The refused report was still captured; the redirect changed no key.
  const TURLContent::Snapshot record = Record(Url("sink"));
  EXPECT_EQ(record.ContentType, "text/css");
  EXPECT_FALSE(Stored(Url("elsewhere")));
  EXPECT_FALSE(moniter->Finished());
}

TEST_F(CoTarvikAPPMoniterTest, TheWrapperHandsEachReportToTheBrowserBeforeCapturingIt) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("first")), S_OK);
  std::vector<std::string> seenByBrowser;
  FSink->DuringProgress = [&](ULONG) {
    const TURLContent::Snapshot record = Record(Url("first"));
    seenByBrowser.push_back(record.ContentType + "|" + record.LocalFilename + "|" + BoolText(moniter->Finished()));
  };
  handler->Sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html");
  handler->Sink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\cache\\first.htm");
  EXPECT_EQ(seenByBrowser, (std::vector<std::string>{"||False", "text/html||False"}));
  EXPECT_EQ(Record(Url("first")).LocalFilename, "C:\\cache\\first.htm");
  EXPECT_TRUE(moniter->Finished());
}

// Memory runs out while trace lines are built and written (a sink listens):
// no exception leaves a method, and every call returns what the handler or
// the browser's sink answered.
TEST_F(CoTarvikAPPMoniterTest, RunningOutOfMemoryWhileTracingChangesNoResult) {
  test::TraceRecorder trace;
  constexpr HRESULT Answer = static_cast<HRESULT>(0x00012345);
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->ContinueResult = handler->AbortResult = handler->TerminateResult = handler->SuspendResult =
      handler->ResumeResult = handler->SeekResult = handler->LockResult = handler->UnlockResult = Answer;
  handler->Reads = {{"abc", S_OK}, {"", S_FALSE}};
  handler->Calls.reserve(64);  // the stand-ins themselves must not allocate
  FSink->Calls.reserve(64);
  FSink->Reports.reserve(16);
  FSink->SwitchResult = FSink->ProgressResult = FSink->DataResult = FSink->ResultResult = Answer;
  // The handler's Start succeeds; memory runs out right after it.
  handler->DuringStart = [](IInternetProtocolSink*) { test::FailAllocations(true); };
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  const HRESULT started = Start(*moniter, Url("oom"));
  test::FailAllocations(false);
  EXPECT_EQ(started, S_OK);
  ComPtr<IInternetProtocolSink> wrapper = handler->Sink;
  ASSERT_TRUE(wrapper);
  moniter->SetOIPSink(FSink.Get());

  PROTOCOLDATA data{};
  char buffer[16];
  ULONG read = 0;
  struct Call {
    const char* Name;
    std::function<HRESULT()> Run;
    HRESULT Expected;
  };
  const std::vector<Call> calls = {
      {"Continue", [&] { return moniter->Continue(&data); }, Answer},
      {"Suspend", [&] { return moniter->Suspend(); }, Answer},
      {"Resume", [&] { return moniter->Resume(); }, Answer},
      {"Seek", [&] { return moniter->Seek(LARGE_INTEGER{}, 0, nullptr); }, Answer},
      {"Read", [&] { return moniter->Read(buffer, sizeof(buffer), &read); }, S_OK},
      {"Read at the end", [&] { return moniter->Read(buffer, sizeof(buffer), &read); }, S_FALSE},
      {"LockRequest", [&] { return moniter->LockRequest(0); }, Answer},
      {"UnlockRequest", [&] { return moniter->UnlockRequest(); }, Answer},
      {"Abort", [&] { return moniter->Abort(E_ABORT, 0); }, Answer},
      {"Switch", [&] { return moniter->Switch(&data); }, Answer},
      {"ReportProgress", [&] { return moniter->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"a/b"); }, Answer},
      {"ReportData", [&] { return moniter->ReportData(0, 1, 2); }, Answer},
      {"ReportResult", [&] { return moniter->ReportResult(S_OK, 0, L"r"); }, Answer},
      {"wrapper Switch", [&] { return wrapper->Switch(&data); }, Answer},
      {"wrapper ReportProgress", [&] { return wrapper->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"a/b"); }, Answer},
      {"wrapper ReportData", [&] { return wrapper->ReportData(0, 1, 2); }, Answer},
      {"wrapper ReportResult", [&] { return wrapper->ReportResult(S_OK, 0, L"r"); }, Answer},
      {"Terminate", [&] { return moniter->Terminate(0); }, Answer},
  };
  for (const Call& call : calls) {
    HRESULT result = E_FAIL;
    bool escaped = false;
    test::FailAllocations(true);
    try {
      result = call.Run();
    } catch (...) {
      escaped = true;
    }
    test::FailAllocations(false);
    EXPECT_FALSE(escaped) << call.Name;
    EXPECT_EQ(result, call.Expected) << call.Name;
  }
  EXPECT_EQ(handler->Calls, (std::vector<std::string>{"Start", "Continue", "Suspend", "Resume", "Seek", "Read", "Read",
                                                      "LockRequest", "UnlockRequest", "Abort", "Terminate"}));
  EXPECT_EQ(FSink->Calls.size(), 8u);
  // A body with a hole in it is never stored.
  EXPECT_FALSE(Stored(Url("oom")) && !Record(Url("oom")).Content->empty());
}

// Under memory pressure a new monitor either works or is gone without a trace.
TEST_F(CoTarvikAPPMoniterTest, AMonitorThatCannotBeMadeLeavesNothingBehind) {
  test::TraceRecorder trace;
  for (int allocation = 0; allocation < 12; ++allocation) {
    ComPtr<IInternetProtocol> protocol;
    test::FailAllocationAfter(allocation);
    const HRESULT created = CreateAPPMoniter(IID_IInternetProtocol, protocol.PutVoid());
    test::FailAllocationAfter(-1);
    EXPECT_TRUE(created == S_OK || created == E_OUTOFMEMORY) << allocation;
    EXPECT_EQ(created == S_OK, static_cast<bool>(protocol)) << allocation;
    protocol = nullptr;
    EXPECT_EQ(MoniterCount(), FMonitersBefore) << allocation;
    EXPECT_TRUE(RemainingMoniterSIDs().empty()) << allocation;
  }
}

TEST_F(CoTarvikAPPMoniterTest, TheWrapperTracesEnterAndLeaveAndCapturesWithItsOwnSID) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("wt")), S_OK);
  auto* wrapper = static_cast<TTarvikIPSink*>(handler->Sink.Get());
  const int sid = wrapper->SID();
  const int sinks = static_cast<int>(IPSinkCount());
  const int moniters = static_cast<int>(MoniterCount());
  test::TraceRecorder trace;
  wrapper->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/html");
  wrapper->ReportData(0x5, 1, 2);
  const LONG refs = wrapper->RefCount();
  handler->Sink = nullptr;  // the handler lets go: the wrapper goes
  EXPECT_EQ(refs, 1);
  EXPECT_TRUE(test::MatchesGoldenTrace(trace.Lines(), "protocol/traces/wrapper.trace",
                                       {{"sid", std::to_string(sid)},
                                        {"sinks", std::to_string(sinks)},
                                        {"remaining", std::to_string(sinks - 1)},
                                        {"moniters", std::to_string(moniters)},
                                        {"moniter", std::to_string(moniter->SID())}}));
}

TEST_F(CoTarvikAPPMoniterTest, TheWrapperAnswersForItselfAndHandsOtherInterfacesToTheBrowserSink) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("qi")), S_OK);
  IInternetProtocolSink* wrapper = handler->Sink.Get();
  ComPtr<IInternetProtocolSink> asSink;
  ASSERT_EQ(wrapper->QueryInterface(IID_IInternetProtocolSink, asSink.PutVoid()), S_OK);
  EXPECT_EQ(asSink.Get(), wrapper);
  ComPtr<IServiceProvider> provider;
  ASSERT_EQ(wrapper->QueryInterface(IID_IServiceProvider, provider.PutVoid()), S_OK);
  EXPECT_EQ(provider.Get(), static_cast<IServiceProvider*>(FSink.Get()));
  ComPtr<IDispatch> none;
  EXPECT_EQ(wrapper->QueryInterface(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_TRUE(IsEqualIID(FSink->Queried.back(), IID_IDispatch));
}

TEST_F(CoTarvikAPPMoniterTest, QueryInterfaceFallsThroughToOIPSinkOnlyWhenThereIsOne) {
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ComPtr<IUnknown> root;
  EXPECT_EQ(moniter->QueryInterface(IID_IInternetProtocolRoot, root.PutVoid()), E_NOINTERFACE);
  EXPECT_FALSE(root);
  ComPtr<IInternetProtocol> protocol;
  EXPECT_EQ(moniter->QueryInterface(IID_IInternetProtocol, protocol.PutVoid()), S_OK);
  ComPtr<IInternetProtocolSink> sink;
  EXPECT_EQ(moniter->QueryInterface(IID_IInternetProtocolSink, sink.PutVoid()), S_OK);
  EXPECT_TRUE(SameComObject(protocol.Get(), sink.Get()));

  moniter->SetOIPSink(FSink.Get());
  FSink->Queried.clear();
  EXPECT_EQ(moniter->QueryInterface(IID_IInternetProtocolRoot, root.PutVoid()), E_NOINTERFACE);
  ASSERT_EQ(FSink->Queried.size(), 1u);  // asked of the outer sink
  EXPECT_TRUE(IsEqualIID(FSink->Queried[0], IID_IInternetProtocolRoot));
  ComPtr<IServiceProvider> provider;
  EXPECT_EQ(moniter->QueryInterface(IID_IServiceProvider, provider.PutVoid()), S_OK);
  EXPECT_EQ(provider.Get(), static_cast<IServiceProvider*>(FSink.Get()));
  // Its own interfaces never go outside.
  EXPECT_EQ(moniter->QueryInterface(IID_IInternetProtocol, protocol.PutVoid()), S_OK);
  EXPECT_EQ(protocol.Get(), static_cast<IInternetProtocol*>(moniter.Get()));
}

TEST_F(CoTarvikAPPMoniterTest, TheMonitorsOwnSinkForwardsToOIPSinkAndCapturesFirst) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("own")), S_OK);
  // Empty OIPSink: the capture is made, the call is unexpected.
  EXPECT_EQ(moniter->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/plain"), E_UNEXPECTED);
  EXPECT_EQ(Record(Url("own")).ContentType, "text/plain");
  EXPECT_EQ(moniter->Switch(nullptr), E_UNEXPECTED);
  EXPECT_EQ(moniter->ReportData(0, 0, 0), E_UNEXPECTED);
  EXPECT_EQ(moniter->ReportResult(S_OK, 0, nullptr), E_UNEXPECTED);

  moniter->SetOIPSink(FSink.Get());
  FSink->ProgressResult = E_FAIL;
  FSink->DataResult = S_FALSE;
  EXPECT_EQ(moniter->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\c\\own"), E_FAIL);
  EXPECT_EQ(Record(Url("own")).LocalFilename, "C:\\c\\own");
  EXPECT_TRUE(moniter->Finished());
  EXPECT_EQ(moniter->Switch(nullptr), S_OK);
  EXPECT_EQ(moniter->ReportData(1, 2, 3), S_FALSE);
  EXPECT_EQ(moniter->ReportResult(E_FAIL, 4, L"r"), S_OK);
  EXPECT_EQ(FSink->Calls, (std::vector<std::string>{"ReportProgress", "Switch", "ReportData", "ReportResult"}));
  EXPECT_EQ(FSink->FinalResult, E_FAIL);
}

// ---------------------------------------------------------------- lifetimes

TEST_F(CoTarvikAPPMoniterTest, AWrapperThatOutlivesItsMonitorStillWorks) {
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  const LONG sinksBefore = IPSinkCount();
  ASSERT_EQ(Start(*moniter, Url("outlive")), S_OK);
  ASSERT_EQ(moniter->Terminate(0), S_OK);  // the monitor lets go of the handler; the test keeps it
  moniter = nullptr;
  ASSERT_TRUE(handler->Sink);
  test::TraceRecorder trace;
  EXPECT_EQ(handler->Sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, L"text/late"), S_OK);
  EXPECT_EQ(handler->Sink->ReportData(0, 1, 1), S_OK);
  EXPECT_EQ(Record(Url("outlive")).ContentType, "text/late");
  handler->Sink = nullptr;
  EXPECT_EQ(IPSinkCount(), sinksBefore);
  EXPECT_FALSE(trace.Lines().empty());
}

TEST_F(CoTarvikAPPMoniterTest, AHandlerThatDropsTheSinkLeavesTheWrapperToStart) {
  const LONG sinksBefore = IPSinkCount();
  ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
  handler->KeepSink = false;
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("dropped")), S_OK);
  EXPECT_EQ(IPSinkCount(), sinksBefore);
  EXPECT_EQ(FSink->RefCount(), 1);  // nothing holds the browser's sink
}

TEST_F(CoTarvikAPPMoniterTest, TheUnloadReportNamesTheLiveMonitorsInOrder) {
  test::TraceRecorder trace;
  ComPtr<TTarvikAPPMoniter> first = NewMoniter();
  ComPtr<TTarvikAPPMoniter> second = NewMoniter();
  LibraryUnload();
  const int a = trace.Find("Remaining APPMoniters: SID=" + std::to_string(first->SID()));
  const int b = trace.Find("Remaining APPMoniters: SID=" + std::to_string(second->SID()));
  EXPECT_GE(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_LT(trace.Find("ClassTarvikRuntime.Print ALL Remaining APPMoniters..."), a);
  LibraryLoad();  // the fixture unloads again
}

TEST_F(CoTarvikAPPMoniterTest, MonitorsMadeAndDestroyedOnManyThreadsKeepTheListWhole) {
  const LONG before = MoniterCount();
  std::atomic<bool> stop{false};
  std::atomic<int> walks{0};
  std::thread reporter([&] {
    while (!stop) {
      for (int32_t sid : RemainingMoniterSIDs()) ASSERT_GT(sid, 0);
      ++walks;
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      ScopedComInit com;
      for (int i = 0; i < 300; ++i) {
        ComPtr<TTarvikAPPMoniter> a = TInterfacedObject::Create<TTarvikAPPMoniter>();
        ComPtr<TTarvikAPPMoniter> b = TInterfacedObject::Create<TTarvikAPPMoniter>();
      }
    });
  for (std::thread& t : threads) t.join();
  stop = true;
  reporter.join();
  EXPECT_GT(walks.load(), 0);
  EXPECT_EQ(MoniterCount(), before);
  EXPECT_EQ(RemainingMoniterSIDs().size(), static_cast<size_t>(before));
}

TEST_F(CoTarvikAPPMoniterTest, TwoRequestsOfOneUrlFinishingAtOnceLeaveOneWholeValue) {
  const std::string a(1 << 20, 'a');
  const std::string b((1 << 20) + 7, 'b');
  for (int round = 0; round < 20; ++round) {
    ComPtr<FakeHandler> ha = FRegistration.PrepareHandler();
    ha->Reads = {{a, S_FALSE}};
    ComPtr<FakeHandler> hb = FRegistration.PrepareHandler();
    hb->Reads = {{b, S_FALSE}};
    ComPtr<TTarvikAPPMoniter> ma = NewMoniter();
    ComPtr<TTarvikAPPMoniter> mb = NewMoniter();
    ASSERT_EQ(Start(*ma, Url("race")), S_OK);
    ASSERT_EQ(Start(*mb, Url("race")), S_OK);
    std::thread ta([&] { ReadOnce(*ma, a.size()); });
    std::thread tb([&] { ReadOnce(*mb, b.size()); });
    ta.join();
    tb.join();
    const TURLContent::Snapshot record = Record(Url("race"));
    const bool isA = *record.Content == a && record.ReadLength == static_cast<int32_t>(a.size());
    const bool isB = *record.Content == b && record.ReadLength == static_cast<int32_t>(b.size());
    ASSERT_TRUE(isA || isB) << "round " << round;
  }
}

// ---------------------------------------------------------------- bad input

TEST_F(CoTarvikAPPMoniterTest, LongUrlsLoneSurrogatesAndNullTextsAreHandled) {
  std::wstring longUrl = Url("long/");
  longUrl.append(64 * 1024, L'x');
  std::string manyEscapes = U("many/");
  for (int i = 0; i < 20000; ++i) manyEscapes += "%D1%84";
  const struct {
    std::wstring Given;
    std::string Key;
  } cases[] = {
      {longUrl, U("long/") + std::string(64 * 1024, 'x')},
      {Url("many/") + std::wstring(20000, L'\x444'), manyEscapes},
      // Each unpaired surrogate escaped as its own three bytes, never "?".
      {Url("bad") + L"\xD800" + L"mid" + L"\xDC00", U("bad") + "%ED%A0%80mid%ED%B0%80"},
      {Url("bad") + L"\xDC00" + L"mid" + L"\xD800", U("bad") + "%ED%B0%80mid%ED%A0%80"},
  };
  for (const auto& c : cases) {
    ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
    handler->Reads = {{"body", S_FALSE}};
    handler->DuringStart = [](IInternetProtocolSink* sink) {
      sink->ReportProgress(BINDSTATUS_MIMETYPEAVAILABLE, nullptr);
      sink->ReportProgress(BINDSTATUS_CACHEFILENAMEAVAILABLE, nullptr);
      sink->ReportResult(S_OK, 0, nullptr);
    };
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    test::TraceRecorder trace;
    ASSERT_EQ(Start(*moniter, c.Given), S_OK);
    EXPECT_EQ(handler->Url, c.Given);  // the URL reaches the handler untouched
    EXPECT_EQ(ReadOnce(*moniter), S_FALSE);
    EXPECT_EQ(moniter->URL(), c.Key);
    const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(c.Key)->Read();
    EXPECT_EQ(*record.Content, "body");
    EXPECT_EQ(record.ContentType, "");
    EXPECT_EQ(record.LocalFilename, "");
    ASSERT_FALSE(FSink->Reports.empty());
    EXPECT_TRUE(FSink->Reports.back().TextWasNull);  // a null text stays null on its way
    EXPECT_EQ(moniter->Terminate(0), S_OK);
  }
  EXPECT_EQ(TarvikDataBuffer->Count(), 4);
}

// Addresses handed over raw, as a browser may: names that the ANSI code page
// would turn into one "?" keep records of their own, keyed as the web writes
// them, and the handler gets exactly what the browser gave.
TEST_F(CoTarvikAPPMoniterTest, RawUnicodeAddressesKeepTheirOwnRecordsUnderTheEscapedForm) {
  const struct {
    std::wstring Given;
    std::string Key, Bytes;
  } cases[] = {
      {Url("") + L"\x444.png", U("%D1%84.png"), "ef"},
      {Url("") + L"\x436.png", U("%D0%B6.png"), "zhe"},
      {Url("") + L"\x753B\x50CF.png?name=caf\xE9", U("%E7%94%BB%E5%83%8F.png?name=caf%C3%A9"), "picture"},
  };
  for (const auto& c : cases) {
    ComPtr<FakeHandler> handler = FRegistration.PrepareHandler();
    handler->Reads = {{c.Bytes, S_FALSE}};
    ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
    ASSERT_EQ(Start(*moniter, c.Given), S_OK);
    EXPECT_EQ(handler->Url, c.Given);
    ASSERT_EQ(ReadOnce(*moniter), S_FALSE);
    EXPECT_EQ(FRuntime->Timeline().Snapshot().back().Value, c.Key);
  }
  EXPECT_EQ(TarvikDataBuffer->Count(), 3);
  for (const auto& c : cases) EXPECT_EQ(*TarvikDataBuffer->GetURLContent(c.Key)->Read().Content, c.Bytes) << c.Key;

  // The same name written pre-escaped is the same record: its request talks
  // to the browser's sink directly.
  ComPtr<FakeHandler> again = FRegistration.PrepareHandler();
  ComPtr<TTarvikAPPMoniter> moniter = NewMoniter();
  ASSERT_EQ(Start(*moniter, Url("%D1%84.png")), S_OK);
  EXPECT_EQ(again->SinkGiven, static_cast<IInternetProtocolSink*>(FSink.Get()));
}

}  // namespace
}  // namespace tarvik
