#pragma once
// A fixed environment for composing archives in tests, memory-backed cache
// files, and a reader that splits an archive back into its parts.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/WebArchive.h"

namespace tarvik::test {

inline constexpr char FixedArchiveID[] = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

// Cache files held in memory; names in Unreadable exist but fail to open,
// names in FailAfter fail after that many bytes were read, names in
// SizeUnknown report a size of 0 whatever they hold.
class TMemoryFileSource final : public TFileSource {
 public:
  std::map<std::string, std::string> Files;
  std::map<std::string, size_t> FailAfter;
  std::vector<std::string> Unreadable;
  std::vector<std::string> SizeUnknown;
  std::unique_ptr<TFileReader> OpenIfExists(const std::string& path) override;
};

// Version "1.2.3.4", the fixed ID, 7 December 2026 09:05:03.250, dates as
// "12/7/2026" and times as "9:05:03 AM"; the sniffer answers by extension.
TArchiveEnvironment FixedEnvironment(TFileSource* files);

struct TArchivePart {
  std::vector<std::string> Headers;                   // "Name: value", in order
  std::string Body;                                   // the raw body, without the line end that closes the part
  std::string Header(const std::string& name) const;  // value of the first such header, or ""
};

struct TParsedArchive {
  std::vector<std::string> Headers;
  std::string Boundary;
  std::vector<TArchivePart> Parts;
  bool Closed = false;  // the closing delimiter was found, with nothing but a line end after it
  std::string Header(const std::string& name) const;
};

// Splits an archive as a strict reader would: CR LF line ends only,
// delimiter lines compared exactly. Fails the current test on damage.
TParsedArchive ParseArchive(const std::string& archive);
std::string Base64Decode(const std::string& text);

}  // namespace tarvik::test
