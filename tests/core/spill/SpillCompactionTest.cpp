// Compaction and the quota of the spill files, on files kept in memory that
// tell how far each was really written.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/CapturedBytes.h"
#include "core/spill/SpillArea.h"

namespace tarvik {
namespace {

// What the memory files hold: now, at the peak, and in all (every byte
// written); the files opened and closed, and writes that put at one place of one file
// the bytes an earlier write put there (one key and place for both).
struct TMemoryDisk {
  std::mutex Lock;
  uint64_t Now = 0;
  uint64_t Peak = 0;
  uint64_t Total = 0;
  int Opened = 0;
  int Closed = 0;
  int Repeats = 0;
  int OpenFailures = 0;  // opens still to fail
  // Emptying a file waits while the gate is shut; the threads that emptied
  // files.
  bool Shut = false;
  std::condition_variable Gate;
  std::vector<std::thread::id> Emptied;
  std::vector<std::thread::id> Readers;  // of each read: a move's, or a capture read back
  std::string Io;                        // 'W' for each write, 'R' for each read
  bool WritesShut = false;               // writes wait at the gate too
  int Waiting = 0;                       // emptyings waiting at the gate now
  std::string Order;                     // 'W' for each write, 'E' for each file emptied
  // Each write the writer told a file of (TSpillFile::WroteBehind): its
  // thread and size, and whether a capture waited for the writer.
  std::vector<std::pair<std::thread::id, uint64_t>> WrittenBehind;
  std::vector<bool> Waited;
  bool WriteOutDue = false;  // every write told of is due to be written out
  // Write-outs wait at the gate while it is shut; the threads that wrote out.
  bool WriteOutsShut = false;
  std::vector<std::thread::id> WrittenOut;
  bool WritesFail = false;  // every write fails, as on a full disk
};
TMemoryDisk* MemoryDisk = nullptr;

// Reads zeros where nothing was written, as a file whose length was set ahead.
class TMemoryFile final : public TSpillFile {
 public:
  ~TMemoryFile() override {
    std::lock_guard<std::mutex> guard(MemoryDisk->Lock);
    MemoryDisk->Now -= FBytes.size();
    ++MemoryDisk->Closed;
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size) noexcept override {
    std::unique_lock<std::mutex> guard(MemoryDisk->Lock);
    MemoryDisk->Gate.wait_for(guard, std::chrono::seconds(2), [] { return !MemoryDisk->WritesShut; });
    if (MemoryDisk->WritesFail) return false;
    MemoryDisk->Io += 'W';
    MemoryDisk->Order += 'W';
    MemoryDisk->Total += size;
    if (offset + size <= FBytes.size() && std::memcmp(FBytes.data() + offset, data, size) == 0) ++MemoryDisk->Repeats;
    if (offset + size > FBytes.size()) {
      MemoryDisk->Now += offset + size - FBytes.size();
      MemoryDisk->Peak = std::max(MemoryDisk->Peak, MemoryDisk->Now);
      FBytes.resize(static_cast<size_t>(offset + size));
    }
    std::memcpy(FBytes.data() + offset, data, size);
    return true;
  }
  bool ReadAt(uint64_t offset, void* data, size_t size) noexcept override {
    std::lock_guard<std::mutex> guard(MemoryDisk->Lock);
    MemoryDisk->Readers.push_back(std::this_thread::get_id());
    MemoryDisk->Io += 'R';
    std::memset(data, 0, size);
    if (offset < FBytes.size())
      std::memcpy(data, FBytes.data() + offset, std::min<size_t>(size, FBytes.size() - static_cast<size_t>(offset)));
    return true;
  }
  std::string Path() const override { return "memory"; }
  bool WroteBehind(uint64_t size, bool waited) noexcept override {
    std::lock_guard<std::mutex> guard(MemoryDisk->Lock);
    MemoryDisk->WrittenBehind.emplace_back(std::this_thread::get_id(), size);
    MemoryDisk->Waited.push_back(waited);
    return MemoryDisk->WriteOutDue;
  }
  void WriteOut() noexcept override {
    std::unique_lock<std::mutex> guard(MemoryDisk->Lock);
    MemoryDisk->Gate.wait_for(guard, std::chrono::seconds(2), [] { return !MemoryDisk->WriteOutsShut; });
    MemoryDisk->WrittenOut.push_back(std::this_thread::get_id());
  }
  void Shorten(uint64_t length) noexcept override {
    std::unique_lock<std::mutex> guard(MemoryDisk->Lock);
    if (FBytes.size() <= length) return;
    ++MemoryDisk->Waiting;
    // Bounded: a capture thread that empties a file itself would wait for ever.
    MemoryDisk->Gate.wait_for(guard, std::chrono::seconds(2), [] { return !MemoryDisk->Shut; });
    --MemoryDisk->Waiting;
    MemoryDisk->Order += length == 0 ? 'E' : 'S';
    MemoryDisk->Emptied.push_back(std::this_thread::get_id());
    MemoryDisk->Now -= FBytes.size() - length;
    FBytes.resize(static_cast<size_t>(length));
  }

