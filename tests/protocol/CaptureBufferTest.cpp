#include "protocol/CaptureBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/TarvikDataBuffer.h"
#include "support/TraceRecorder.h"

namespace tarvik {
namespace {

std::string Pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);  // zeros included
  return bytes;
}

void AppendInPieces(TCaptureBuffer& buffer, const std::string& bytes, size_t piece) {
  for (size_t offset = 0; offset < bytes.size(); offset += piece)
    buffer.Append(bytes.data() + offset, std::min(piece, bytes.size() - offset));
}

TEST(CaptureBuffer, BodiesOfEverySizeComeBackByteExact) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, TCaptureBuffer::PartSize - 1, TCaptureBuffer::PartSize,
                      TCaptureBuffer::PartSize * 3 + 17}) {
    for (size_t piece : {size_t{1} << 13, size_t{3000}}) {
      if (size > 100000 && piece != (size_t{1} << 13)) continue;
      TCaptureBuffer buffer;
      const std::string bytes = Pattern(size, static_cast<unsigned>(size));
      AppendInPieces(buffer, bytes, piece);
      EXPECT_EQ(buffer.Size(), size);
      EXPECT_EQ(buffer.Copy(), bytes);
      TCaptureBuffer::Bytes published = buffer.Publish();
      ASSERT_TRUE(published);
      EXPECT_EQ(*published, bytes) << "size " << size << " piece " << piece;
    }
  }
}

TEST(CaptureBuffer, AnAnnouncedBodyIsPublishedWithoutACopy) {
  const std::string bytes = Pattern(5 * TCaptureBuffer::PartSize + 3, 7);
  TCaptureBuffer buffer;
  buffer.ExpectSize(bytes.size());
  AppendInPieces(buffer, bytes, 8192);
  EXPECT_EQ(buffer.PartCount(), 1u);
  TCaptureBuffer::Bytes published = buffer.Publish();
  EXPECT_EQ(*published, bytes);
  EXPECT_EQ(published->Memory()->capacity(), bytes.size());
}

TEST(CaptureBuffer, AnUnannouncedLargeBodyGrowsInPartsAndIsJoinedOnce) {
  const std::string bytes = Pattern(5 * TCaptureBuffer::PartSize + 3, 8);
  TCaptureBuffer buffer;
  AppendInPieces(buffer, bytes, 8192);
  EXPECT_GE(buffer.PartCount(), 4u);
  TCaptureBuffer::Bytes published = buffer.Publish();
  EXPECT_EQ(buffer.PartCount(), 1u);
  EXPECT_EQ(*published, bytes);
  EXPECT_EQ(published->Memory()->capacity(), bytes.size());
}

TEST(CaptureBuffer, PublishingTwiceSharesOneString) {
  TCaptureBuffer buffer;
  const std::string bytes = Pattern(3 * TCaptureBuffer::PartSize, 1);
  AppendInPieces(buffer, bytes, 8192);
  TCaptureBuffer::Bytes first = buffer.Publish();
  TCaptureBuffer::Bytes second = buffer.Publish();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(*second, bytes);
}

TEST(CaptureBuffer, AppendsAfterPublishingLeaveThePublishedBytesAlone) {
  TCaptureBuffer buffer;
  buffer.Append("abc\0def", 7);
  TCaptureBuffer::Bytes first = buffer.Publish();
  buffer.Append("gh", 2);
  EXPECT_EQ(*first, std::string("abc\0def", 7));
  TCaptureBuffer::Bytes second = buffer.Publish();
  EXPECT_EQ(*second, std::string("abc\0defgh", 9));
  EXPECT_EQ(*first, std::string("abc\0def", 7));
  EXPECT_EQ(buffer.Size(), 9u);
}

TEST(CaptureBuffer, AnAnnouncementTooSmallOrTooLargeStillCapturesEverything) {
  const std::string bytes = Pattern(2 * TCaptureBuffer::PartSize + 5, 3);
  {
    TCaptureBuffer buffer;
    buffer.ExpectSize(100);
    AppendInPieces(buffer, bytes, 4096);
    EXPECT_EQ(*buffer.Publish(), bytes);
  }
  {
    TCaptureBuffer buffer;
    buffer.ExpectSize(bytes.size() * 4);
    AppendInPieces(buffer, bytes, 4096);
    TCaptureBuffer::Bytes published = buffer.Publish();
    EXPECT_EQ(*published, bytes);
    // A body smaller than announced is stored at its own size.
    EXPECT_LT(published->Memory()->capacity(), bytes.size() * 2);
  }
}

