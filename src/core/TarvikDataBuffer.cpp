#include "core/TarvikDataBuffer.h"

#include "core/UrlKey.h"

#include <algorithm>
#include <unordered_set>

namespace tarvik {

namespace {
const TURLContent::Bytes& EmptyBytes() {
  static const TURLContent::Bytes empty = std::make_shared<const TCapturedBytes>();
  return empty;
}
}  // namespace

std::string TURLContent::ContentType() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FContentType;
}

void TURLContent::SetContentType(std::string value) {
  std::lock_guard<std::mutex> guard(FLock);
  FContentType.swap(value);
}

std::string TURLContent::LocalFilename() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FLocalFilename;
}

void TURLContent::SetLocalFilename(std::string value) {
  std::lock_guard<std::mutex> guard(FLock);
  FLocalFilename.swap(value);
}

TURLContent::Bytes TURLContent::Content() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FContent ? FContent : EmptyBytes();
}

int32_t TURLContent::ReadLength() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FReadLength;
}

void TURLContent::SetContent(Bytes content, int32_t readLength) {
  // The old bytes are freed outside the lock.
  {
    std::lock_guard<std::mutex> guard(FLock);
    FContent.swap(content);
    FReadLength = readLength;
  }
}

void TURLContent::SetContent(std::string content, int32_t readLength) {
  SetContent(std::make_shared<const TCapturedBytes>(std::move(content)), readLength);
}

bool TURLContent::TooLargeToKeep() const {
  std::lock_guard<std::mutex> guard(FLock);
  return FTooLargeToKeep;
}

void TURLContent::SetTooLargeToKeep(bool value) {
  std::lock_guard<std::mutex> guard(FLock);
  FTooLargeToKeep = value;
}

bool TURLContent::LetGoOf(const Bytes& expected) {
  Bytes gone;  // freed outside the lock
  std::lock_guard<std::mutex> guard(FLock);
  if (!FContent || FContent != expected) return false;
  gone.swap(FContent);
  return true;
}

TURLContent::Snapshot TURLContent::Read() const {
  Snapshot snapshot;
  snapshot.URL = FURL;
  std::lock_guard<std::mutex> guard(FLock);
  snapshot.ContentType = FContentType;
  snapshot.LocalFilename = FLocalFilename;
  snapshot.Content = FContent ? FContent : EmptyBytes();
  snapshot.ReadLength = FReadLength;
  return snapshot;
}

int32_t TTarvikDataBuffer::Find(const std::string& key) const {
  auto it = FIndex.find(key);
  return it == FIndex.end() ? -1 : it->second;
}

bool TTarvikDataBuffer::Exists(std::string_view url) const { return IndexOf(url) >= 0; }

int32_t TTarvikDataBuffer::IndexOf(std::string_view url) const {
  const std::string key = UrlKey(url);
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return Find(key);
}

TURLContent& TTarvikDataBuffer::AddLocked(std::string_view url, std::string key) {
  Record& record = FRecords.emplace_back(std::make_shared<TURLContent>(std::string(url)));
  try {
    FIndex.emplace(std::move(key), static_cast<int32_t>(FRecords.size() - 1));
  } catch (...) {
    FRecords.pop_back();
    throw;
  }
  return *record;
}

bool TTarvikDataBuffer::AddedLocked() { return ++FAddsSinceTrim >= FTrimAfter; }

void TTarvikDataBuffer::Add(std::string_view url) {
  std::string key = UrlKey(url);
  bool trim = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    if (Find(key) < 0) {
      AddLocked(url, std::move(key));
      trim = AddedLocked();
    }
  }
  if (trim) TrimIdle();
}

TTarvikDataBuffer::Record TTarvikDataBuffer::GetURLContent(std::string_view url) {
  std::string key = UrlKey(url);
  Record record;
  bool trim = false;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    int32_t index = Find(key);
    if (index < 0) {
      AddLocked(url, std::move(key));
      index = static_cast<int32_t>(FRecords.size() - 1);
      trim = AddedLocked();
    }
    record = FRecords[static_cast<size_t>(index)];
    record->FUsed.store(FClock.fetch_add(1) + 1, std::memory_order_relaxed);
  }
  // The caller holds the record now: the pass cannot forget it.
  if (trim) TrimIdle();
  return record;
}

void TTarvikDataBuffer::SetNeeded(std::function<bool(std::string_view url)> needed) {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  FNeeded = std::move(needed);
}

bool TTarvikDataBuffer::MayForgetLocked(const Record& held, uint64_t used) const {
  // Records are handed out only under FLock, so no new holder can appear
  // while it is held; the store's own reference and the caller's are two.
  return held->FUsed.load(std::memory_order_relaxed) == used && held.use_count() <= 2;
}