 private:
  std::string FBytes;
};

std::unique_ptr<TSpillFile> OpenMemoryFile(const std::string&, std::string& error) noexcept {
  std::lock_guard<std::mutex> guard(MemoryDisk->Lock);
  if (MemoryDisk->OpenFailures > 0) {
    --MemoryDisk->OpenFailures;
    error = "no file";
    return nullptr;
  }
  ++MemoryDisk->Opened;
  return std::make_unique<TMemoryFile>();
}

uint64_t Now = 0;
uint64_t Clock() noexcept { return Now; }

// An area on memory files of the given quota and segment.
struct TMemoryArea {
  TMemoryDisk Disk;
  std::shared_ptr<TSpillArea> Area;
  explicit TMemoryArea(uint64_t quota, uint64_t segment, bool writeBehind = false,
                       const std::function<void(TSpillArea::TOptions&)>& more = nullptr) {
    MemoryDisk = &Disk;
    TSpillArea::TOptions options{1 << 20, "memory"};
    options.OpenFile = OpenMemoryFile;
    options.ClockMs = Clock;
    options.Quota = quota;
    options.SegmentBytes = segment;
    options.WriteBehind = writeBehind;
    if (more) more(options);
    Area = std::make_shared<TSpillArea>(options);
  }
  // The writer may still be closing files, which tell the disk of this area.
  ~TMemoryArea() {
    Area.reset();
    for (int n = 0; n < 500 && SpillWritersRunning() != 0; ++n)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
};

// Bytes n of download id, told again when it is read back.
std::string Chunk(uint64_t id, uint64_t n, size_t size = 64 << 10) {
  std::string s(size, '\0');
  uint32_t x = static_cast<uint32_t>(id * 2654435761u + n * 40503u + 1);
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

struct TDownload {
  uint64_t Id = 0;
  uint64_t Chunks = 0;
  std::vector<TSpillExtent> Extents = {};
};

bool AddChunk(TSpillArea& area, TDownload& d) {
  std::string bytes = Chunk(d.Id, d.Chunks);
  if (!area.Write(bytes.data(), bytes.size(), d.Extents)) return false;
  ++d.Chunks;
  return true;
}

bool ReadsBack(const std::shared_ptr<TSpillArea>& area, const TDownload& d) {
  std::string expected;
  for (uint64_t n = 0; n < d.Chunks; ++n) expected += Chunk(d.Id, n);
  return TCapturedBytes(area, d.Extents) == expected;
}

// Chunk 0 of id handed to the writer with a charge of its own, counted in
// flight on ticket.
bool WriteBehindChunk(const std::shared_ptr<TSpillArea>& area, uint64_t id, std::vector<TSpillExtent>& extents,
                      const std::shared_ptr<TSpillTicket>& ticket) {
  std::string bytes = Chunk(id, 0);
  TBudgetCharge charge(area);
  return charge.Add(bytes.size(), true) && area->WriteBehind(bytes, charge, extents, ticket);
}

// A write takes room only when it fits under the quota with the spare kept
// for a compaction's moves (half a segment): an exact fit is taken, a byte
// more is not.
TEST(SpillCompaction, AWriteFitsUnderTheQuotaToTheByte) {
  constexpr uint64_t kQuota = 16 << 20, kSegment = 8 << 20, kRoom = kQuota - kSegment / 2;
  struct TCase {
    uint64_t Filled, Size;
    bool Fits;
  };
  for (const TCase c : {TCase{kRoom - (64 << 10), 64 << 10, true}, TCase{kRoom - (64 << 10), (64 << 10) + 1, false},
                        TCase{kRoom, 1, false}}) {
    SCOPED_TRACE(testing::Message() << c.Filled << " + " << c.Size);
    TMemoryArea memory(kQuota, kSegment);
    TDownload held{1};
    while (held.Chunks * (64 << 10) < c.Filled) ASSERT_TRUE(AddChunk(*memory.Area, held));
    std::string bytes(c.Size, 'x');
    std::vector<TSpillExtent> extents;
    EXPECT_EQ(memory.Area->Write(bytes.data(), bytes.size(), extents), c.Fits);
    EXPECT_LE(memory.Area->DiskBytes(), kQuota);
  }
}

// Two downloads side by side, then one let go: their files are half held.
// What they hold moves a few pieces with each later write, not all in one.
TEST(SpillCompaction, AWriteMovesAFewPiecesAtMost) {
  TMemoryArea memory(32 << 20, 4 << 20);
  TSpillArea& area = *memory.Area;
  TDownload a{1}, b{2}, c{3};
  for (int n = 0; n < 192; ++n) ASSERT_TRUE(AddChunk(area, a) && AddChunk(area, b)) << n;
  b.Extents.clear();
  uint64_t most = 0;
  for (int n = 0; n < 128; ++n) {
    const uint64_t before = area.Moves();
    ASSERT_TRUE(AddChunk(area, c)) << n;
    most = std::max(most, area.Moves() - before);
  }
  EXPECT_LE(most, TSpillArea::MovesPerWrite);
  EXPECT_GE(area.Moves(), 150u);
  EXPECT_LE(area.DiskBytes(), area.LiveBytes() + TSpillArea::CompactFrom + (4 << 20));
  EXPECT_TRUE(ReadsBack(memory.Area, a));
  EXPECT_TRUE(ReadsBack(memory.Area, c));
}

// The same with the writes handed to the writer thread: the moves run
// there, a step for each write once no write waits (writes handed over
// while it was busy all go first), and the capture's thread reads nothing.
TEST(SpillCompaction, WritesHandedOverLeaveTheMovesToTheWriter) {
  TMemoryArea memory(32 << 20, 4 << 20, true);
  const std::shared_ptr<TSpillArea>& area = memory.Area;
  // A third of each file held once b goes: dead bytes outweigh held ones
  // whatever the writes add before the first step.
  TDownload a{1}, b{2};
  for (int n = 0; n < 96; ++n) ASSERT_TRUE(AddChunk(*area, a) && AddChunk(*area, b) && AddChunk(*area, b)) << n;
  b.Extents.clear();
  ASSERT_EQ(area->Moves(), 0u);
  std::string all;
  std::vector<TSpillExtent> c;
  const auto ticket = std::make_shared<TSpillTicket>();
  const auto handOver = [&](int n) {
    std::string bytes = Chunk(3, n);
    all += bytes;
    TBudgetCharge charge(area);
    return charge.Add(bytes.size(), true) && area->WriteBehind(bytes, charge, c, ticket);
  };
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    memory.Disk.WritesShut = true;
    memory.Disk.Io.clear();
  }
  for (int n = 0; n < 8; ++n) ASSERT_TRUE(handOver(n)) << n;
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    memory.Disk.WritesShut = false;
  }
  memory.Disk.Gate.notify_all();
  for (int n = 8; n < 128; ++n) {
    area->Wait(*ticket, 0);
    ASSERT_TRUE(handOver(n)) << n;
  }
  area->Wait(*ticket, 0);
  ASSERT_FALSE(ticket->Failed.load());
  for (int n = 0; n < 500 && SpillWritersRunning() != 0; ++n)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    // The eight writes queued while the writer was held, then a move (a
    // write handed over later may come first).
    EXPECT_EQ(memory.Disk.Io.substr(0, 8), "WWWWWWWW");
    EXPECT_NE(memory.Disk.Io.find('R'), std::string::npos);
    EXPECT_EQ(std::count(memory.Disk.Readers.begin(), memory.Disk.Readers.end(), std::this_thread::get_id()), 0);
    EXPECT_GE(memory.Disk.Readers.size(), 64u);
  }
  EXPECT_GE(area->Moves(), 64u);
  EXPECT_TRUE(ReadsBack(area, a));
  EXPECT_TRUE(TCapturedBytes(area, c) == all);
}

// Downloads of every size side by side, let go of in any order and at the
// quota: the files never pass the quota, moves included, and Written counts
// every byte any file took.
std::deque<TDownload>* Kept = nullptr;
void LetGoOldest(uint64_t wanted) {
  for (uint64_t freed = 0; freed < wanted && !Kept->empty(); Kept->pop_front()) freed += Kept->front().Chunks << 16;
}

TEST(SpillCompaction, TheFilesNeverPassTheQuotaAndWrittenCountsMoves) {
  constexpr uint64_t Quota = 62685184;
  for (const unsigned seed : {1u, 3u, 11u}) {  // workloads that once passed the quota
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::deque<TDownload> kept;
    Kept = &kept;
    SetSpillLetGo(LetGoOldest);
    TMemoryArea memory(Quota, 8 << 20);
    TSpillArea& area = *memory.Area;
    std::vector<TDownload> running(3);
    uint64_t next = 1;
    for (TDownload& d : running) d.Id = next++;
    int refused = 0;
    for (int step = 0; step < 6000;) {
      // A burst of one download alone grows one piece; bursts side by side leave small ones.
      TDownload& d = running[random() % running.size()];
      for (unsigned burst = 1 + random() % (random() % 4 ? 24 : 128); burst > 0; --burst, ++step)
        if (!AddChunk(area, d)) ++refused;
      if (d.Chunks >= 1 + random() % 320 || random() % 29 == 0) {
        // Done: kept, or let go at once, or a kept one goes.
        if (random() % 3) kept.push_back(std::move(d));
        if (!kept.empty() && random() % 4 == 0)
          kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(random() % kept.size()));
        d = TDownload{next++};
      }
    }
    SetSpillLetGo(nullptr);
    EXPECT_LT(refused, 600);
    for (const TDownload& d : kept) ASSERT_TRUE(ReadsBack(memory.Area, d)) << d.Id;
    kept.clear();
    running.clear();
    EXPECT_GT(area.Moves(), 0u);
    EXPECT_LE(memory.Disk.Peak, Quota);
    const uint64_t written = area.Written();
    memory.Area.reset();
    EXPECT_EQ(written, memory.Disk.Total);
  }
}

