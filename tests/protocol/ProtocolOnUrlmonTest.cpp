// The monitors on the platform's real URL moniker library: the runtime is
// registered as the http namespace handler and a loopback server serves.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "framework/Trace.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/Deflate.h"
#include "support/TraceRecorder.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/UrlFetch.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

// What the real handler reported through each wrapper, read back from the
// wrappers' own trace lines: the last content type and cache file per URL.
struct HandlerReports {
  std::map<std::string, std::string> ContentType;
  std::map<std::string, std::string> CacheFile;
};

HandlerReports ReportsFromTrace(const test::TraceRecorder& trace) {
  HandlerReports reports;
  std::map<int, std::string> wrapperUrl;
  for (const test::TraceLine& line : trace.Lines()) {
    int sid = 0, count = 0, refs = 0;
    if (std::sscanf(line.Source.c_str(), "IPSink[%d/%d].Enter (RefCount=%d)", &sid, &count, &refs) != 3) continue;
    const std::string& m = line.Message;
    const size_t urlAt = m.find(", URL=");
    if (m.rfind("Constructor (", 0) == 0 && urlAt != std::string::npos) {
      wrapperUrl[sid] = m.substr(urlAt + 6, m.size() - urlAt - 7);
    } else if (m.rfind("ReportProgress (StatusCode=13, StatusText=", 0) == 0) {
      reports.ContentType[wrapperUrl[sid]] = m.substr(42, m.size() - 43);
    } else if (m.rfind("ReportProgress (StatusCode=14, StatusText=", 0) == 0) {
      reports.CacheFile[wrapperUrl[sid]] = m.substr(42, m.size() - 43);
    }
  }
  return reports;
}

class ProtocolOnUrlmon : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(FCom.Result()));
    ASSERT_TRUE(FServer.Running());
    FMonitersBefore = MoniterCount();
    FSinksBefore = IPSinkCount();
    LibraryLoad();
    FRuntime = CreateRuntime(APPMoniters());
    ASSERT_TRUE(FRuntime->NameSpacesRegistered());
  }
  void TearDown() override {
    LibraryUnload();
    FServer.Stop();
    EXPECT_EQ(MoniterCount(), FMonitersBefore);
    EXPECT_EQ(IPSinkCount(), FSinksBefore);
  }

  // Download "Start" items of the timeline for a URL.
  std::vector<TTarvikTimelineItem> DownloadsOf(const std::string& url) {
    std::vector<TTarvikTimelineItem> found;
    for (const TTarvikTimelineItem& item : FRuntime->Timeline().Snapshot())
      if (item.Category == CategoryDownload && item.Event == EventStart && item.Value == url) found.push_back(item);
    return found;
  }

  // The checks every complete transfer must pass.
  void ExpectCaptured(const std::string& path, const std::string& served, const HandlerReports& reports) {
    SCOPED_TRACE(path);
    const std::string url = FServer.Url(path);
    ASSERT_TRUE(TarvikDataBuffer->Exists(url));
    const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(url)->Read();
    EXPECT_EQ(record.Content->size(), served.size());
    EXPECT_TRUE(*record.Content == served);
    EXPECT_EQ(record.ReadLength, static_cast<int32_t>(served.size()));
    auto type = reports.ContentType.find(url);
    ASSERT_NE(type, reports.ContentType.end());
    EXPECT_EQ(record.ContentType, type->second);
    auto file = reports.CacheFile.find(url);
    if (file != reports.CacheFile.end()) {
      EXPECT_EQ(record.LocalFilename, file->second);
      if (!record.LocalFilename.empty() && test::FileExists(record.LocalFilename)) {
        EXPECT_TRUE(test::ReadWholeFile(record.LocalFilename) == served);
      }
    } else {
      EXPECT_EQ(record.LocalFilename, "");
    }
  }

  // Eight threads fetch at once (with budget, the process's memory budget).
  void FetchAtOnce(uint64_t budget);

  ScopedComInit FCom;
  test::LoopbackHttpServer FServer;
  ComPtr<TTarvikRuntime> FRuntime;
  LONG FMonitersBefore = 0;
  LONG FSinksBefore = 0;
};