void TTarvikDataBuffer::TrimIdle() {
  struct TIdle {
    Record Held;
    uint64_t Used;
    uint64_t Memory;  // bytes it holds in memory
  };
  std::vector<TIdle> idle;
  std::function<bool(std::string_view url)> needed;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    FAddsSinceTrim = 0;
    needed = FNeeded;
    idle.reserve(FRecords.size());
    for (const Record& record : FRecords) {
      const TURLContent::Bytes bytes = record->Content();
      idle.push_back({record, record->FUsed.load(std::memory_order_relaxed), bytes->Memory() ? bytes->size() : 0});
    }
  }
  // The timeline is asked outside the store's lock.
  if (needed)
    idle.erase(std::remove_if(idle.begin(), idle.end(), [&](const TIdle& r) { return needed(r.Held->URL()); }),
               idle.end());
  // The most recently asked for stay while they fit.
  std::sort(idle.begin(), idle.end(), [](const TIdle& a, const TIdle& b) { return a.Used > b.Used; });
  size_t count = 0;
  uint64_t memory = 0;
  std::vector<const TIdle*> over;
  for (const TIdle& r : idle) {
    if (count < IdleRecords && r.Memory <= IdleMemory - memory) {
      ++count;
      memory += r.Memory;
    } else {
      over.push_back(&r);
    }
  }
  std::vector<const TURLContent*> forgotten;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const TIdle* r : over)
    if (MayForgetLocked(r->Held, r->Used)) forgotten.push_back(r->Held.get());
  ForgetLocked(forgotten);
  FTrimAfter = std::max(TrimEvery, FRecords.size() / 4);
}

void TTarvikDataBuffer::ForgetLocked(const std::vector<const TURLContent*>& gone) {
  if (gone.empty()) return;
  std::unordered_set<const TURLContent*> dropped(gone.begin(), gone.end());
  // Old position -> new one (-1: forgotten); the order of the rest stays.
  std::vector<int32_t> moved(FRecords.size(), -1);
  size_t kept = 0;
  for (size_t i = 0; i < FRecords.size(); ++i) {
    if (dropped.count(FRecords[i].get())) continue;
    moved[i] = static_cast<int32_t>(kept);
    if (kept != i) FRecords[kept] = std::move(FRecords[i]);
    ++kept;
  }
  FRecords.resize(kept);
  for (auto it = FIndex.begin(); it != FIndex.end();) {
    const int32_t to = moved[static_cast<size_t>(it->second)];
    if (to < 0) {
      it = FIndex.erase(it);
    } else {
      it->second = to;
      ++it;
    }
  }
}

uint64_t TTarvikDataBuffer::LetGo(uint64_t wanted, const std::function<bool(std::string_view url)>& needed,
                                  const std::function<bool(const TURLContent::Snapshot&)>& cacheHolds) {
  struct TCandidate {
    Record Held;
    TURLContent::Snapshot Taken;
    uint64_t Used;
  };
  std::vector<TCandidate> candidates;
  {
    std::lock_guard<std::recursive_mutex> guard(FLock);
    for (const Record& record : FRecords) {
      TURLContent::Snapshot taken = record->Read();
      if (taken.Content->Spilled())
        candidates.push_back({record, std::move(taken), record->FUsed.load(std::memory_order_relaxed)});
    }
  }
  // The pages in view and the cache files are asked outside the store's lock.
  candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                  [&](const TCandidate& c) { return needed && needed(c.Taken.URL); }),
                   candidates.end());
  std::sort(candidates.begin(), candidates.end(),
            [](const TCandidate& a, const TCandidate& b) { return a.Used < b.Used; });
  uint64_t gone = 0;
  std::vector<const TCandidate*> letGo;
  const auto tryLetGo = [&](const TCandidate& c) {
    const uint64_t size = c.Taken.Content->size();
    if (!c.Held->LetGoOf(c.Taken.Content)) return;
    gone += size;
    letGo.push_back(&c);
  };
  // Those a cache file still holds go first, least recently asked for
  // first. Asking a file costs a call into the system each (under Wine a
  // trip to its server), on the browser's read thread: they are asked in
  // that order only until enough is let go, not all of them every time.
  std::vector<const TCandidate*> uncached;
  for (const TCandidate& c : candidates) {
    if (gone >= wanted) break;
    if (cacheHolds && cacheHolds(c.Taken))
      tryLetGo(c);
    else
      uncached.push_back(&c);
  }
  for (const TCandidate* c : uncached) {
    if (gone >= wanted) break;
    tryLetGo(*c);
  }
  std::vector<const TURLContent*> forgotten;
  std::lock_guard<std::recursive_mutex> guard(FLock);
  for (const TCandidate* c : letGo) {
    // One asked for since it was taken, or held (its holder may write it
    // again), stays: else the write would land on a record nobody finds.
    if (MayForgetLocked(c->Held, c->Used)) forgotten.push_back(c->Held.get());
  }
  ForgetLocked(forgotten);
  return gone;
}

int32_t TTarvikDataBuffer::Count() const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return static_cast<int32_t>(FRecords.size());
}

TTarvikDataBuffer::Record TTarvikDataBuffer::Items(int32_t index) const {
  std::lock_guard<std::recursive_mutex> guard(FLock);
  return FRecords.at(static_cast<size_t>(index));
}

}  // namespace tarvik
