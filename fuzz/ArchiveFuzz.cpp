// Composes archives of arbitrary URLs, types, bytes, bases and titles, and
// checks what a strict reader relies on: header lines without stray line
// breaks, exactly one delimiter line per part and alias, every body the
// Base64 of the captured bytes (with the base tag where the type asks for
// it), and the same Base64 from every encoder path.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) lines.push_back(text.substr(at, end - at));
  lines.push_back(text.substr(at));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  const std::string title = in.Text();
  std::vector<std::string> urls, bases;
  TTarvikDataBuffer store;
  const char* types[] = {"text/html", "TEXT/html", "text/HTML; charset=x", "image/png", "", "text/css"};
  for (int n = in.Byte() % 6; n > 0; --n) {
    const std::string url = in.Text();
    TURLContent& record = store.GetURLContent(url);
    if (record.ContentType().empty() && record.Content()->empty()) {
      record.SetContentType(types[in.Byte() % 6]);
      const std::string content = in.Text();
      record.SetContent(content, static_cast<int32_t>(content.size()));
    }
    urls.push_back(url);
    bases.push_back(in.Text());
  }

  // Every encoder path against the reference.
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
  env.ChunkSize = 3 + in.Byte();
  TMemoryOutputStream out;
  const std::string first = urls.empty() ? std::string() : urls.front();
  WriteWebArchive(TURLStringList(first, urls, bases), store, out, title, env);

  const std::string boundary = "--Tarvik-Express-1.0-{00000000-0000-0000-0000-000000000000}";
  const std::vector<std::string> lines = Lines(out.Data());
  for (const std::string& line : lines) {
    if (line.compare(0, 9, "Subject: ") == 0 || line.compare(0, 18, "Content-Location: ") == 0)
      for (char c : line) Check(static_cast<unsigned char>(c) >= 0x20);
  }
  size_t delimiters = 0, closings = 0, aliases = 0;
  for (const std::string& line : lines) {
    delimiters += line == "--" + boundary;
    closings += line == "--" + boundary + "--";
  }
  for (const std::string& url : urls) {
    const std::string& stored = store.GetURLContent(url).URL();
    // No alias that repeats the Content-Location written.
    aliases += PercentEncode(stored) != HeaderValueText(stored);
  }
  Check(delimiters == urls.size() + aliases);
  Check(closings == 1 && lines.size() >= 2 && lines[lines.size() - 2] == "--" + boundary + "--" && lines.back().empty());

  // Each content part's body line, in order.
  size_t line = 0;
  for (size_t i = 0; i < urls.size(); ++i) {
    while (lines[line] != "--" + boundary) ++line;
    ++line;
    const TURLContent::Snapshot rec = store.GetURLContent(urls[i]).Read();
    if (rec.URL.find('#') != std::string::npos) {
      Check(lines[line].compare(0, 18, "Content-Location: ") == 0 && lines[line + 1].empty());
      continue;
    }
    std::string body = rec.Content->Text();
    std::string type = rec.Content->empty() ? "text/plain" : rec.ContentType.empty() ? "text/plain" : rec.ContentType;
    if (IsHtmlContentType(type)) body = ReferenceInject(body, bases[i].empty() ? first : bases[i]);
    Check(lines[line + 1] == "Content-Type: " + HeaderValueText(type));
    Check(lines[line + 2] == "Content-Transfer-Encoding: base64" && lines[line + 3].empty());
    Check(lines[line + 4] == ReferenceBase64(body));
    line += 5;
  }
  return 0;
}