TEST_F(ProtocolOnUrlmon, EveryKindOfResponseIsCapturedAsServed) {
  test::TraceRecorder trace;
  const std::string token = std::to_string(::GetTickCount());  // fresh URLs: no cache hit from an earlier run
  std::string png = "\x89PNG\r\n\x1a\n" + Pattern(3000, 1);
  const std::string zeros = std::string("\0\0\0abc\0", 7) + std::string(5000, '\0');
  const std::map<std::string, std::pair<std::string, std::string>> plain = {
      {"/page" + token + ".html",
       {"text/html", "<html><head><link rel=stylesheet href=s.css></head><body>hi</body></html>"}},
      {"/style" + token + ".css", {"text/css", "body { color: red; }\n"}},
      {"/image" + token + ".png", {"image/png", png}},
      {"/zeros" + token + ".bin", {"application/octet-stream", zeros}},
      {"/empty" + token + ".txt", {"text/plain", ""}},
  };
  for (const auto& [path, served] : plain) FServer.Serve(path, served.first, served.second);

  test::HttpResponse chunked;
  chunked.Headers.emplace_back("Content-Type", "text/plain");
  chunked.Body = Pattern(100000, 2);
  chunked.Chunked = true;
  chunked.ChunkSize = 1500;
  FServer.Route("/chunked" + token, chunked);

  const std::string target = "/target" + token + ".html";
  FServer.Serve(target, "text/html", "<html>moved here</html>");
  test::HttpResponse redirect;
  redirect.Status = 302;
  redirect.Reason = "Found";
  redirect.Headers.emplace_back("Location", FServer.Url(target));
  redirect.Headers.emplace_back("Content-Type", "text/html");
  FServer.Route("/redirect" + token, redirect);

  test::HttpResponse missing;
  missing.Status = 404;
  missing.Reason = "Not Found";
  missing.Headers.emplace_back("Content-Type", "text/html");
  missing.Body = "<html>no such page</html>";
  FServer.Route("/missing" + token, missing);

  for (const auto& [path, served] : plain) {
    const test::FetchResult fetched = test::FetchUrl(FServer.UrlW(path));
    EXPECT_EQ(fetched.Result, S_OK) << path;
    EXPECT_TRUE(fetched.Body == served.second) << path;
  }
  const test::FetchResult fetchedChunked = test::FetchUrl(FServer.UrlW("/chunked" + token));
  EXPECT_EQ(fetchedChunked.Result, S_OK);
  EXPECT_TRUE(fetchedChunked.Body == chunked.Body);
  const test::FetchResult fetchedRedirect = test::FetchUrl(FServer.UrlW("/redirect" + token));
  EXPECT_EQ(fetchedRedirect.Body, "<html>moved here</html>");
  const test::FetchResult fetchedMissing = test::FetchUrl(FServer.UrlW("/missing" + token));

  const HandlerReports reports = ReportsFromTrace(trace);
  for (const auto& [path, served] : plain) {
    ExpectCaptured(path, served.second, reports);
    EXPECT_EQ(TarvikDataBuffer->GetURLContent(FServer.Url(path))->ContentType(), served.first);
  }
  ExpectCaptured("/chunked" + token, chunked.Body, reports);
  // A redirect keeps the key the request started with.
  ExpectCaptured("/redirect" + token, "<html>moved here</html>", reports);
  // The platform hands the error page over like any body.
  EXPECT_EQ(fetchedMissing.Body, missing.Body);
  ExpectCaptured("/missing" + token, missing.Body, reports);

  // One download item per request, from this thread.
  std::vector<std::string> requested;
  for (const auto& entry : plain) requested.push_back(entry.first);
  for (const std::string& path : {"/chunked" + token, "/redirect" + token, "/missing" + token})
    requested.push_back(path);
  for (const std::string& path : requested) {
    const auto items = DownloadsOf(FServer.Url(path));
    ASSERT_EQ(items.size(), 1u) << path;
    EXPECT_EQ(items[0].TID, static_cast<int32_t>(::GetCurrentThreadId()));
    EXPECT_EQ(items[0].OID, 0u);
  }
}

