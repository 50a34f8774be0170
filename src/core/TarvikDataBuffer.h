#pragma once
// The captured content store: one record per URL (UrlKey: the scheme and the
// host in any letter case, the rest exactly). A record is shared with those
// who asked for it, so callers may write into it after the store's lock is
// released; the store forgets no record while someone holds it, so what
// they write stays findable.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/CapturedBytes.h"

namespace tarvik {

// The captured content of one URL. Each field is replaced whole under the
// record's own lock, so a concurrent reader sees the old or the new value,
// never a torn one. Content bytes are shared, not copied, between holders.
class TURLContent {
 public:
  // In memory or in the process's spill files (see CapturedBytes.h).
  using Bytes = std::shared_ptr<const TCapturedBytes>;

  explicit TURLContent(std::string url) : FURL(std::move(url)) {}
  TURLContent(const TURLContent&) = delete;
  TURLContent& operator=(const TURLContent&) = delete;

  // The key, as first added; never changes.
  const std::string& URL() const noexcept { return FURL; }

  std::string ContentType() const;
  void SetContentType(std::string value);
  std::string LocalFilename() const;
  void SetLocalFilename(std::string value);

  // The bytes read (never null: empty when nothing was stored).
  Bytes Content() const;
  int32_t ReadLength() const;
  // Content and ReadLength are replaced together: two downloads of one URL
  // finishing at once leave one whole pair.
  void SetContent(Bytes content, int32_t readLength);
  void SetContent(std::string content, int32_t readLength);

  // Its bytes were read but could not be kept (the temporary file was at
  // its quota): its part will lack them, and the save says so. A later
  // complete read that is kept clears it.
  bool TooLargeToKeep() const;
  void SetTooLargeToKeep(bool value);
  // Drops the bytes if they are still expected (not replaced meanwhile);
  // the type and the cache file name stay. Whether it did.
  bool LetGoOf(const Bytes& expected);

  struct Snapshot {
    std::string URL;
    std::string ContentType;
    std::string LocalFilename;
    Bytes Content;
    int32_t ReadLength = 0;
  };
  // All fields at one moment.
  Snapshot Read() const;

 private:
  const std::string FURL;
  mutable std::mutex FLock;
  std::string FContentType;
  std::string FLocalFilename;
  Bytes FContent;
  int32_t FReadLength = 0;
  bool FTooLargeToKeep = false;

  friend class TTarvikDataBuffer;
  std::atomic<uint64_t> FUsed{0};  // the store's clock when it was last asked for
};

class TTarvikDataBuffer {
 public:
  using Record = std::shared_ptr<TURLContent>;

  TTarvikDataBuffer() = default;
  TTarvikDataBuffer(const TTarvikDataBuffer&) = delete;
  TTarvikDataBuffer& operator=(const TTarvikDataBuffer&) = delete;

  bool Exists(std::string_view url) const;
  // Position of the URL (as UrlKey compares it), or -1.
  int32_t IndexOf(std::string_view url) const;
  // Adds a record unless the URL exists.
  void Add(std::string_view url);
  // Find-or-add (never null).
  Record GetURLContent(std::string_view url);

  int32_t Count() const;

  // Lets go of the spilled bytes of records that needed does not name,
  // least recently asked for first, and among them first those whose cache
  // file still holds the same bytes (cacheHolds: nothing is lost, the
  // composer prefers the cache file), until wanted bytes went. A record let
  // go is forgotten with its bytes (unless asked for since or held), so that
  // a long session's records do not outgrow memory either: a later read of
  // such an address is captured again like any first one. Returns the bytes
  // let go.
  uint64_t LetGo(uint64_t wanted, const std::function<bool(std::string_view url)>& needed,
                 const std::function<bool(const TURLContent::Snapshot&)>& cacheHolds);
  // Record n, in creation order among those held (0 <= n < Count()).
  Record Items(int32_t index) const;

  // Whether some capture may still list url; the runtime answers from the
  // timeline. Unset, no record is needed.
  void SetNeeded(std::function<bool(std::string_view url)> needed);

  // Records no capture can list any more (pages left) stay for a while, as
  // the composer may yet be asked for them, but within two bounds; beyond
  // them the least recently asked for are forgotten with their bytes.
  // 4096 records: a few dozen pages left, some 2 MiB at the 560 bytes a
  // typical record with its address takes in a 64-bit build (100,000 took
  // 56 MiB), less in the 32-bit browser.
  static constexpr size_t IdleRecords = 4096;
  // A quarter of the default memory budget (spill/SpillArea.h): the bodies of
  // pages left never keep the pages in view from the other three quarters.
  static constexpr uint64_t IdleMemory = TSpillArea::DefaultBudget / 4;
  // The bounds are enforced once this many records were added since the
  // last pass, or a quarter of those it left if more: each pass reads every
  // record, and is repaid by the adds before it. Between passes the idle
  // records may pass IdleRecords by that many.
  static constexpr size_t TrimEvery = 32;

 private:
  // Enforces the bounds above; called outside the lock.
  void TrimIdle();
  // Whether the record may be forgotten: nobody asked for it since it was
  // taken (used: its clock then), and nobody but the store and the caller
  // (one reference) holds it, as a holder may be about to write it. Holds
  // FLock.
  bool MayForgetLocked(const Record& held, uint64_t used) const;
  // Counts an add; whether the bounds are due. Holds FLock.
  bool AddedLocked();
  // Index lookup by a key from UrlKey; caller holds FLock.
  int32_t Find(const std::string& key) const;
  TURLContent& AddLocked(std::string_view url, std::string key);
  // Drops the given records from the list and the index; caller holds FLock.
  void ForgetLocked(const std::vector<const TURLContent*>& gone);

  mutable std::recursive_mutex FLock;
  std::atomic<uint64_t> FClock{0};
  std::unordered_map<std::string, int32_t> FIndex;  // UrlKey -> position
  std::vector<Record> FRecords;                     // creation order
  std::function<bool(std::string_view url)> FNeeded;
  size_t FAddsSinceTrim = 0;
  size_t FTrimAfter = TrimEvery;  // adds before the next pass
};

}  // namespace tarvik
