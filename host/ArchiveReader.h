#pragma once
// Reads a single-file web archive (MIME multipart/related) far enough to
// list its parts: each part's location, type and decoded bytes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::host {

struct TArchivePart {
  std::string ContentType;
  std::string ContentLocation;
  std::string Encoding;  // lower case
  std::string Body;      // decoded
};

struct TArchive {
  std::string Subject;
  std::string ContentType;
  std::vector<TArchivePart> Parts;
};

// false with a reason when the bytes are no multipart archive.
bool ReadArchive(std::string_view bytes, TArchive& archive, std::string& error);

// Reads an archive handed over in pieces of any size, holding at most one
// header block and a delimiter's length of a body at a time (archives may be
// larger than the address space): each part is reported when it ends, with
// its decoded size and, only when asked for, its decoded bytes.
class TArchiveScanner {
 public:
  struct TPart {
    std::string ContentType;
    std::string ContentLocation;
    std::string Encoding;  // lower case
    uint64_t Size = 0;     // decoded
    std::string Body;      // decoded, when kept
  };

  explicit TArchiveScanner(bool keepBodies) : FKeepBodies(keepBodies) {}
  // false with a reason once the bytes cannot be an archive.
  bool Feed(std::string_view bytes, std::string& error);
  // The end of the bytes: false with a reason when no part was read.
  bool Finish(std::string& error);

  const std::string& Subject() const noexcept { return FSubject; }
  const std::string& ContentType() const noexcept { return FContentType; }
  std::vector<TPart>& Parts() noexcept { return FParts; }

 private:
  enum class TState { TopHeaders, Preamble, PartHeaders, Body, Done };
  bool Line(std::string_view line, std::string& error);
  bool EndOfTopHeaders(std::string& error);
  void BodyBytes(std::string_view bytes);
  void EndPart();

  const bool FKeepBodies;
  TState FState = TState::TopHeaders;
  std::string FLine;           // a line of a header block, or the start of a body line
  bool FBodyLineLong = false;  // this body line is longer than any delimiter
  std::string FHeaderBlock;    // the current header block, lines joined with LF
  std::string FDelimiter;
  std::string FSubject, FContentType;
  std::vector<TPart> FParts;
  TPart FPart;
  std::string FHeldBreak;  // a body's line break, written only if more body follows
  unsigned FBits = 0;
  int FBitCount = 0;
  bool FBase64Ended = false;
};

std::string DecodeQuotedPrintable(std::string_view text);

}  // namespace tarvik::host
