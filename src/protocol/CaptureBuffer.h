#pragma once
// The bytes a protocol monitor has read for its request. Publishing them for
// the content store shares the bytes instead of copying them, and a large
// body is never moved by a growing reallocation: a captured body is held
// about once, not twice.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik {

class TCaptureBuffer {
 public:
  using Bytes = std::shared_ptr<const std::string>;
  // Past the first part, bytes go into parts of this size.
  static constexpr size_t PartSize = size_t{1} << 20;

  TCaptureBuffer() = default;
  TCaptureBuffer(const TCaptureBuffer&) = delete;
  TCaptureBuffer& operator=(const TCaptureBuffer&) = delete;

  // The size the whole body is announced to have: the next new part reserves
  // room for the rest at once. Only a hint; 0 means unknown.
  void ExpectSize(size_t total) noexcept { FExpected = total; }
  // Appends all of the bytes or, when memory runs out, none (std::bad_alloc).
  void Append(const void* data, size_t size);
  size_t Size() const noexcept { return FSize; }
  // Every byte so far as one string. Later appends never change a string
  // once published; publishing twice without appending returns the same one.
  // Throws std::bad_alloc (nothing changed) when the parts cannot be joined.
  Bytes Publish();
  // A copy of every byte so far (for diagnosis and tests).
  std::string Copy() const;
  // Separate allocations that hold the bytes now.
  size_t PartCount() const noexcept { return FParts.size(); }

 private:
  std::shared_ptr<std::string> NewPart(size_t firstBytes);

  std::vector<std::shared_ptr<std::string>> FParts;
  bool FLastPublished = false;  // the last part is shared with the store: never written again
  size_t FSize = 0;
  size_t FExpected = 0;
};

// The capture of one request, shared by its monitor and the monitor's sink
// wrapper (which may outlive it): the URL, the size the handler announced,
// whether the data is finished, and the bytes read. One lock guards it all,
// so the end of the data decides on one consistent picture.
class TRequestCapture {
 public:
  explicit TRequestCapture(int32_t sid) noexcept : SID(sid) {}
  TRequestCapture(const TRequestCapture&) = delete;
  TRequestCapture& operator=(const TRequestCapture&) = delete;

  const int32_t SID;  // the monitor's

  // A Start: the URL the bytes belong to; nothing is announced for it yet.
  // Bytes read for an earlier Start stay.
  void Begin(std::string url);
  std::string URL() const;
  // The body size the handler announced through a wrapped sink (its progress maximum).
  void Announce(size_t total);
  bool Finished() const;
  void SetFinished();
  int32_t ReadLength() const;
  std::string Content() const;  // a copy, for diagnosis and tests

  // What one Read delivered. Never throws: when memory runs out the capture
  // is marked failed, and nothing with a hole in it is ever stored.
  void Append(const void* data, size_t size) noexcept;

  // How long the response says its body is, as far as the handler can tell.
  struct TLength {
    bool Known = false;  // false: the handler cannot tell; what a wrapped sink announced counts
    size_t Bytes = 0;    // 0: no length (chunked, or sent with a content encoding)
  };
  struct TEnd {
    std::string URL;
    TCaptureBuffer::Bytes Body;  // to store; empty when the transfer was cut or the capture failed
    int32_t ReadLength = 0;
    size_t Length = 0;     // bytes captured
    size_t Announced = 0;  // the length the body should have had, 0 if unknown
    bool Cut = false;
  };
  // The end of the data: finishes the request and decides what to store. A
  // body shorter than the announced length was cut short by the server
  // (the handler ends such a transfer like a complete one): it is not
  // stored, so an earlier complete capture of the URL stays.
  TEnd End(TLength response);

 private:
  mutable std::mutex FLock;
  std::string FURL;
  size_t FAnnounced = 0;
  bool FFinished = false;
  TCaptureBuffer FContent;
  int32_t FReadLength = 0;
  bool FFailed = false;
};

}  // namespace tarvik
