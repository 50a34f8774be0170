// The spill area's writer thread and the jobs captures hand it.
#include <algorithm>
#include <new>

#include "core/spill/SpillInternal.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

std::atomic<uint32_t> RunningWriters{0};

}  // namespace

TSpillJob::~TSpillJob() {
  if (Closed) {
    Closed->Shorten(0);
    Closed.reset();
    ClosedFrom->Disk.fetch_sub(ClosedBytes);
    ClosedFrom->Closing.fetch_sub(1);
  }
  Charge.Clear();
  Bytes = std::string();
  if (!Ticket) return;
  Generation->Unwritten.fetch_sub(1);
  Generation.reset();
  Ticket->InFlight.fetch_sub(1);
}

bool TSpillJob::ShortenStep() noexcept {
  const uint64_t step = std::min(ClosedBytes, TSpillArea::ShortenStep);
  if (step == ClosedBytes) return true;
  Closed->Shorten(ClosedBytes - step);
  // Counted off once the space is back: the disk never holds more than is counted.
  ClosedBytes -= step;
  ClosedFrom->Disk.fetch_sub(step);
  return false;
}

void TSpillJob::Run(bool onWriterThread) noexcept {
  if (!Generation) return;  // a file to close: the job's end closes it
  Generation->Cipher->Apply(Offset, Bytes.data(), Bytes.size());
  if (!Generation->File->WriteAt(Offset, Bytes.data(), Bytes.size())) {
    Ticket->Failed.store(true);
    SpillTrace(Format("Temporary file not written: %llu bytes at %llu", Ull(Bytes.size()), Ull(Offset)));
  } else if (onWriterThread) {
    WriteOutDue = Generation->File->WroteBehind(Bytes.size(), Waited);
  }
}

void TSpillWriter::Push(std::unique_ptr<TSpillJob> job) noexcept {
  std::unique_lock<std::mutex> guard(FLock);
  if (!NoThrow([&] { (job->Closed ? FCloses : FQueue).push_back(std::move(job)); })) {
    guard.unlock();
    Finish(std::move(job), false);
    return;
  }
  if (FRunning) {
    if (FIdle) FWork.notify_one();
    return;
  }
  FRunning = true;
  RunningWriters.fetch_add(1);
  guard.unlock();
  // The thread holds the writer; lock() rather than shared_from_this(), which throws.
  std::shared_ptr<TSpillWriter> owner = weak_from_this().lock();
  auto* self = owner ? new (std::nothrow) std::shared_ptr<TSpillWriter>(std::move(owner)) : nullptr;
  if (self && FStartThread(&TSpillWriter::Thread, self)) return;
  delete self;
  // No thread: what is queued is written here.
  Loop(false);
}

void TSpillWriter::Thread(void* arg) noexcept {
  std::unique_ptr<std::shared_ptr<TSpillWriter>> self(static_cast<std::shared_ptr<TSpillWriter>*>(arg));
  (*self)->Loop(true);
  if ((*self)->FOnEnd) (*self)->FOnEnd();
}

void TSpillWriter::Finish(std::unique_ptr<TSpillJob> job, bool onWriterThread) noexcept {
  job->Run(onWriterThread);
  // The file stays open for its write-out, which waits for the disk: those
  // waiting for the write are told first.
  const std::shared_ptr<TSpillGeneration> writeOut = job->WriteOutDue ? job->Generation : nullptr;
  job.reset();
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (FWaiters) FDone.notify_all();
  }
  if (writeOut) writeOut->File->WriteOut();
}

void TSpillWriter::Loop(bool linger) noexcept {
  std::unique_lock<std::mutex> guard(FLock);
  for (;;) {
    if (FQueue.empty() && FStepsOwed != 0) {
      // Writes go first: a capture that waits for its own need not wait
      // for moves too.
      --FStepsOwed;
      std::shared_ptr<TSpillState> state = FCompact.lock();
      guard.unlock();
      if (state) state->CompactAfterWrite();
      state.reset();  // the area may end here, outside the lock
      guard.lock();
      continue;
    }
    if (FQueue.empty() && linger) {
      const auto work = [this] {
        return !FQueue.empty() ||
               (!FCloses.empty() && (FSpaceWanted != 0 || std::chrono::steady_clock::now() >= FNextStep));
      };
      if (!work()) {
        FIdle = true;
        if (FCloses.empty())
          FWork.wait_for(guard, Linger, [&] { return !FQueue.empty() || !FCloses.empty(); });
        else
          FWork.wait_until(guard, FNextStep, [&] { return !FQueue.empty() || FSpaceWanted != 0; });
        FIdle = false;
        if (!FCloses.empty() && !work()) continue;
      }
    }
    auto& queue = FQueue.empty() ? FCloses : FQueue;
    if (queue.empty()) break;
    std::unique_ptr<TSpillJob> job = std::move(queue.front());
    queue.pop_front();
    job->Waited = FWaiters != 0;
    guard.unlock();
    if (!job->Closed) {
      std::weak_ptr<TSpillState> compact = std::move(job->CompactAfter);
      Finish(std::move(job), linger);
      guard.lock();
      if (!compact.expired()) {
        FCompact = std::move(compact);
        ++FStepsOwed;
      }
      continue;
    }
    const auto began = std::chrono::steady_clock::now();
    if (job->ShortenStep()) {
      Finish(std::move(job), linger);
      guard.lock();
    } else {
      // The rest of this file after the writes handed over meanwhile; a
      // write at the quota may wait for the space given back.
      guard.lock();
      FCloses.push_front(std::move(job));
      if (FWaiters) FDone.notify_all();
    }
    const auto now = std::chrono::steady_clock::now();
    FNextStep = now + std::min<std::chrono::steady_clock::duration>(2 * (now - began), LongestPause);
  }
  FRunning = false;
  RunningWriters.fetch_sub(1);
}

// A thread that left its loop still runs this library's code until it ends.
uint32_t SpillWritersRunning() noexcept { return RunningWriters.load() + SpillThreadsAlive(); }

}  // namespace tarvik