// Near the quota, files let go of stay idle, up to a quarter of the quota,
// and the next files are those, written over under a new key (the same
// bytes at the same places never come out the same) rather than emptied
// and made again. Far from it, and once nothing is held, their space goes back.
TEST(SpillCompaction, FilesLetGoOfNearTheQuotaAreWrittenOverUnderANewKey) {
  constexpr uint64_t kSegment = 1 << 20;
  struct TCase {
    uint64_t Quota;
    int Idle;  // of the six files let go of
  };
  for (const TCase c : {TCase{8 * kSegment, 2}, TCase{12 * kSegment, 3}, TCase{32 * kSegment, 0}}) {
    SCOPED_TRACE(c.Quota);
    TMemoryArea memory(c.Quota, kSegment);
    TSpillArea& area = *memory.Area;
    // Six files of one byte over and over, and one file of another download.
    const std::string same(64 << 10, 'x');
    const auto fill = [&](std::vector<TSpillExtent>& extents) {
      for (uint64_t n = 0; n < 6 * kSegment / same.size(); ++n) {
        std::string bytes = same;
        ASSERT_TRUE(area.Write(bytes.data(), bytes.size(), extents)) << n;
      }
    };
    std::vector<TSpillExtent> a;
    fill(a);
    TDownload b{2};
    while (b.Chunks * (64 << 10) < kSegment) ASSERT_TRUE(AddChunk(area, b));
    const int opened = memory.Disk.Opened, closed = memory.Disk.Closed;
    a.clear();
    EXPECT_EQ(memory.Disk.Closed - closed, 6 - c.Idle);
    EXPECT_EQ(memory.Disk.Now, (1 + c.Idle) * kSegment);
    EXPECT_EQ(area.DiskBytes(), memory.Disk.Now);
    fill(a);
    EXPECT_EQ(memory.Disk.Opened - opened, 6 - c.Idle);
    EXPECT_EQ(memory.Disk.Repeats, 0);
    EXPECT_EQ(area.DiskBytes(), memory.Disk.Now);
    EXPECT_LE(memory.Disk.Peak, c.Quota);
    EXPECT_TRUE(TCapturedBytes(memory.Area, a) == std::string(6 * kSegment, 'x'));
    EXPECT_TRUE(ReadsBack(memory.Area, b));
    a.clear();
    b = TDownload{};
    EXPECT_EQ(area.DiskBytes(), 0u);
    EXPECT_EQ(memory.Disk.Now, 0u);
  }
}