TEST_F(ProtocolOnUrlmon, ACutTransferStoresNoBytes) {
  test::HttpResponse cut;
  cut.Headers.emplace_back("Content-Type", "application/octet-stream");
  cut.Body = Pattern(200000, 3);
  cut.CutAfter = 7000;
  const std::string path = "/cut" + std::to_string(::GetTickCount());
  FServer.Route(path, cut);
  // The platform ends the cut transfer like a complete one.
  const test::FetchResult fetched = test::FetchUrl(FServer.UrlW(path));
  EXPECT_EQ(fetched.Body.size(), 7000u);
  const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(FServer.Url(path))->Read();
  EXPECT_EQ(record.ReadLength, 0);
  EXPECT_TRUE(record.Content->empty());
  EXPECT_EQ(DownloadsOf(FServer.Url(path)).size(), 1u);
}

// Wrappers made for a URL, read from their constructor trace lines.
int WrappersFor(const test::TraceRecorder& trace, const std::string& url) {
  int count = 0;
  for (const test::TraceLine& line : trace.Lines())
    if (line.Source.rfind("IPSink[", 0) == 0 && line.Message.rfind("Constructor (", 0) == 0 &&
        line.Message.find(", URL=" + url + ")") != std::string::npos)
      ++count;
  return count;
}

// A later request of a stored URL is not wrapped; its cut transfer must not
// replace the complete bytes captured earlier.
TEST_F(ProtocolOnUrlmon, ACutLaterTransferKeepsTheCompleteCapture) {
  test::TraceRecorder trace;
  const std::string path = "/again" + std::to_string(::GetTickCount());
  test::HttpResponse response;
  response.Headers.emplace_back("Content-Type", "application/octet-stream");
  response.Headers.emplace_back("Cache-Control", "no-store");  // both fetches reach the server
  response.Body = Pattern(60000, 5);
  FServer.Route(path, response);
  ASSERT_TRUE(test::FetchUrl(FServer.UrlW(path)).Body == response.Body);
  ASSERT_TRUE(*TarvikDataBuffer->GetURLContent(FServer.Url(path))->Content() == response.Body);

  response.CutAfter = 9000;
  FServer.Route(path, response);
  EXPECT_EQ(test::FetchUrl(FServer.UrlW(path)).Body.size(), 9000u);
  EXPECT_EQ(FServer.RequestCount(path), 2);
  EXPECT_EQ(WrappersFor(trace, FServer.Url(path)), 1);  // the second went to the browser's sink
  const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(FServer.Url(path))->Read();
  EXPECT_EQ(record.ReadLength, 60000);
  EXPECT_TRUE(*record.Content == response.Body);
  bool incomplete = false;
  for (const test::TraceLine& line : trace.Lines())
    incomplete |= line.Source.find("].Read.Incomplete") != std::string::npos &&
                  line.Message == "ReadLength=9000; ProgressMax=60000";
  EXPECT_TRUE(incomplete);
}