std::shared_ptr<TSpillArea> Area(uint64_t budget, std::string folder = std::string());

// A small body in a larger string, grown by itself or announced too large,
// is stored at its own size, and the budget counts only what it still holds:
// capacity given back and still counted would start spilling early.
TEST(CaptureBuffer, ASmallBodyIsStoredAtItsOwnSizeAndChargedForIt) {
  const std::string bytes = Pattern(70000, 9);
  for (uint64_t announced : {uint64_t{0}, uint64_t{1} << 20}) {
    auto area = Area(uint64_t{64} << 20);
    {
      TCaptureBuffer buffer(area);
      if (announced) buffer.ExpectSize(announced);
      AppendInPieces(buffer, bytes, 2048);
      TCaptureBuffer::Bytes published = buffer.Publish();
      EXPECT_EQ(*published, bytes);
      const size_t capacity = published->Memory()->capacity();
      EXPECT_LE(capacity, bytes.size() + bytes.size() / 8 + 64) << announced;
      EXPECT_EQ(area->Charged(), capacity) << announced;
    }
    EXPECT_EQ(area->Charged(), 0u) << announced;
  }
}

TEST(CaptureBuffer, NothingAppendedPublishesAnEmptyString) {
  TCaptureBuffer buffer;
  TCaptureBuffer::Bytes published = buffer.Publish();
  ASSERT_TRUE(published);
  EXPECT_TRUE(published->empty());
  buffer.Append("x", 0);
  EXPECT_EQ(buffer.Size(), 0u);
}