// A file that ends a write past its segment (as writes and moves leave
// them) is kept idle like any other near the quota, up to a quarter of it.
TEST(SpillCompaction, AFileAWritePastItsSegmentIsKeptIdleToo) {
  constexpr uint64_t kSegment = 1 << 20, kQuota = 8 * kSegment, kChunk = 96 << 10;
  TMemoryArea memory(kQuota, kSegment);
  TSpillArea& area = *memory.Area;
  std::vector<TSpillExtent> a, b;
  const auto fill = [&](std::vector<TSpillExtent>& extents, uint64_t id, int chunks) {
    for (int n = 0; n < chunks; ++n) {
      std::string bytes = Chunk(id, n, kChunk);
      ASSERT_TRUE(area.Write(bytes.data(), bytes.size(), extents)) << n;
    }
  };
  fill(a, 1, 44);  // four files of eleven chunks, each 32 KiB past its segment
  fill(b, 2, 11);
  ASSERT_EQ(memory.Disk.Opened, 5);
  const int closed = memory.Disk.Closed;
  a.clear();
  // One file of 1,056 KiB fits in the quarter of 8 MiB, a second does not.
  EXPECT_EQ(memory.Disk.Closed - closed, 3);
  EXPECT_EQ(area.DiskBytes(), 22 * kChunk);
  EXPECT_EQ(area.DiskBytes(), memory.Disk.Now);
}

// At the quota, a write that finds no room in a file not yet full moves on
// to an idle file, whose space is counted already: nothing is emptied,
// nothing made, and the disk does not grow.
TEST(SpillCompaction, AtTheQuotaAWriteMovesOnToAnIdleFile) {
  constexpr uint64_t kSegment = 1 << 20, kQuota = 8 * kSegment;
  TMemoryArea memory(kQuota, kSegment);
  TSpillArea& area = *memory.Area;
  TDownload a{1}, b{2}, c{3};
  while (a.Chunks * (64 << 10) < 2 * kSegment) ASSERT_TRUE(AddChunk(area, a));
  while (b.Chunks * (64 << 10) < 5 * kSegment) ASSERT_TRUE(AddChunk(area, b));
  // Up to the quota less the spare kept for moves, the last file half full.
  while (AddChunk(area, c)) {
  }
  ASSERT_EQ(area.DiskBytes(), kQuota - kSegment / 2);
  a = TDownload{};  // its two files stay idle
  const int opened = memory.Disk.Opened, closed = memory.Disk.Closed;
  const uint64_t before = c.Chunks;
  for (int n = 0; n < 32; ++n) ASSERT_TRUE(AddChunk(area, c)) << n;
  EXPECT_EQ(memory.Disk.Closed - closed, 0);
  EXPECT_EQ(memory.Disk.Opened - opened, 0);
  EXPECT_EQ(area.DiskBytes(), kQuota - kSegment / 2);
  EXPECT_LE(memory.Disk.Peak, kQuota);
  EXPECT_EQ(c.Chunks - before, 32u);
  EXPECT_TRUE(ReadsBack(memory.Area, b));
  EXPECT_TRUE(ReadsBack(memory.Area, c));
}

// At the quota, a write larger than any idle file has room only once the
// other idle files are given back: they go (not the capture); a write that
// fits in one idle file gives back nothing.
TEST(SpillCompaction, AWriteNoIdleFileHoldsGetsTheOthersSpace) {
  constexpr uint64_t kChunk = 64 << 10, kQuota = 64 * kChunk;
  struct TCase {
    uint64_t Size;
    int Closed;  // of the eight idle files, the one written over aside
  };
  for (const TCase c : {TCase{16 * kChunk, 7}, TCase{kChunk, 0}}) {
    SCOPED_TRACE(c.Size);
    // A file for each chunk: let go of, they are idle files of one chunk each.
    TMemoryArea memory(kQuota, kChunk);
    TSpillArea& area = *memory.Area;
    TDownload a{1}, b{2};
    while (a.Chunks < 44) ASSERT_TRUE(AddChunk(area, a));
    while (b.Chunks < 8) ASSERT_TRUE(AddChunk(area, b));
    b = TDownload{};
    ASSERT_EQ(area.DiskBytes(), 52 * kChunk);
    const int opened = memory.Disk.Opened, closed = memory.Disk.Closed;
    const std::string expected = Chunk(3, 0, c.Size);
    std::string bytes = expected;
    std::vector<TSpillExtent> extents;
    ASSERT_TRUE(area.Write(bytes.data(), bytes.size(), extents));
    EXPECT_EQ(memory.Disk.Closed - closed, c.Closed);
    EXPECT_EQ(memory.Disk.Opened - opened, 0);
    EXPECT_EQ(area.DiskBytes(), memory.Disk.Now);
    EXPECT_LE(memory.Disk.Peak, kQuota);
    EXPECT_TRUE(TCapturedBytes(memory.Area, extents) == expected);
    EXPECT_TRUE(ReadsBack(memory.Area, a));
  }
}

