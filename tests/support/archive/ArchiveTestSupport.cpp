#include "support/archive/ArchiveTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/ContentSniffing.h"
#include "archive/SynaCode.h"
#include "framework/Trace.h"

namespace tarvik::test {

namespace {

class TMemoryFileReader final : public TFileReader {
 public:
  TMemoryFileReader(std::string path, std::string data, size_t failAfter, bool sizeKnown)
      : FPath(std::move(path)), FData(std::move(data)), FFailAfter(failAfter), FSizeKnown(sizeKnown) {}
  size_t Read(char* buffer, size_t size) override {
    if (FAt >= FFailAfter) throw TFileError(FPath, EIO, "Cannot read file \"" + FPath + "\": I/O error");
    const size_t n = std::min({size, FData.size() - FAt, FFailAfter - FAt});
    std::memcpy(buffer, FData.data() + FAt, n);
    FAt += n;
    return n;
  }
  uint64_t SizeHint() override { return FSizeKnown ? FData.size() : 0; }

 private:
  std::string FPath;
  std::string FData;
  size_t FFailAfter;
  bool FSizeKnown;
  size_t FAt = 0;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (;;) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back(text.substr(at));
      return lines;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
}

std::string HeaderValue(const std::vector<std::string>& headers, const std::string& name) {
  for (const std::string& h : headers)
    if (h.compare(0, name.size() + 2, name + ": ") == 0) return h.substr(name.size() + 2);
  return std::string();
}

}  // namespace

std::unique_ptr<TFileReader> TMemoryFileSource::OpenIfExists(const std::string& path) {
  for (const std::string& name : Unreadable)
    if (name == path) throw TFileError(path, EACCES, "Cannot open file \"" + path + "\": Permission denied");
  auto it = Files.find(path);
  if (it == Files.end()) return nullptr;
  auto fail = FailAfter.find(path);
  const bool sizeKnown = std::find(SizeUnknown.begin(), SizeUnknown.end(), path) == SizeUnknown.end();
  return std::make_unique<TMemoryFileReader>(path, it->second, fail == FailAfter.end() ? SIZE_MAX : fail->second,
                                             sizeKnown);
}

TArchiveEnvironment FixedEnvironment(TFileSource* files) {
  TArchiveEnvironment env;
  env.Version = "1.2.3.4";
  env.NewArchiveID = [] { return std::string(FixedArchiveID); };
  env.Now = [] { return TLocalDateTime{2026, 12, 7, 9, 5, 3, 250}; };
  env.FormatShortDate = [](const TLocalDateTime& t) { return Format("%d/%d/%d", t.Month, t.Day, t.Year); };
  env.FormatLongTime = [](const TLocalDateTime& t) {
    return Format("%d:%02d:%02d %s", t.Hour % 12 == 0 ? 12 : t.Hour % 12, t.Minute, t.Second,
                  t.Hour < 12 ? "AM" : "PM");
  };
  env.SniffContentType = [](const std::string& name) { return ContentTypeFromExtension(name); };
  env.Files = files;
  return env;
}

std::string TArchivePart::Header(const std::string& name) const { return HeaderValue(Headers, name); }
std::string TParsedArchive::Header(const std::string& name) const { return HeaderValue(Headers, name); }

TParsedArchive ParseArchive(const std::string& archive) {
  TParsedArchive result;
  const std::vector<std::string> lines = SplitLines(archive);
  size_t i = 0;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    EXPECT_EQ(lines[i].find_first_of(std::string("\r\n\0", 3)), std::string::npos) << "header line " << i;
    result.Headers.push_back(lines[i]);
  }
  const std::string type = result.Header("Content-Type");
  const std::string prefix = "multipart/related; boundary= \"";
  EXPECT_EQ(type.compare(0, prefix.size(), prefix), 0) << type;
  if (type.size() > prefix.size() + 1) result.Boundary = type.substr(prefix.size(), type.size() - prefix.size() - 1);
  const std::string delimiter = "--" + result.Boundary;
  const std::string closing = delimiter + "--";
  TArchivePart* part = nullptr;
  bool inBody = false;
  std::vector<std::string> body;
  auto endPart = [&] {
    if (!part) return;
    // The line end before a delimiter belongs to the delimiter: the body is
    // every line up to it, and the composer adds one empty line after a body.
    std::string text;
    for (size_t k = 0; k < body.size(); ++k) text += (k ? "\r\n" : "") + body[k];
    part->Body = text;
    body.clear();
  };
  for (++i; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line == closing) {
      endPart();
      result.Closed = true;
      EXPECT_EQ(i + 2, lines.size()) << "bytes after the closing delimiter";
      if (i + 1 < lines.size()) {
        EXPECT_EQ(lines[i + 1], "");
      }
      break;
    }
    if (line == delimiter) {
      endPart();
      result.Parts.emplace_back();
      part = &result.Parts.back();
      inBody = false;
      continue;
    }
    EXPECT_NE(part, nullptr) << "text before the first delimiter: " << line.substr(0, 80);
    if (!part) continue;
    if (!inBody) {
      if (line.empty())
        inBody = true;
      else
        part->Headers.push_back(line);
    } else {
      body.push_back(line);
    }
  }
  EXPECT_TRUE(result.Closed) << "no closing delimiter";
  return result;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const char* at = std::strchr(Base64Alphabet, c);
    if (c == '=' || !at || c == '\0') continue;
    bits = (bits << 6) | static_cast<uint32_t>(at - Base64Alphabet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

}  // namespace tarvik::test