// The end of the data decides on the length the response itself gave when
// the handler can tell it, else on what a wrapped sink announced.
TEST(RequestCapture, TheEndStoresOnlyABodyAsLongAsTheResponseSaid) {
  struct Case {
    const char* Name;
    size_t AnnouncedBySink;
    TRequestCapture::TLength Response;
    bool Stored;
  };
  const Case cases[] = {
      {"length given and met", 0, {true, 5}, true},
      {"length given and missed (unwrapped: nothing announced)", 0, {true, 9}, false},
      {"length given and missed (wrapped)", 9, {true, 9}, false},
      {"no length (chunked or encoded) beats a sink's announcement", 9, {true, 0}, true},
      {"handler cannot tell: the sink's announcement counts", 9, {}, false},
      {"handler cannot tell, nothing announced", 0, {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TRequestCapture capture(1);
    capture.Begin("http://h/x");
    if (c.AnnouncedBySink) capture.Announce(c.AnnouncedBySink);
    capture.Append("ab", 2);
    capture.Append("cde", 3);
    EXPECT_FALSE(capture.Finished());
    const TRequestCapture::TEnd end = capture.End(c.Response);
    EXPECT_TRUE(capture.Finished());
    EXPECT_EQ(end.URL, "http://h/x");
    EXPECT_EQ(end.ReadLength, 5);
    EXPECT_EQ(end.Cut, !c.Stored);
    ASSERT_EQ(static_cast<bool>(end.Body), c.Stored);
    if (end.Body) {
      EXPECT_EQ(*end.Body, "abcde");
    }
  }
}

TEST(RequestCapture, ASecondStartForgetsTheAnnouncementButKeepsTheBytes) {
  TRequestCapture capture(1);
  capture.Begin("http://h/a");
  capture.Announce(100);
  capture.Append("xy", 2);
  capture.Begin("http://h/b");
  const TRequestCapture::TEnd end = capture.End({});
  EXPECT_EQ(end.URL, "http://h/b");
  ASSERT_TRUE(end.Body);
  EXPECT_EQ(*end.Body, "xy");
}

// ---------------------------------------------------------------- past the budget

std::shared_ptr<TSpillArea> Area(uint64_t budget, std::string folder) {
  return std::make_shared<TSpillArea>(TSpillArea::TOptions{budget, std::move(folder)});
}

bool Traced(const test::TraceRecorder& trace, const std::string& start) {
  for (const test::TraceLine& line : trace.Lines())
    if (line.Message.rfind(start, 0) == 0) return true;
  return false;
}

// What fits stays in memory; the rest goes to the file, whether announced or
// not, and every body comes back byte-exact. No more than the budget is ever
// held, and it all comes back when the bytes go.
TEST(CaptureBuffer, PastTheBudgetBodiesGoToTheFileAndComeBackByteExact) {
  for (const bool behind : {true, false}) {
    SCOPED_TRACE(behind ? "written behind" : "written at once");
    TSpillArea::TOptions options{512 << 10, {}};
    options.WriteBehind = behind;
    const auto area = std::make_shared<TSpillArea>(options);
    struct Case {
      size_t Size;
      bool Announced;
      bool Spilled;
    };
    std::vector<TCaptureBuffer::Bytes> kept;
    for (const Case c : {Case{0, false, false}, Case{100000, true, false}, Case{100000, false, false},
                         Case{400000, true, true}, Case{3 * TCaptureBuffer::PartSize + 17, false, true},
                         Case{3 * TCaptureBuffer::PartSize + 17, true, true}, Case{1, false, false}}) {
      SCOPED_TRACE(std::to_string(c.Size) + (c.Announced ? " announced" : ""));
      TCaptureBuffer buffer(area);
      if (c.Announced) buffer.ExpectSize(c.Size);
      const std::string bytes = Pattern(c.Size, static_cast<unsigned>(c.Size));
      for (size_t at = 0; at < bytes.size(); at += 3000) {
        buffer.Append(bytes.data() + at, std::min<size_t>(3000, bytes.size() - at));
        ASSERT_LE(area->Charged(), area->Budget());
      }
      EXPECT_EQ(buffer.Spilled(), c.Spilled);
      EXPECT_EQ(buffer.Copy(), bytes);
      TCaptureBuffer::Bytes published = buffer.Publish();
      EXPECT_EQ(published->Spilled(), c.Spilled);
      EXPECT_EQ(buffer.Publish().get(), published.get());
      EXPECT_TRUE(*published == bytes);
      kept.push_back(published);
      // Every body is held until now, and memory only under the budget.
      EXPECT_LE(area->Charged(), area->Budget());
      if (c.Spilled) {
        EXPECT_EQ(buffer.PartCount(), 0u);
        buffer.Append("tail", 4);
        EXPECT_TRUE(*published == bytes);
        EXPECT_TRUE(*buffer.Publish() == bytes + "tail");
      }
    }
    EXPECT_GT(area->Charged(), 0u);
    kept.clear();
    EXPECT_EQ(area->Charged(), 0u);
  }
}

// A spilling transfer's stage counts against the budget while it spills and
// goes when the transfer ends, though the buffer lives on with its monitor:
// hundreds of ended transfers hold nothing. With no room for a stage at all,
// bytes still reach the file whole.
TEST(CaptureBuffer, TheSpillStageIsChargedWhileItIsHeldAndGoesWhenTheTransferEnds) {
  for (const uint64_t budget : {uint64_t{256} << 10, uint64_t{1} << 10}) {
    SCOPED_TRACE(budget);
    const auto area = Area(budget);
    std::vector<std::unique_ptr<TCaptureBuffer>> ended;
    std::vector<TCaptureBuffer::Bytes> kept;
    for (unsigned t = 0; t < 20; ++t) {
      auto buffer = std::make_unique<TCaptureBuffer>(area);
      const std::string bytes = Pattern(300000 + t, t);
      bool stageCounted = false;
      for (size_t at = 0; at < bytes.size(); at += 3000) {
        buffer->Append(bytes.data() + at, std::min<size_t>(3000, bytes.size() - at));
        ASSERT_LE(area->Charged(), area->Budget());
        stageCounted = stageCounted || (buffer->Spilled() && area->Charged() >= TCaptureBuffer::SpillChunk);
      }
      EXPECT_EQ(stageCounted, budget >= TCaptureBuffer::SpillChunk);
      kept.push_back(buffer->Publish());
      EXPECT_TRUE(*kept.back() == bytes);
      ended.push_back(std::move(buffer));
      EXPECT_EQ(area->Charged(), 0u);
    }
  }
}

// A capture whose bytes fit nowhere is dropped with a trace line; the
// browser's read is not affected (Append never throws) and nothing with a
// hole in it is stored.
TEST(RequestCapture, AFailingTemporaryFileDropsTheCaptureWithATraceLine) {
  test::TraceRecorder trace;
  TRequestCapture capture(7, Area(4096, "/nonexistent/tarvik"));
  capture.Begin("http://h/big");
  const std::string bytes = Pattern(20000, 5);
  for (size_t at = 0; at < bytes.size(); at += 1000) capture.Append(bytes.data() + at, 1000);
  const TRequestCapture::TEnd end = capture.End({});
  EXPECT_FALSE(end.Body);
  EXPECT_TRUE(end.NotKept);  // the save will name it
  EXPECT_EQ(end.ReadLength, 20000);
  EXPECT_TRUE(Traced(trace, "Capture dropped (temporary file not written): SID=7; URL=http://h/big"));
  EXPECT_TRUE(Traced(trace, "Temporary file not made in /nonexistent/tarvik"));
}

// A body a 32-bit length cannot state is not kept: announced, nothing of it
// reaches the file at all.
TEST(RequestCapture, ABodyAnnouncedOver4GiBIsDroppedBeforeAnyByteIsKept) {
  test::TraceRecorder trace;
  const auto area = Area(0);
  TRequestCapture capture(3, area);
  capture.Begin("http://h/huge");
  capture.Announce(TSpillArea::CaptureLimit + 1);
  capture.Append("abc", 3);
  EXPECT_FALSE(capture.End({}).Body);
  EXPECT_EQ(area->Written(), 0u);
  EXPECT_EQ(area->Charged(), 0u);
  EXPECT_TRUE(Traced(trace, "Capture dropped (larger than 4 GiB): SID=3"));
}

#if !defined(_WIN32) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
// Streamed without an announcement: dropped at the byte past the limit.
std::unique_ptr<TSpillFile> DiscardingFile(const std::string&, std::string&) noexcept {
  struct TDiscard final : TSpillFile {
    bool WriteAt(uint64_t, const void*, size_t) noexcept override { return true; }
    bool ReadAt(uint64_t, void*, size_t) noexcept override { return false; }
    std::string Path() const override { return "discard"; }
  };
  return std::make_unique<TDiscard>();
}

TEST(RequestCapture, ABodyStreamedPast4GiBIsDropped) {
  test::TraceRecorder trace;
  TSpillArea::TOptions options{0, "discard"};
  options.OpenFile = DiscardingFile;
  options.Quota = uint64_t{8} << 30;  // a file that keeps nothing: the limit, not the quota, ends it
  TRequestCapture capture(4, std::make_shared<TSpillArea>(options));
  capture.Begin("http://h/endless");
  const std::string piece(1 << 20, 'z');
  for (uint64_t sent = 0; sent <= TSpillArea::CaptureLimit; sent += piece.size())
    capture.Append(piece.data(), piece.size());
  EXPECT_FALSE(capture.End({}).Body);
  EXPECT_TRUE(Traced(trace, "Capture dropped (larger than 4 GiB): SID=4"));
}
#endif

// A file in memory whose writes wait at a gate until it opens, and then
// succeed or fail as told; one write may be let through the shut gate to fail.
struct TGate {
  std::mutex Lock;
  std::condition_variable Opened;
  bool Open = false;
  bool Fail = false;
  bool FailOne = false;
  std::string Bytes;
  std::thread::id Writer;
  void Let(bool fail) {
    std::lock_guard<std::mutex> guard(Lock);
    Open = true;
    Fail = fail;
    Opened.notify_all();
  }
  void LetOneFail() {
    std::lock_guard<std::mutex> guard(Lock);
    FailOne = true;
    Opened.notify_all();
  }
};
TGate* Gate = nullptr;

class TGatedFile final : public TSpillFile {
 public:
  bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept override {
    std::unique_lock<std::mutex> guard(Gate->Lock);
    Gate->Opened.wait(guard, [] { return Gate->Open || Gate->FailOne; });
    Gate->Writer = std::this_thread::get_id();
    if (!Gate->Open) {
      Gate->FailOne = false;
      return false;
    }
    if (Gate->Fail) return false;
    if (Gate->Bytes.size() < offset + size) Gate->Bytes.resize(static_cast<size_t>(offset + size));
    Gate->Bytes.replace(static_cast<size_t>(offset), size, static_cast<const char*>(data), size);
    return true;
  }
  bool ReadAt(uint64_t offset, void* data, size_t size) noexcept override {
    std::lock_guard<std::mutex> guard(Gate->Lock);
    if (Gate->Bytes.size() < offset + size) return false;
    Gate->Bytes.copy(static_cast<char*>(data), size, static_cast<size_t>(offset));
    return true;
  }
  std::string Path() const override { return "gated"; }
};

std::unique_ptr<TSpillFile> OpenGated(const std::string&, std::string&) noexcept {
  return std::make_unique<TGatedFile>();
}

// A transfer that spills hands full stages to the area's writer thread and
// reads on while they are written: it waits only with StagesBehind stages on
// their way (DeepStagesBehind while half the stage reserve is free), and the
// end waits for every one. A write that fails there drops
// the capture, named as not kept, and its memory is given back: when the
// first of the stages on their way fails, the capture is dropped at the next
// hand-over, which still waits for the others.
TEST(RequestCapture, SpilledStagesAreWrittenBehindTheReadsAndTheEndWaitsForThem) {
  enum TMode { Succeed, FailAll, FailFirstHoldRest };
  // A reserve of 8 stages is at least half free for no more than 4 on their
  // way; one of 128 stages lets the deep queue fill.
  const struct {
    uint64_t Budget;
    size_t Behind;
  } budgets[] = {{uint64_t{4} << 20, TCaptureBuffer::StagesBehind},
                 {uint64_t{64} << 20, TCaptureBuffer::DeepStagesBehind}};
  for (const auto& row : budgets)
    for (const TMode mode : {Succeed, FailAll, FailFirstHoldRest}) {
      const uint64_t budget = row.Budget;
      const size_t behind = row.Behind;
      SCOPED_TRACE(testing::Message() << mode << " budget " << budget);
      test::TraceRecorder trace;
      TGate gate;
      Gate = &gate;
      TSpillArea::TOptions options{budget, {}};
      options.OpenFile = OpenGated;
      const auto area = std::make_shared<TSpillArea>(options);
      TBudgetCharge memoryFull(area);  // what the store holds: every new body spills
      const uint64_t held = area->Budget() - area->StageReserve();
      ASSERT_TRUE(memoryFull.Add(held));
      const size_t stages = behind + 2;
      const std::string bytes = Pattern(stages * TCaptureBuffer::SpillChunk, 9);
      TRequestCapture capture(3, area);
      capture.Begin("http://h/behind");
      std::atomic<size_t> appended{0};
      std::atomic<bool> readsDone{false};
      std::thread reads([&] {
        for (size_t at = 0; at < bytes.size(); at += TCaptureBuffer::SpillChunk) {
          capture.Append(bytes.data() + at, TCaptureBuffer::SpillChunk);
          ++appended;
        }
        readsDone = true;
      });
      // With the gate shut, as many stages as may be behind are handed over;
      // the next hand-over waits.
      auto waitFor = [](const std::function<bool()>& done, int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done() && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      };
      waitFor([&] { return appended >= behind; }, 20000);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(appended.load(), behind);
      EXPECT_LE(area->Charged(), area->Budget());
      if (mode == FailFirstHoldRest) {
        gate.LetOneFail();
        // The dropped capture may not be gone before the stages still on
        // their way have given their memory back.
        waitFor([&] { return readsDone.load(); }, 300);
        if (readsDone) {
          EXPECT_EQ(area->Charged(), held);
        }
      }
      gate.Let(mode == FailAll);
      reads.join();
      const TRequestCapture::TEnd end = capture.End({});
      {
        std::lock_guard<std::mutex> guard(gate.Lock);
        EXPECT_NE(gate.Writer, std::this_thread::get_id());
      }
      if (mode != Succeed) {
        EXPECT_FALSE(end.Body);
        EXPECT_TRUE(end.NotKept);
        EXPECT_TRUE(Traced(trace, "Temporary file not written: 65536 bytes at 0"));
        EXPECT_TRUE(Traced(trace, "Capture dropped (temporary file not written): SID=3"));
      } else {
        ASSERT_TRUE(end.Body);
        EXPECT_TRUE(*end.Body == bytes);
      }
      EXPECT_EQ(area->Charged(), held);
      memoryFull.Clear();
      EXPECT_EQ(area->Charged(), 0u);
    }
  Gate = nullptr;
}

// Captures of 8 threads at once, 30 each, of bodies LoadBody(i) (every other
// one announced); ended(i, end) runs on the capturing thread.
constexpr int LoadThreads = 8;
constexpr int LoadPerThread = 30;
std::string LoadBody(int i) { return Pattern(1000 + static_cast<size_t>(i * 7919) % 150000, static_cast<unsigned>(i)); }

void CaptureAtOnce(const std::shared_ptr<TSpillArea>& area,
                   const std::function<void(int, const TRequestCapture::TEnd&)>& ended) {
  std::vector<std::thread> threads;
  for (int t = 0; t < LoadThreads; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < LoadPerThread; ++k) {
        const int i = t * LoadPerThread + k;
        const std::string bytes = LoadBody(i);
        TRequestCapture capture(i, area);
        capture.Begin("http://h/" + std::to_string(i));
        if (i % 2) capture.Announce(bytes.size());
        for (size_t at = 0; at < bytes.size(); at += 4096)
          capture.Append(bytes.data() + at, std::min<size_t>(4096, bytes.size() - at));
        ended(i, capture.End({}));
      }
    });
  for (std::thread& thread : threads) thread.join();
}