// Pieces let go of on another thread while compactions are planned: many
// half held files, whose counts change while they are sorted.
TEST(SpillCompaction, LettingGoWhileCompactionsArePlannedLeavesTheHeldBytesWhole) {
  TMemoryArea memory(uint64_t{1} << 30, 16 << 10);
  const std::shared_ptr<TSpillArea>& area = memory.Area;
  std::vector<TDownload> held(4096);
  for (uint64_t i = 0; i < held.size(); ++i) {
    held[i].Id = i;
    std::string bytes = Chunk(i, 0, 4 << 10);
    ASSERT_TRUE(area->Write(bytes.data(), bytes.size(), held[i].Extents));
  }
  std::atomic<bool> done{false};
  std::thread lettingGo([&] {
    std::mt19937 random(2);
    for (uint64_t i = 0; i < held.size(); ++i)
      if (random() % 8) held[i].Extents.clear();
    done = true;
  });
  // Writes go on until well after the last let-go, however the threads are
  // scheduled: the compaction that follows it always comes.
  // A failed write ends the loop, not the test: the thread is joined first.
  TDownload passing{99999};
  int failed = -1;
  for (int n = 0, after = 0; failed < 0 && (n < 512 || after < 128); ++n) {
    if (!AddChunk(*area, passing)) failed = n;
    if (n % 4 == 0) passing = TDownload{99999};
    if (done) ++after;
  }
  lettingGo.join();
  ASSERT_EQ(failed, -1);
  int whole = 0, kept = 0;
  for (const TDownload& d : held) {
    if (d.Extents.empty()) continue;
    ++kept;
    whole += TCapturedBytes(area, d.Extents) == Chunk(d.Id, 0, 4 << 10);
  }
  EXPECT_GT(kept, 0);
  EXPECT_EQ(whole, kept);
  EXPECT_GT(area->Moves(), 0u);
}

// A file lets go of pieces while a plan orders the files, midway through:
// the order is made on counts that stay put, else the sort runs off the
// front of its list.
TEST(SpillCompaction, LettingGoWhileAPlanOrdersTheFilesKeepsTheOrderInBounds) {
  constexpr size_t kPiece = 4 << 10, kFiles = 48, kFullest = 12;
  // Each file's first piece, the fullest file's others (let go during the
  // order), the other files' others, and what goes before the plan.
  std::vector<TSpillExtent> first(kFiles), passing, held, dropped;
  size_t compares = 0;
  TMemoryArea memory(uint64_t{1} << 30, 128 << 10, false, [&](TSpillArea::TOptions& options) {
    options.OnPlanCompare = [&] {
      if (++compares == 100) passing.clear();
    };
  });
  TSpillArea& area = *memory.Area;
  // Files of 32 pieces, one kept and up to 14 more held: each at most half.
  for (uint64_t file = 0; file < kFiles; ++file)
    for (uint64_t n = 0; n < 32; ++n) {
      std::string bytes = Chunk(file, n, kPiece);
      std::vector<TSpillExtent>& to = n > 2 + file % 13 ? dropped : file == kFullest ? passing : held;
      ASSERT_TRUE(area.Write(bytes.data(), bytes.size(), n == 0 ? first[file] : to.emplace_back()));
    }
  dropped.clear();
  TDownload later{999};
  for (int n = 0; n < 64 && area.Moves() < kFiles; ++n) ASSERT_TRUE(AddChunk(area, later));
  ASSERT_GT(compares, 100u);
  EXPECT_TRUE(passing.empty());
  for (uint64_t file = 0; file < kFiles; ++file)
    EXPECT_EQ(TCapturedBytes(memory.Area, {first[file]}), Chunk(file, 0, kPiece)) << file;
  EXPECT_TRUE(ReadsBack(memory.Area, later));
}

// A new file that cannot be made leaves writes on the one in use, for a
// compaction or past its segment, until one can.
TEST(SpillCompaction, AFileThatCannotBeMadeLeavesWritesOnTheOldOne) {
  TMemoryArea memory(64 << 20, 8 << 20);
  TSpillArea& area = *memory.Area;
  TDownload kept{1}, dropped{2}, later{3};
  ASSERT_TRUE(AddChunk(area, kept));
  for (int n = 0; n < 96; ++n) ASSERT_TRUE(AddChunk(area, dropped));
  dropped.Extents.clear();
  memory.Disk.OpenFailures = 1000;
  for (int n = 0; n < 96; ++n) ASSERT_TRUE(AddChunk(area, later)) << n;
  EXPECT_TRUE(ReadsBack(memory.Area, kept));
  EXPECT_TRUE(ReadsBack(memory.Area, later));
  // Once a file can be made, the next write after the wait goes to it.
  memory.Disk.OpenFailures = 0;
  Now += TSpillArea::LongestRetryMs;
  TSpillFile* old = area.File();
  ASSERT_TRUE(AddChunk(area, later));
  EXPECT_NE(area.File(), old);
  EXPECT_TRUE(ReadsBack(memory.Area, later));
}

// Bytes handed to the writer but not yet in their file stay where they will
// be written, though a compaction takes their file meanwhile.
TEST(SpillCompaction, BytesOnTheirWayToTheFileAreNotMoved) {
  std::function<void()> held;
  TMemoryArea memory(64 << 20, 16 << 20, true,
                     [&](TSpillArea::TOptions& options) { options.OnWriteBehindHeld = [&] { held(); }; });
  const std::shared_ptr<TSpillArea>& area = memory.Area;
  TDownload kept{1}, dropped{2}, other{3};
  ASSERT_TRUE(AddChunk(*area, kept));
  for (int n = 0; n < 96; ++n) ASSERT_TRUE(AddChunk(*area, dropped));
  // While the write is held and not yet queued, most of its file dies:
  // compaction closes the file for writes and then takes what it holds.
  bool once = true;
  held = [&] {
    if (!std::exchange(once, false)) return;
    dropped.Extents.clear();
    for (int n = 0; n < 4; ++n) ASSERT_TRUE(AddChunk(*area, other));
  };
  std::vector<TSpillExtent> extents;
  const auto ticket = std::make_shared<TSpillTicket>();
  ASSERT_TRUE(WriteBehindChunk(area, 9, extents, ticket));
  area->Wait(*ticket, 0);
  EXPECT_FALSE(ticket->Failed.load());
  EXPECT_TRUE(TCapturedBytes(area, extents) == Chunk(9, 0));
  EXPECT_TRUE(ReadsBack(area, kept));
  EXPECT_TRUE(ReadsBack(area, other));
}

