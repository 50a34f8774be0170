#pragma once
// The captured content store: one record per URL (UrlKey: the scheme and the
// host in any letter case, the rest exactly), kept at a stable address for
// the life of the store, so callers may write into a record after the
// store's lock is released.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/CapturedBytes.h"

namespace tarvik {

// The captured content of one URL. Each field is replaced whole under the
// record's own lock, so a concurrent reader sees the old or the new value,
// never a torn one. Content bytes are shared, not copied, between holders.
class TURLContent {
 public:
  // In memory or in the process's temporary file (see CapturedBytes.h).
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
};

class TTarvikDataBuffer {
 public:
  TTarvikDataBuffer() = default;
  TTarvikDataBuffer(const TTarvikDataBuffer&) = delete;
  TTarvikDataBuffer& operator=(const TTarvikDataBuffer&) = delete;

  bool Exists(std::string_view url) const;
  // Position of the URL (as UrlKey compares it), or -1.
  int32_t IndexOf(std::string_view url) const;
  // Adds a record unless the URL exists.
  void Add(std::string_view url);
  // Find-or-add; the reference stays valid for the life of the store.
  TURLContent& GetURLContent(std::string_view url);

  int32_t Count() const;
  // Record n, in creation order (0 <= n < Count()).
  TURLContent& Items(int32_t index);
  const TURLContent& Items(int32_t index) const;

 private:
  // Index lookup by a key from UrlKey; caller holds FLock.
  int32_t Find(const std::string& key) const;
  TURLContent& AddLocked(std::string_view url, std::string key);

  mutable std::recursive_mutex FLock;
  std::unordered_map<std::string, int32_t> FIndex;  // UrlKey -> position
  std::deque<TURLContent> FRecords;                 // deque: growth never moves a record
};

}  // namespace tarvik
