#pragma once
// Reads a single-file web archive (MIME multipart/related) far enough to
// list its parts: each part's location, type and decoded bytes.
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

std::string DecodeBase64(std::string_view text);
std::string DecodeQuotedPrintable(std::string_view text);

}  // namespace tarvik::host