// A write behind lets go of its charge before it stops counting as in
// flight: whoever waited for it finds the budget free.
TEST(SpillCompaction, AWriteBehindFreesItsChargeBeforeItEnds) {
  const auto ticket = std::make_shared<TSpillTicket>();
  std::atomic<int> released{0}, early{0};
  TMemoryArea memory(64 << 20, 16 << 20, true, [&](TSpillArea::TOptions& options) {
    options.OnRelease = [&](uint64_t) {
      ++released;
      if (ticket->InFlight.load() == 0) ++early;
    };
  });
  std::vector<TSpillExtent> extents;
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 1, extents, ticket));
  memory.Area->Wait(*ticket, 0);
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(memory.Area->Charged(), 0u);
}

// A file may write bytes out (a wait on the disk) only where nobody waits:
// each write behind is told on the writer's thread, once, with its size;
// a write made on the capture's thread (with writes behind off, with no
// writer thread to be had, or Write itself) is never told, nor is a write
// that failed.
TEST(SpillCompaction, OnlyTheWriterThreadIsToldOfItsWrites) {
  const struct {
    const char* Name;
    bool WriteBehind;
    bool Threads;
    size_t Told;
  } cases[] = {
      {"writer thread", true, true, 8},
      {"writes behind off", false, true, 0},
      {"no thread to be had", true, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TMemoryArea memory(64 << 20, 8 << 20, c.WriteBehind, [&](TSpillArea::TOptions& options) {
      if (!c.Threads) options.StartThread = [](void (*)(void*), void*) noexcept { return false; };
    });
    TDownload direct{1};
    std::vector<TSpillExtent> behind;
    const auto ticket = std::make_shared<TSpillTicket>();
    for (uint64_t n = 0; n < 8; ++n) {
      ASSERT_TRUE(AddChunk(*memory.Area, direct));
      ASSERT_TRUE(WriteBehindChunk(memory.Area, 10 + n, behind, ticket));
      memory.Area->Wait(*ticket, 0);
    }
    EXPECT_FALSE(ticket->Failed.load());
    EXPECT_TRUE(ReadsBack(memory.Area, direct));
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    const auto told = memory.Disk.WrittenBehind;
    ASSERT_EQ(told.size(), c.Told);
    for (const auto& [thread, size] : told) {
      EXPECT_NE(thread, std::this_thread::get_id());
      EXPECT_EQ(size, uint64_t{64} << 10);
    }
  }
  TMemoryArea memory(64 << 20, 8 << 20, true);
  memory.Disk.WritesFail = true;
  std::vector<TSpillExtent> behind;
  const auto ticket = std::make_shared<TSpillTicket>();
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 1, behind, ticket));
  memory.Area->Wait(*ticket, 0);
  EXPECT_TRUE(ticket->Failed.load());
  std::lock_guard<std::mutex> guard(memory.Disk.Lock);
  EXPECT_TRUE(memory.Disk.WrittenBehind.empty());
}

// A file is told when a capture waits for the writer (so that its write-out
// does not hold the capture up too): the second write, taken up while this
// thread waits for both, says so.
TEST(SpillCompaction, AFileIsToldWhenACaptureWaits) {
  TMemoryArea memory(64 << 20, 8 << 20, true);
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    memory.Disk.WritesShut = true;
  }
  std::vector<TSpillExtent> behind;
  const auto ticket = std::make_shared<TSpillTicket>();
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 1, behind, ticket));
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 2, behind, ticket));
  // The gate opens once this thread has long been waiting.
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      memory.Disk.WritesShut = false;
    }
    memory.Disk.Gate.notify_all();
  });
  memory.Area->Wait(*ticket, 0);
  opener.join();
  EXPECT_FALSE(ticket->Failed.load());
  std::lock_guard<std::mutex> guard(memory.Disk.Lock);
  ASSERT_EQ(memory.Disk.Waited.size(), 2u);
  EXPECT_TRUE(memory.Disk.Waited[1]);
}