// Many captures at once with a tiny budget: every one spills under load, and
// every stored body is byte-exact.
// A budget of 64 KiB leaves no room for a stage (bytes go to the file in
// slices, at once); 1 MiB leaves two (stages are written behind the reads).
TEST(RequestCaptureLoad, ManyThreadsCapturingWithATinyBudgetStayByteExact) {
  for (const uint64_t budget : {uint64_t{64} << 10, uint64_t{1} << 20}) {
    SCOPED_TRACE(budget);
    const auto area = Area(budget);
    TTarvikDataBuffer store;
    std::atomic<int> missing{0};
    CaptureAtOnce(area, [&](int, const TRequestCapture::TEnd& end) {
      if (!end.Body)
        ++missing;
      else
        store.GetURLContent(end.URL)->SetContent(end.Body, end.ReadLength);
      if (area->Charged() > area->Budget()) ++missing;
    });
    EXPECT_EQ(missing.load(), 0);
    int spilled = 0;
    for (int i = 0; i < LoadThreads * LoadPerThread; ++i) {
      const TURLContent::Snapshot record = store.GetURLContent("http://h/" + std::to_string(i))->Read();
      ASSERT_TRUE(*record.Content == LoadBody(i)) << i;
      spilled += record.Content->Spilled();
    }
    EXPECT_GT(spilled, LoadThreads * LoadPerThread / 2);
  }
}