// Bodies sent compressed reach the browser decoded; that is what is stored,
// on the first (wrapped) request and on a later one, and neither is taken
// for a cut transfer because the length on the wire was the encoded one.
TEST_F(ProtocolOnUrlmon, CompressedBodiesAreStoredAsTheBrowserReadThem) {
  std::string text;
  for (int i = 0; i < 4000; ++i)
    text += "<p>paragraph " + std::to_string(i % 41) + " of a page that compresses well</p>\n";
  const std::string random = Pattern(70000, 6);
  ASSERT_LT(test::Gzip(text).size(), text.size() / 10);
  ASSERT_GT(test::Gzip(random).size(), random.size());
  ASSERT_GT(test::Deflate(random).size(), random.size());
  const std::string token = std::to_string(::GetTickCount());
  struct Case {
    std::string Path;
    const char* Encoding;
    std::string Body;
  };
  const Case cases[] = {{"/gzip-text" + token, "gzip", text},
                        {"/gzip-random" + token, "gzip", random},
                        {"/deflate-text" + token, "deflate", text},
                        {"/deflate-random" + token, "deflate", random}};
  for (const Case& c : cases) {
    test::HttpResponse response;
    response.Headers.emplace_back("Content-Type", "text/html");
    response.Headers.emplace_back("Content-Encoding", c.Encoding);
    response.Headers.emplace_back("Cache-Control", "no-store");
    response.Body = std::string(c.Encoding) == "gzip" ? test::Gzip(c.Body) : test::Deflate(c.Body);
    FServer.Route(c.Path, response);
  }
  for (int round = 1; round <= 2; ++round) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.Path + " fetch " + std::to_string(round));
      const test::FetchResult fetched = test::FetchUrl(FServer.UrlW(c.Path));
      EXPECT_EQ(fetched.Result, S_OK);
      EXPECT_TRUE(fetched.Body == c.Body);
      EXPECT_EQ(FServer.RequestCount(c.Path), round);
      const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(FServer.Url(c.Path))->Read();
      EXPECT_EQ(record.ReadLength, static_cast<int32_t>(c.Body.size()));
      EXPECT_TRUE(*record.Content == c.Body);
      EXPECT_EQ(record.ContentType, "text/html");
    }
  }
}

TEST_F(ProtocolOnUrlmon, A64MiBBodyIsCapturedWhole) {
  test::HttpResponse big;
  big.Headers.emplace_back("Content-Type", "application/octet-stream");
  big.SharedBody = std::make_shared<const std::string>(Pattern(64u << 20, 4));
  const std::string path = "/big" + std::to_string(::GetTickCount());
  FServer.Route(path, big);
  const test::FetchResult fetched = test::FetchUrl(FServer.UrlW(path));
  EXPECT_EQ(fetched.Result, S_OK);
  EXPECT_EQ(fetched.Body.size(), big.SharedBody->size());
  const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(FServer.Url(path))->Read();
  EXPECT_EQ(record.ReadLength, static_cast<int32_t>(big.SharedBody->size()));
  EXPECT_TRUE(*record.Content == *big.SharedBody);
  // Past the memory budget: held in the temporary file, not in memory.
  EXPECT_TRUE(record.Content->Spilled());
  EXPECT_LE(ProcessSpillArea()->Charged(), ProcessSpillArea()->Budget());
}

TEST_F(ProtocolOnUrlmon, EightThreadsFetchingAtOnceAreAllCapturedAndFreed) { FetchAtOnce(0); }

// The same with a tiny budget: the captures spill under load.
TEST_F(ProtocolOnUrlmon, EightThreadsFetchingAtOnceWithATinyBudgetSpillByteExact) { FetchAtOnce(64 << 10); }