// A capture waiting for its write is told once the bytes are written, not
// once the write-out they brought is done (it waits for the disk); the
// writer writes out after, on its own thread.
TEST(SpillCompaction, TheWaitingAreToldBeforeTheWriteOut) {
  TMemoryArea memory(64 << 20, 8 << 20, true);
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    memory.Disk.WriteOutDue = true;
    memory.Disk.WriteOutsShut = true;
  }
  TDownload direct{1};
  ASSERT_TRUE(AddChunk(*memory.Area, direct));
  std::vector<TSpillExtent> behind;
  const auto ticket = std::make_shared<TSpillTicket>();
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 7, behind, ticket));
  const auto begun = std::chrono::steady_clock::now();
  memory.Area->Wait(*ticket, 0);
  // The gate holds a write-out for 2 s.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
  EXPECT_FALSE(ticket->Failed.load());
  EXPECT_TRUE(ReadsBack(memory.Area, direct));
  std::thread::id writer;
  {
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    ASSERT_EQ(memory.Disk.WrittenBehind.size(), 1u);
    writer = memory.Disk.WrittenBehind.front().first;
    EXPECT_TRUE(memory.Disk.WrittenOut.empty());
    memory.Disk.WriteOutsShut = false;
  }
  memory.Disk.Gate.notify_all();
  for (int n = 0; n < 500; ++n) {
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      if (!memory.Disk.WrittenOut.empty()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> guard(memory.Disk.Lock);
  ASSERT_EQ(memory.Disk.WrittenOut.size(), 1u);
  EXPECT_EQ(memory.Disk.WrittenOut.front(), writer);
}

// The write-out comes once a step of bytes has been written behind since
// the last one, however the writes fall across the step; while a capture
// waits, it comes with the first write nobody waits for, or at the limit.
TEST(SpillCompaction, WriteOutComesEveryStep) {
  const uint64_t step = 2 << 20, limit = TWriteOutPace::PutOffSteps * step;
  const struct {
    const char* Name;
    std::vector<uint64_t> Sizes;
    std::vector<bool> Waited;  // none: nobody waits
    std::vector<bool> Due;
  } cases[] = {
      {"one byte short", {step - 1}, {}, {false}},
      {"exactly a step", {step - 1, 1, step}, {}, {false, true, true}},
      {"a write larger than a step counts no further", {3 * step, step - 1, 1}, {}, {true, false, true}},
      {"crossing the step", {step / 2, step / 2 + 1, step / 2}, {}, {false, true, false}},
      {"put off while a capture waits", {step, step, 1}, {true, true, false}, {false, false, true}},
      {"put off up to the limit",
       {step, limit - step - 1, 1, step},
       {true, true, true, true},
       {false, false, true, false}},
      {"a write at the limit while waited for", {limit, step}, {true, true}, {true, false}},
      {"nothing due: nothing put off", {step - 1, 1}, {true, false}, {false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TWriteOutPace pace(step);
    std::vector<bool> due;
    for (size_t i = 0; i < c.Sizes.size(); ++i) due.push_back(pace.Add(c.Sizes[i], !c.Waited.empty() && c.Waited[i]));
    EXPECT_EQ(due, c.Due);
  }
}

// A file nothing holds any more is emptied and closed by the writer, not by
// the capture that let go of it, and counts on the disk until then. A write
// that finds no room while files are on their way to close waits for them
// rather than being refused, and the disk never passes the quota.
TEST(SpillCompaction, FilesLetGoOfCloseElsewhereAndAWriteAtTheQuotaWaitsForThem) {
  // Files emptied at once, and files larger than a step, given back in steps.
  for (const uint64_t segment : {uint64_t{2} << 20, uint64_t{8} << 20}) {
    SCOPED_TRACE(segment);
    const uint64_t quota = segment * 8, chunks = quota / (64 << 10);
    TMemoryArea memory(quota, segment, true);
    TSpillArea& area = *memory.Area;
    TDownload dropped{1};
    while (AddChunk(area, dropped) && dropped.Chunks < chunks * 25 / 32) {
    }
    ASSERT_GE(dropped.Chunks, chunks * 3 / 4);
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      memory.Disk.Shut = true;
    }
    dropped.Extents.clear();  // returns though no file can be emptied yet
    EXPECT_GE(area.DiskBytes(), quota * 5 / 8);
    TDownload later{2};
    auto writing = std::async(std::launch::async, [&] {
      for (uint64_t n = 0; n < chunks * 5 / 8; ++n)
        if (!AddChunk(area, later)) return n;
      return chunks * 5 / 8;
    });
    // Long enough for the write to reach the full disk, usually; it passes either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      memory.Disk.Shut = false;
    }
    memory.Disk.Gate.notify_all();
    EXPECT_EQ(writing.get(), chunks * 5 / 8);
    EXPECT_TRUE(ReadsBack(memory.Area, later));
    EXPECT_LE(memory.Disk.Peak, quota);
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    EXPECT_GE(memory.Disk.Emptied.size(), 6u);
    for (const std::thread::id& thread : memory.Disk.Emptied) EXPECT_NE(thread, std::this_thread::get_id());
  }
}

// A write handed over while a file is being emptied is written meanwhile,
// not after that file or the next one waiting: captures wait for their
// writes, not for files nobody needs. A file larger than a step is given
// back a step at a time ('S'), the last one 'E'.
TEST(SpillCompaction, AWriteNeverWaitsForFilesBeingEmptied) {
  struct TCase {
    uint64_t Segment;
    const char* Order;
  };
  for (const TCase c : {TCase{1 << 20, "WEE"}, TCase{16 << 20, "WSSSESSSE"}}) {
    SCOPED_TRACE(c.Segment);
    // Far from the quota: files let go of are emptied, not kept idle.
    TMemoryArea memory(128 << 20, c.Segment, true);
    const std::shared_ptr<TSpillArea>& area = memory.Area;
    TDownload first{1}, second{2}, current{3};
    for (TDownload* d : {&first, &second})  // a file each
      while (d->Chunks * (64 << 10) < c.Segment) ASSERT_TRUE(AddChunk(*area, *d));
    ASSERT_TRUE(AddChunk(*area, current));
    area->WaitForCloses();
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      memory.Disk.Shut = true;
      memory.Disk.Order.clear();
    }
    first.Extents.clear();  // the first step waits at the gate
    for (int n = 0; n < 200; ++n) {
      {
        std::lock_guard<std::mutex> guard(memory.Disk.Lock);
        if (memory.Disk.Waiting == 1) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    second.Extents.clear();
    std::vector<TSpillExtent> extents;
    const auto ticket = std::make_shared<TSpillTicket>();
    ASSERT_TRUE(WriteBehindChunk(area, 9, extents, ticket));
    area->Wait(*ticket, 0);
    {
      std::lock_guard<std::mutex> guard(memory.Disk.Lock);
      EXPECT_EQ(memory.Disk.Waiting, 1);  // still shut out: the write went meanwhile
      memory.Disk.Shut = false;
    }
    memory.Disk.Gate.notify_all();
    area->WaitForCloses();
    EXPECT_EQ(area->DiskBytes(), (current.Chunks + 1) * (64 << 10));  // with the write behind
    std::lock_guard<std::mutex> guard(memory.Disk.Lock);
    EXPECT_EQ(memory.Disk.Order, c.Order);
    EXPECT_EQ(memory.Disk.Now, area->DiskBytes());
  }
}

TEST(SpillCompaction, AWriterThreadCountsUntilItEnds) {
  // The thread goes on after it tells: what it touches then is its own.
  auto atEnd = std::make_shared<std::promise<uint32_t>>();
  auto told = std::make_shared<std::atomic<bool>>(false);
  std::future<uint32_t> running = atEnd->get_future();
  TMemoryArea memory(64 << 20, 16 << 20, true, [&](TSpillArea::TOptions& options) {
    options.OnWriterEnd = [atEnd, told] {
      if (!told->exchange(true)) atEnd->set_value(SpillWritersRunning());
    };
  });
  std::vector<TSpillExtent> extents;
  ASSERT_TRUE(WriteBehindChunk(memory.Area, 1, extents, std::make_shared<TSpillTicket>()));
  EXPECT_GE(running.get(), 1u);
}

// The quota follows the free space down as the disk fills, never up.
uint64_t FreeSpace = 0;
uint64_t FreeBytes(const std::string&) noexcept { return FreeSpace; }

TEST(SpillCompaction, TheQuotaFallsWithTheFreeSpace) {
  FreeSpace = uint64_t{1} << 30;
  TMemoryArea memory(0, 1 << 20, false, [](TSpillArea::TOptions& options) { options.FreeBytes = FreeBytes; });
  TSpillArea& area = *memory.Area;
  TDownload d{1};
  ASSERT_TRUE(AddChunk(area, d));
  EXPECT_EQ(area.Quota(), FreeSpace / 10);
  // Each file made asks again: a tenth of what is free, with what the files
  // take counted as free.
  struct TStep {
    uint64_t Free;
    bool Falls;
  };
  for (const TStep& step :
       {TStep{200 << 20, true}, TStep{uint64_t{1} << 32, false}, TStep{0, false}, TStep{1 << 20, true}}) {
    const uint64_t before = area.Quota();
    FreeSpace = step.Free;
    for (int n = 0; n < 16; ++n) ASSERT_TRUE(AddChunk(area, d));  // one file more
    if (!step.Falls) {
      EXPECT_EQ(area.Quota(), before) << step.Free;
      continue;
    }
    EXPECT_LT(area.Quota(), before) << step.Free;
    EXPECT_GE(area.Quota(), std::max(step.Free / 10, TSpillArea::SmallestQuota)) << step.Free;
    EXPECT_LE(area.Quota(), std::max((step.Free + area.Written()) / 10, TSpillArea::SmallestQuota)) << step.Free;
  }
}

// The volume fills while files sit idle, and the quota falls below what the
// disk holds: writes into an idle file's space cost no disk and still land
// there, with nothing given back and nothing made; let go of again, the
// files taken up are idle again (what was idle counts no more).
TEST(SpillCompaction, WhenTheQuotaFallsWritesStillFillTheIdleFiles) {
  constexpr uint64_t kSegment = 1 << 20;
  FreeSpace = 320 * kSegment;  // a quota of 32 MiB
  TMemoryArea memory(0, kSegment, false, [](TSpillArea::TOptions& options) { options.FreeBytes = FreeBytes; });
  TSpillArea& area = *memory.Area;
  TDownload a{1}, b{2}, c{3};
  while (a.Chunks * (64 << 10) < 4 * kSegment) ASSERT_TRUE(AddChunk(area, a));
  while (b.Chunks * (64 << 10) < 20 * kSegment) ASSERT_TRUE(AddChunk(area, b));
  ASSERT_EQ(area.Quota(), 32 * kSegment);
  a = TDownload{};  // four idle files
  ASSERT_EQ(area.DiskBytes(), 24 * kSegment);
  // A quota of 24.25 MiB: the disk is past it less the spare of half a segment.
  FreeSpace = 218 * kSegment + 5 * (kSegment / 10) + 1;
  const int opened = memory.Disk.Opened, closed = memory.Disk.Closed;
  for (int n = 0; n < 64; ++n) ASSERT_TRUE(AddChunk(area, c)) << n;
  EXPECT_LT(area.Quota(), 24 * kSegment + kSegment / 2);
  EXPECT_EQ(memory.Disk.Closed - closed, 0);
  EXPECT_EQ(memory.Disk.Opened - opened, 0);
  EXPECT_EQ(area.DiskBytes(), 24 * kSegment);
  EXPECT_EQ(memory.Disk.Now, 24 * kSegment);
  EXPECT_TRUE(ReadsBack(memory.Area, b));
  EXPECT_TRUE(ReadsBack(memory.Area, c));
  // Four files of 1 MiB fit in a quarter of the quota, idle.
  c = TDownload{};
  EXPECT_EQ(memory.Disk.Closed - closed, 0);
  EXPECT_EQ(area.DiskBytes(), 24 * kSegment);
  EXPECT_TRUE(ReadsBack(memory.Area, b));
}

}  // namespace
}  // namespace tarvik
