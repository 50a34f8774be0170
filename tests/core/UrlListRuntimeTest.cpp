// The URL list through the runtime, with browser windows on real threads and
// the platform's own version deciding whether threads are told apart.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/ClassTarvikRuntime.h"
#include "core/PlatformVersion.h"
#include "framework/Trace.h"

namespace tarvik {
namespace {

using Strings = std::vector<std::string>;

HRESULT NoSession(IInternetSession** session) {
  *session = nullptr;
  return E_FAIL;
}

// Runs the events of one browser window on a thread of its own; returns its id.
template <typename Events>
int32_t OnWindowThread(Events events) {
  int32_t tid = 0;
  std::thread window([&] {
    tid = static_cast<int32_t>(::GetCurrentThreadId());
    events(tid);
  });
  window.join();
  return tid;
}

TEST(RuntimeUrlList, EachWindowGetsItsPageAndWindowsOpenedLaterAreTakenIn) {
  ASSERT_TRUE(IsWindows2000OrLater()) << "the platform's own version decides here";
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSession);
  ITarvikRuntime* api = runtime.Get();
  const UINT_PTR windowA = 0xA0, windowB = 0xB0;
  const int32_t a = OnWindowThread([&](int32_t tid) {
    api->InformEvent(tid, windowA, CategoryMainNavigation, EventStart, "http://a/");
    api->InformEvent(tid, 0, CategoryDownload, EventStart, "http://a/doc");
  });
  const int32_t b = OnWindowThread([&](int32_t tid) {
    api->InformEvent(tid, windowB, CategoryMainNavigation, EventStart, "http://b/");
    api->InformEvent(tid, 0, CategoryDownload, EventStart, "http://b/doc");
    api->InformEvent(tid, 0, CategoryDownload, EventStart, "HTTP://B/doc");  // the same resource
    api->InformEvent(tid, 0, CategoryDownload, EventStart, "http://b/img");
    api->InformEvent(tid, windowB, CategoryMainNavigation, EventFinish, "http://b/final");
  });
  ASSERT_NE(a, b);
  const int32_t mark = NextSID();

  Strings urls = {"stale"}, bases;
  api->GenerateList(b, mark, &urls, &bases);
  EXPECT_EQ(urls, (Strings{"http://b/doc", "http://b/img"}));
  EXPECT_EQ(bases, (Strings{"http://b/final", ""}));

  // Window B's thread showed up after A's, so A's list takes it in.
  urls.clear();
  bases.clear();
  api->GenerateList(a, mark, &urls, &bases);
  EXPECT_EQ(urls, (Strings{"http://a/doc", "http://b/doc", "http://b/img"}));
  EXPECT_EQ(bases, (Strings{"", "http://b/final", ""}));

  // A mark taken before either window navigated finds nothing.
  urls.clear();
  bases = {"kept"};
  api->GenerateList(a, runtime->Timeline().Snapshot().front().SID, &urls, &bases);
  EXPECT_TRUE(urls.empty());
  EXPECT_EQ(bases, Strings{"kept"});
}

// Another thread reports an event while a window's list is being made:
// the walk holds the runtime's lock from its first item to its last, so the
// append (which may move the timeline's storage) waits for the walk to end.
// The walk's own trace lines tell where it is.
class WalkObserver : public TraceSink {
 public:
  std::function<void()> AtBegin;
  std::function<void()> AtEnd;
  void Write(std::string_view, std::string_view message, int32_t, int32_t) override {
    if (message == "Begin traverse event list..." && AtBegin) AtBegin();
    if (message.rfind("URL list generated.", 0) == 0 && AtEnd) AtEnd();
  }
};

TEST(RuntimeUrlList, AnEventReportedDuringTheWalkWaitsForItsEnd) {
  ComPtr<TTarvikRuntime> runtime = TInterfacedObject::Create<TTarvikRuntime>(&NoSession);
  ITarvikRuntime* api = runtime.Get();
  const int32_t window = OnWindowThread([&](int32_t tid) {
    api->InformEvent(tid, 0xA0, CategoryMainNavigation, EventStart, "http://w/");
    api->InformEvent(tid, 0, CategoryDownload, EventStart, "http://w/doc");
  });
  const int32_t mark = NextSID();

  std::atomic<bool> reported{false};
  bool reportedDuringWalk = true;
  std::thread reporter;
  WalkObserver observer;
  observer.AtBegin = [&] {
    reporter = std::thread([&] {
      api->InformEvent(static_cast<int32_t>(::GetCurrentThreadId()), 0, CategoryDownload, EventStart, "http://r/");
      reported = true;
    });
    // Time enough for the report to land if nothing held it off.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  observer.AtEnd = [&] { reportedDuringWalk = reported.load(); };
  // The walk's lines reach the sink through Runtime, as in the browser.
  ComPtr<ITarvikRuntime> published = std::exchange(Runtime, ComPtr<ITarvikRuntime>(api));
  TraceSink* previous = SetTraceSink(&observer);
  Strings urls, bases;
  api->GenerateList(window, mark, &urls, &bases);
  SetTraceSink(previous);
  Runtime = std::move(published);
  if (reporter.joinable()) reporter.join();
  EXPECT_TRUE(reported.load());
  EXPECT_FALSE(reportedDuringWalk);
  EXPECT_EQ(urls, Strings{"http://w/doc"});
}

}  // namespace
}  // namespace tarvik