void ProtocolOnUrlmon::FetchAtOnce(uint64_t budget) {
  std::shared_ptr<TSpillArea> previous;
  if (budget) previous = SetProcessSpillArea(std::make_shared<TSpillArea>(TSpillArea::TOptions{budget, {}}));
  constexpr int Threads = 8;
  constexpr int PerThread = 50;
  const std::string token = std::to_string(::GetTickCount());
  std::vector<std::string> bodies;
  for (int i = 0; i < Threads * PerThread; ++i) {
    bodies.push_back(Pattern(1000 + (i * 7919) % 40000, 100 + i));
    FServer.Serve("/load" + token + "/" + std::to_string(i), "application/octet-stream", bodies.back());
  }
  std::atomic<int> failures{0};
  std::vector<DWORD> threadIds(Threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t)
    threads.emplace_back([&, t] {
      ScopedComInit com;
      threadIds[t] = ::GetCurrentThreadId();
      for (int k = 0; k < PerThread; ++k) {
        const int i = t * PerThread + k;
        const test::FetchResult fetched = test::FetchUrl(FServer.UrlW("/load" + token + "/" + std::to_string(i)));
        if (fetched.Result != S_OK || fetched.Body != bodies[i]) ++failures;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  int spilled = 0;
  for (int i = 0; i < Threads * PerThread; ++i) {
    const std::string url = FServer.Url("/load" + token + "/" + std::to_string(i));
    const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(url)->Read();
    ASSERT_TRUE(*record.Content == bodies[i]) << url;
    spilled += record.Content->Spilled();
    const auto items = DownloadsOf(url);
    ASSERT_EQ(items.size(), 1u) << url;
    EXPECT_EQ(items[0].TID, static_cast<int32_t>(threadIds[i / PerThread])) << url;
  }
  if (budget) {
    EXPECT_GT(spilled, Threads * PerThread / 2);
    EXPECT_LE(ProcessSpillArea()->Charged(), budget);
    SetProcessSpillArea(previous);
  }
}

// A long session through the real handler, as a media player fetches: far
// more than the quota streams through the monitor, the temporary file stays
// under it (records no page needs are let go and forgotten), and the last
// body is whole.
TEST_F(ProtocolOnUrlmon, ALongSessionStaysUnderTheQuotaAndKeepsTheLastBodyWhole) {
  TSpillArea::TOptions options{64 << 10, {}};
  options.Quota = 16 << 20;
  const auto previous = SetProcessSpillArea(std::make_shared<TSpillArea>(options));
  const std::string token = std::to_string(::GetTickCount());
  const std::string body = Pattern(1 << 20, 9);
  uint64_t largest = 0;
  std::string last;
  for (int i = 0; i < 64; ++i) {
    std::string bytes = body;
    bytes[0] = static_cast<char>(i);
    last = "/media" + token + "/" + std::to_string(i);
    FServer.Serve(last, "video/mp4", bytes);
    const test::FetchResult fetched = test::FetchUrl(FServer.UrlW(last));
    ASSERT_EQ(fetched.Body, bytes) << i;
    largest = std::max(largest, ProcessSpillArea()->DiskBytes());
  }
  EXPECT_LE(largest, options.Quota);
  std::string expected = body;
  expected[0] = static_cast<char>(63);
  EXPECT_TRUE(*TarvikDataBuffer->GetURLContent(FServer.Url(last))->Content() == expected);
  // What was let go is forgotten too, so the store does not grow with the session.
  int forgotten = 0;
  for (int i = 0; i < 64; ++i)
    forgotten += !TarvikDataBuffer->Exists(FServer.Url("/media" + token + "/" + std::to_string(i)));
  EXPECT_GT(forgotten, 32);
  SetProcessSpillArea(previous);
}

TEST_F(ProtocolOnUrlmon, LongAndBrokenUrlsPassThroughWithoutHarm) {
  const std::string token = std::to_string(::GetTickCount());
  FServer.Serve("/ok" + token, "text/plain", "still fine");
  std::wstring longUrl = FServer.UrlW("/long" + token + "?");
  longUrl.append(64 * 1024, L'q');
  std::wstring broken = FServer.UrlW("/broken" + token + "?") + L"\xD800x\xDFFF";
  const test::FetchResult a = test::FetchUrl(longUrl);
  const test::FetchResult b = test::FetchUrl(broken);
  EXPECT_EQ(a.Body, "not found");
  // Each request was recorded under the key its monitor got, with the bytes served.
  for (const std::string& prefix : {FServer.Url("/long" + token + "?"), FServer.Url("/broken" + token + "?")}) {
    int found = 0;
    for (const TTarvikTimelineItem& item : FRuntime->Timeline().Snapshot()) {
      if (item.Value.rfind(prefix, 0) != 0) continue;
      ++found;
      const TURLContent::Snapshot record = TarvikDataBuffer->GetURLContent(item.Value)->Read();
      EXPECT_EQ(*record.Content, "not found") << prefix;
      EXPECT_EQ(record.ReadLength, 9);
    }
    EXPECT_EQ(found, 1) << prefix;
  }
  EXPECT_EQ(longUrl.size(), FServer.Url("/long" + token + "?").size() + 64 * 1024);
  const test::FetchResult ok = test::FetchUrl(FServer.UrlW("/ok" + token));
  EXPECT_EQ(ok.Result, S_OK);
  EXPECT_EQ(*TarvikDataBuffer->GetURLContent(FServer.Url("/ok" + token))->Content(), "still fine");
}

}  // namespace
}  // namespace tarvik
