// Composes archives of arbitrary addresses (fragments, letter case variants,
// percent-encodings), content types (composite and malformed ones too),
// bytes, cache files, bases and titles, then reads them back with a MIME
// split of its own and checks what a reader relies on: header lines without
// stray line breaks, one closing delimiter, every part with bytes decoding
// to the captured bytes (or its cache file's) under its location, no
// composite type, and no empty part where a reader would file a part with
// bytes (by its text or as a web address). Also: the same Base64 from every
// encoder path.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/ContentSniffing.h"
#include "archive/ReaderAddress.h"
#include "archive/SynaCode.h"
#include "archive/WebArchive.h"
#include "fuzz/FuzzInput.h"

namespace {

using namespace tarvik;

using fuzz::Check;
using fuzz::Reader;

std::string ReferenceBase64(const std::string& d) {
  std::string out;
  for (size_t i = 0; i < d.size(); i += 3) {
    const uint32_t b1 = static_cast<unsigned char>(d[i]);
    const uint32_t b2 = i + 1 < d.size() ? static_cast<unsigned char>(d[i + 1]) : 0;
    const uint32_t b3 = i + 2 < d.size() ? static_cast<unsigned char>(d[i + 2]) : 0;
    out += Base64Alphabet[b1 >> 2];
    out += Base64Alphabet[((b1 & 3) << 4) | (b2 >> 4)];
    out += i + 1 < d.size() ? Base64Alphabet[((b2 & 15) << 2) | (b3 >> 6)] : '=';
    out += i + 2 < d.size() ? Base64Alphabet[b3 & 63] : '=';
  }
  return out;
}

std::string ReferenceInject(const std::string& d, std::string base) {
  base = base.substr(0, base.find('?'));
  std::string quoted;
  for (char c : base) quoted += c == '"' ? std::string("%22") : std::string(1, c);
  std::string out;
  for (size_t i = 0; i < d.size();) {
    std::string seven = d.substr(i, 7);
    for (char& c : seven)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (seven == "</head>") {
      out += "<base href=\"" + quoted + "\">\r\n</head>";
      i += 7;
    } else {
      out += d[i++];
    }
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(text.substr(at, end - at));
  lines.push_back(text.substr(at));
  return lines;
}

class TFuzzFiles final : public TFileSource {
 public:
  std::map<std::string, std::string> Files;
  std::unique_ptr<TFileReader> OpenIfExists(const std::string& path) override {
    auto it = Files.find(path);
    if (path.empty() || it == Files.end()) return nullptr;
    struct TReader final : TFileReader {
      std::string Data;
      size_t At = 0;
      size_t Read(char* buffer, size_t size) override {
        const size_t n = std::min(size, Data.size() - At);
        std::memcpy(buffer, Data.data() + At, n);
        At += n;
        return n;
      }
      uint64_t SizeHint() override { return Data.size(); }
    };
    auto reader = std::make_unique<TReader>();
    reader->Data = it->second;
    return reader;
  }
};

// The spellings a page uses: pieces that test fragments, case, escapes.
std::string Address(Reader& in) {
  static const char* const Pieces[] = {"http://h/", "HTTP://H/", "a",  "A", "#",   "#x", "%20",   " ",
                                       "_",         "%5F",       "[",  "]", "%5B", "?",  "q=%E9", "\xE9",
                                       "\t",        ".",         "..", "/", "\\",  "~"};
  if (in.Byte() % 4 == 0) return in.Text();
  std::string url;
  for (int n = in.Byte() % 8; n >= 0; --n) url += Pieces[in.Byte() % 22];
  return url;
}

struct TPart {
  std::map<std::string, std::string> Headers;
  bool HasBody = false;
  std::string Body;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const std::string title = in.Text();
  std::vector<std::string> urls, bases;
  TTarvikDataBuffer store;
  TFuzzFiles files;
  static const char* const Types[] = {"text/html",
                                      "TEXT/html",
                                      "text/HTML; charset=x",
                                      "image/png",
                                      "",
                                      "text/css",
                                      "multipart/related; boundary=\"b\"",
                                      "Message/rfc822",
                                      "bad type",
                                      "text/plain; x=\xE9"};
  for (int n = in.Byte() % 7; n > 0; --n) {
    const std::string url = Address(in);
    TURLContent& record = *store.GetURLContent(url);
    if (record.ContentType().empty() && record.Content()->empty() && in.Byte() % 4) {
      record.SetContentType(Types[in.Byte() % 10]);
      const std::string content = in.Text();
      record.SetContent(content, static_cast<int32_t>(content.size()));
      if (in.Byte() % 3 == 0) {
        // A cache file: the same bytes, other bytes of the same size, or of another size.
        const std::string name = "cache" + std::to_string(files.Files.size());
        std::string cached = content;
        if (in.Byte() % 2 && !cached.empty()) cached[0] ^= 1;
        if (in.Byte() % 3 == 0) cached += "+";
        files.Files[name] = cached;
        record.SetLocalFilename(name);
      }
    }
    urls.push_back(url);
    bases.push_back(in.Text());
  }

  const std::string expect = ReferenceBase64(title);
  for (TBase64Path path : {TBase64Path::Scalar, TBase64Path::SSSE3, TBase64Path::AVX2}) {
    if (!Base64PathAvailable(path)) continue;
    std::string out(Base64EncodedLength(title.size()), '\0');
    Check(Base64EncodeWith(path, title.data(), title.size(), out.data()) == out.data() + out.size());
    Check(out == expect);
  }

  TArchiveEnvironment env;
  env.Version = "1.0";
  env.NewArchiveID = [] { return std::string("{00000000-0000-0000-0000-000000000000}"); };
  env.SniffContentType = [](const std::string& name) { return ContentTypeFromExtension(name); };
  env.Files = &files;
  env.ChunkSize = 3 + in.Byte();
  TMemoryOutputStream out;
  const std::string first = urls.empty() ? std::string() : urls.front();
  WriteWebArchive(TURLStringList(first, urls, bases), store, out, title, env);

  // An independent split: header block, then parts between delimiter lines.
  const std::string boundary = "--Tarvik-Express-1.0-{00000000-0000-0000-0000-000000000000}";
  const std::vector<std::string> lines = Lines(out.Data());
  for (const std::string& line : lines)
    if (line.compare(0, 9, "Subject: ") == 0 || line.compare(0, 18, "Content-Location: ") == 0 ||
        line.compare(0, 14, "Content-Type: ") == 0)
      for (char c : line) Check(static_cast<unsigned char>(c) >= 0x20);
  Check(lines.size() >= 2 && lines[lines.size() - 2] == "--" + boundary + "--" && lines.back().empty());
  std::vector<TPart> parts;
  size_t line = 0;
  while (line < lines.size() && lines[line] != "--" + boundary && lines[line] != "--" + boundary + "--") ++line;
  while (line < lines.size() && lines[line] == "--" + boundary) {
    TPart part;
    for (++line; line < lines.size() && !lines[line].empty(); ++line) {
      const size_t colon = lines[line].find(": ");
      Check(colon != std::string::npos);
      part.Headers[lines[line].substr(0, colon)] = lines[line].substr(colon + 2);
    }
    ++line;  // the empty line that ends the headers
    // A part without a body (an anchor placeholder, an alias) has one empty
    // line before the next delimiter; a body, even an empty one, is a line
    // and the empty line after it.
    auto isDelimiter = [&](size_t at) {
      return at < lines.size() && (lines[at] == "--" + boundary || lines[at] == "--" + boundary + "--");
    };
    if (line < lines.size() && !(lines[line].empty() && isDelimiter(line + 1))) {
      part.HasBody = true;
      part.Body = lines[line++];
      Check(line < lines.size() && lines[line++].empty());  // the line after each body
    } else {
      Check(line < lines.size() && lines[line++].empty());
    }
    parts.push_back(std::move(part));
  }
  Check(line == lines.size() - 2);

  // Where the parts with bytes stand, as either kind of reader files them;
  // an empty part stands only where the model is sure it meets none of them.
  std::set<std::string> written, canonical, unsureTails;
  for (const TPart& part : parts) {
    const auto type = part.Headers.find("Content-Type");
    if (type != part.Headers.end()) Check(!PartContentType(type->second).empty() || type->second == "text/plain");
    if (part.HasBody && !part.Body.empty()) {
      written.insert(part.Headers.at("Content-Location"));
      const TReaderAddress address = ReadAddress(part.Headers.at("Content-Location"));
      if (address.Canonical)
        canonical.insert(*address.Canonical);
      else
        unsureTails.insert(address.Tail);
    }
  }
  for (const TPart& part : parts)
    if (!part.HasBody || part.Body.empty()) {
      const std::string& location = part.Headers.at("Content-Location");
      const TReaderAddress address = ReadAddress(location);
      Check(!written.count(location) && address.Canonical && !canonical.count(*address.Canonical) &&
            !unsureTails.count(address.Tail));
    }

  // Every entry with bytes is there, under its location, with its bytes.
  // Pages found elsewhere than asked, pages fetched where another was found
  // and pages with a base of their own follow rules the unit tests hold.
  auto key = [](const std::string& url) { return CanonicalWebAddress(url).value_or(url); };
  std::set<std::string> foundAt;
  for (const std::string& base : bases) foundAt.insert(key(base));
  auto ownBase = [](const std::string& text) {
    for (size_t k = 0; k + 5 <= text.size(); ++k)
      if (text[k] == '<' && (text[k + 1] | 0x20) == 'b' && (text[k + 2] | 0x20) == 'a' && (text[k + 3] | 0x20) == 's' &&
          (text[k + 4] | 0x20) == 'e')
        return true;
    return false;
  };
  for (size_t i = 0; i < urls.size(); ++i) {
    const TURLContent::Snapshot rec = store.GetURLContent(urls[i])->Read();
    std::string bytes = rec.Content->Text();
    const auto cached = files.Files.find(rec.LocalFilename);
    if (!rec.LocalFilename.empty() && cached != files.Files.end() && !cached->second.empty() &&
        (bytes.empty() || cached->second.size() == bytes.size()))
      bytes = cached->second;
    if (bytes.empty()) continue;
    if ((!bases[i].empty() && bases[i] != urls[i]) || foundAt.count(key(rec.URL)) || ownBase(bytes)) continue;
    bool found = false;
    for (const TPart& part : parts) {
      if (!part.HasBody || part.Headers.at("Content-Location") != HeaderValueText(rec.URL)) continue;
      const std::string& type = part.Headers.at("Content-Type");
      const std::string want =
          IsHtmlContentType(type) ? ReferenceInject(bytes, bases[i].empty() ? first : bases[i]) : bytes;
      found = found || part.Body == ReferenceBase64(want);
    }
    Check(found);
  }
  return 0;
}
