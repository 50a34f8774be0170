#pragma once
// The bytes a protocol monitor has read for its request. Publishing them for
// the content store shares the bytes instead of copying them, and a large
// body is never moved by a growing reallocation: a captured body is held
// about once, not twice.
#include <cstddef>
#include <memory>
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

}  // namespace tarvik