// The same under a tiny quota as well: the file fills again and again, the
// store lets go of records least recently asked for, and a reader taking
// whole bodies meanwhile (as the composer does) always reads what it took
// whole, from a file that may have moved under it. The files never pass
// the quota, not even while a compaction moves what they hold.
TTarvikDataBuffer* LoadStore = nullptr;
std::atomic<int> LetGoCalls{0};
void LetGoOfAny(uint64_t wanted) {
  ++LetGoCalls;
  LoadStore->LetGo(wanted, nullptr, nullptr);
}

TEST(RequestCaptureLoad, ATinyQuotaLetsGoUnderLoadAndReadersStillReadWhatTheyTook) {
  for (const uint64_t budget : {uint64_t{64} << 10, uint64_t{1} << 20}) {
    SCOPED_TRACE(budget);
    TSpillArea::TOptions options{budget, {}};
    options.Quota = 2 << 20;
    const auto area = std::make_shared<TSpillArea>(options);
    TTarvikDataBuffer store;
    LoadStore = &store;
    LetGoCalls = 0;
    SetSpillLetGo(LetGoOfAny);
    std::atomic<int> torn{0}, kept{0}, readsWhole{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
      for (unsigned n = 0; !done; ++n) {
        const int i = static_cast<int>(n % (LoadThreads * LoadPerThread));
        const TURLContent::Snapshot taken = store.GetURLContent("http://h/" + std::to_string(i))->Read();
        if (taken.Content->empty()) continue;
        std::this_thread::yield();
        if (!(*taken.Content == LoadBody(i))) ++torn;
        ++readsWhole;
      }
    });
    CaptureAtOnce(area, [&](int, const TRequestCapture::TEnd& end) {
      if (end.Body) {
        store.GetURLContent(end.URL)->SetContent(end.Body, end.ReadLength);
        ++kept;
      }
      if (area->DiskBytes() > options.Quota) ++torn;
    });
    done = true;
    reader.join();
    SetSpillLetGo(nullptr);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(LetGoCalls.load(), 0);
    // How many are dropped depends on how the threads meet the full disk:
    // with letting go, 112-239 of 240 were kept over 60 runs; without it,
    // 28-53. A third tells the two apart.
    EXPECT_GT(kept.load(), LoadThreads * LoadPerThread / 3);
    EXPECT_GT(readsWhole.load(), 0);
    int letGo = 0;
    for (int i = 0; i < LoadThreads * LoadPerThread; ++i) {
      const TURLContent::Snapshot record = store.GetURLContent("http://h/" + std::to_string(i))->Read();
      if (record.Content->empty())
        ++letGo;
      else
        EXPECT_TRUE(*record.Content == LoadBody(i)) << i;
    }
    EXPECT_GT(letGo, 0);
    EXPECT_LE(area->DiskBytes(), options.Quota);
  }
}

}  // namespace
}  // namespace tarvik
