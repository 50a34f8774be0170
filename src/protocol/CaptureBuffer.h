#pragma once
// The bytes a protocol monitor has read for its request. Publishing them for
// the content store shares the bytes instead of copying them, and a large
// body is never moved by a growing reallocation: a captured body is held
// about once, not twice. Bytes in memory count against the process's budget;
// past it, a capture goes to the process's temporary file instead.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/CapturedBytes.h"

namespace tarvik {

// Bytes that could be kept neither in memory nor in the temporary file.
class TCaptureDropped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCaptureBuffer {
 public:
  using Bytes = std::shared_ptr<const TCapturedBytes>;
  // Past the first part, bytes go into parts of this size.
  static constexpr size_t PartSize = size_t{1} << 20;
  // Bytes gathered before one write to the temporary file. The stage counts
  // against the budget while a transfer spills and goes when it ends; with
  // no room for it, bytes go to the file in small slices from the stack.
  static constexpr size_t SpillChunk = size_t{64} << 10;
  static constexpr size_t StackSlice = size_t{4} << 10;
  // Full stages a transfer may have on their way to the file at once (the
  // area's writer thread encrypts and writes them while the transfer reads on).
  static constexpr uint32_t StagesBehind = 4;
  // As many while at least half the stage reserve is free: the system's
  // writeback of dirty pages holds the writer up for 50-90 ms at times, and
  // 2 MiB lets a transfer read on through that at some 30 MB/s; a tighter
  // budget keeps room for other transfers' stages.
  static constexpr uint32_t DeepStagesBehind = 32;

  // area null: the process's.
  explicit TCaptureBuffer(std::shared_ptr<TSpillArea> area = nullptr);
  TCaptureBuffer(const TCaptureBuffer&) = delete;
  TCaptureBuffer& operator=(const TCaptureBuffer&) = delete;

  // The size the whole body is announced to have: the next new part reserves
  // room for the rest at once when the budget has room for it. Only a hint;
  // 0 means unknown.
  void ExpectSize(uint64_t total) noexcept { FExpected = total; }
  // Appends all of the bytes or none: std::bad_alloc when memory runs out,
  // TCaptureDropped when the temporary file cannot take them.
  void Append(const void* data, size_t size);
  uint64_t Size() const noexcept { return FSize; }
  // Every byte so far. Later appends never change bytes once published;
  // publishing twice without appending returns the same ones. Throws
  // std::bad_alloc or TCaptureDropped (nothing changed).
  Bytes Publish();
  // A copy of every byte so far (for diagnosis and tests).
  std::string Copy() const;
  // Separate allocations that hold the bytes now (0 once spilled).
  size_t PartCount() const noexcept { return FParts.size(); }
  bool Spilled() const noexcept { return FSpilling; }
  // Forgets every byte (a dropped capture gives its memory back).
  void Clear() noexcept;

 private:
  // A piece of memory and its count against the budget.
  struct TPart {
    std::string Data;
    TBudgetCharge Charge;
  };
  std::shared_ptr<TPart> NewPart(size_t firstBytes);
  bool AppendInMemory(const char* bytes, size_t size);
  void StartSpilling();
  void SpillStage();
  void WaitWritten() const;
  void ReleaseStage();
  void SpillThroughStack(const char* bytes, size_t size);
  void SpillAppend(const char* bytes, size_t size);

  std::shared_ptr<TSpillArea> FArea;
  std::vector<std::shared_ptr<TPart>> FParts;
  bool FLastPublished = false;  // the last part is shared with the store: never written again
  bool FSpilling = false;
  std::string FStage;                     // bytes for the next write to the file
  TBudgetCharge FStageCharge;             // the stage's memory, counted while it is held
  std::vector<TSpillExtent> FExtents;     // where the spilled bytes are, in order (held: their space stays)
  std::shared_ptr<TSpillTicket> FTicket;  // the stages on their way to the file
  Bytes FPublished;                       // what was published last, while nothing was appended since
  uint64_t FSize = 0;
  uint64_t FExpected = 0;
};

// The capture of one request, shared by its monitor and the monitor's sink
// wrapper (which may outlive it): the URL, the size the handler announced,
// whether the data is finished, and the bytes read. One lock guards it all,
// so the end of the data decides on one consistent picture.
class TRequestCapture {
 public:
  explicit TRequestCapture(int32_t sid, std::shared_ptr<TSpillArea> area = nullptr)
      : SID(sid), FContent(std::move(area)) {}
  TRequestCapture(const TRequestCapture&) = delete;
  TRequestCapture& operator=(const TRequestCapture&) = delete;

  const int32_t SID;  // the monitor's

  // A Start: the URL the bytes belong to; nothing is announced for it yet.
  // Bytes read for an earlier Start stay.
  void Begin(std::string url);
  std::string URL() const;
  // The body size the handler announced through a wrapped sink (its progress maximum).
  void Announce(uint64_t total);
  bool Finished() const;
  void SetFinished();
  int32_t ReadLength() const;
  std::string Content() const;  // a copy, for diagnosis and tests

  // What one Read delivered. Never throws: when neither memory nor the
  // temporary file takes the bytes, or the body outgrows CaptureLimit, the
  // capture is dropped with a trace line, and nothing with a hole in it is
  // ever stored.
  void Append(const void* data, size_t size) noexcept;

  // How long the response says its body is, as far as the handler can tell.
  struct TLength {
    bool Known = false;  // false: the handler cannot tell; what a wrapped sink announced counts
    uint64_t Bytes = 0;  // 0: no length (chunked, or sent with a content encoding)
  };
  struct TEnd {
    std::string URL;
    TCaptureBuffer::Bytes Body;  // to store; empty when the transfer was cut or the capture failed
    int32_t ReadLength = 0;
    uint64_t Length = 0;     // bytes captured
    uint64_t Announced = 0;  // the length the body should have had, 0 if unknown
    bool Cut = false;
    bool NotKept = false;  // read whole, but neither memory nor the temporary file could keep it
  };
  // The end of the data: finishes the request and decides what to store. A
  // body shorter than the announced length was cut short by the server
  // (the handler ends such a transfer like a complete one): it is not
  // stored, so an earlier complete capture of the URL stays.
  TEnd End(TLength response);

 private:
  void Drop(const char* reason) noexcept;

  mutable std::mutex FLock;
  std::string FURL;
  uint64_t FAnnounced = 0;
  bool FFinished = false;
  TCaptureBuffer FContent;
  int32_t FReadLength = 0;
  bool FFailed = false;
  bool FNotKept = false;  // dropped because the temporary file could not take the bytes
};

}  // namespace tarvik
