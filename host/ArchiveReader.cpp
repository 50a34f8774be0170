#include "ArchiveReader.h"

#include <cctype>
#include <map>

namespace tarvik::host {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return std::string(text.substr(begin, end - begin));
}

// One line without its line break; pos moves past it.
std::string_view NextLine(std::string_view text, size_t& pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(pos, end - pos);
  pos = std::min(end + 1, text.size());
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Header fields up to the first empty line, folded lines joined; names in lower case.
std::map<std::string, std::string> ReadHeaders(std::string_view text, size_t& pos) {
  std::map<std::string, std::string> headers;
  std::string last;
  while (pos < text.size()) {
    const std::string_view line = NextLine(text, pos);
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !last.empty()) {
      headers[last] += " " + Trim(line);
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    last = Lower(Trim(line.substr(0, colon)));
    if (!headers.count(last)) headers[last] = Trim(line.substr(colon + 1));
    else last.clear();  // the first of two fields wins
  }
  return headers;
}

std::string Parameter(const std::string& value, const std::string& name) {
  const std::string lower = Lower(value);
  size_t at = 0;
  while ((at = lower.find(name, at)) != std::string::npos) {
    const bool starts = at == 0 || lower[at - 1] == ';' || lower[at - 1] == ' ' || lower[at - 1] == '\t';
    size_t i = at + name.size();
    while (i < lower.size() && lower[i] == ' ') ++i;
    if (!starts || i >= lower.size() || lower[i] != '=') {
      at = i;
      continue;
    }
    ++i;
    while (i < value.size() && value[i] == ' ') ++i;
    if (i < value.size() && value[i] == '"') {
      const size_t close = value.find('"', i + 1);
      return value.substr(i + 1, (close == std::string::npos ? value.size() : close) - i - 1);
    }
    size_t end = i;
    while (end < value.size() && value[end] != ';' && value[end] != ' ') ++end;
    return value.substr(i, end - i);
  }
  return {};
}

}  // namespace

std::string DecodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    int d;
    if (c >= 'A' && c <= 'Z') d = c - 'A';
    else if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
    else if (c >= '0' && c <= '9') d = c - '0' + 52;
    else if (c == '+') d = 62;
    else if (c == '/') d = 63;
    else if (c == '=') break;
    else continue;  // line breaks and blanks
    value = (value << 6) | static_cast<unsigned>(d);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return out;
}

std::string DecodeQuotedPrintable(std::string_view text) {
  std::string out;
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') {
      out += text[i];
    } else if (i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r')) {
      i += (text[i + 1] == '\r' && i + 2 < text.size() && text[i + 2] == '\n') ? 2 : 1;  // soft line break
    } else if (i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += '=';
    }
  }
  return out;
}

bool ReadArchive(std::string_view bytes, TArchive& archive, std::string& error) {
  archive = TArchive{};
  size_t pos = 0;
  auto headers = ReadHeaders(bytes, pos);
  archive.Subject = headers["subject"];
  archive.ContentType = headers["content-type"];
  if (Lower(archive.ContentType).rfind("multipart/", 0) != 0) {
    error = "not a MIME multipart archive (Content-Type: " + archive.ContentType + ")";
    return false;
  }
  const std::string boundary = Parameter(archive.ContentType, "boundary");
  if (boundary.empty()) {
    error = "the archive names no boundary";
    return false;
  }
  const std::string delimiter = "--" + boundary;
  // Each part runs from the line after one delimiter to the line break before the next.
  size_t start = std::string_view::npos;
  while (pos < bytes.size()) {
    const size_t lineStart = pos;
    const std::string_view line = NextLine(bytes, pos);
    const bool close = line == delimiter + "--";
    if (line != delimiter && !close) continue;
    if (start != std::string_view::npos) {
      size_t end = lineStart;
      if (end > start && bytes[end - 1] == '\n') --end;
      if (end > start && bytes[end - 1] == '\r') --end;
      const std::string_view part = bytes.substr(start, end - start);
      size_t bodyPos = 0;
      auto partHeaders = ReadHeaders(part, bodyPos);
      TArchivePart entry{partHeaders["content-type"], partHeaders["content-location"],
                         Lower(partHeaders["content-transfer-encoding"]), {}};
      const std::string_view body = part.substr(std::min(bodyPos, part.size()));
      if (entry.Encoding == "base64") entry.Body = DecodeBase64(body);
      else if (entry.Encoding == "quoted-printable") entry.Body = DecodeQuotedPrintable(body);
      else entry.Body.assign(body);
      archive.Parts.push_back(std::move(entry));
    }
    if (close) return true;
    start = pos;
  }
  if (archive.Parts.empty()) {
    error = "the archive holds no parts";
    return false;
  }
  return true;  // no closing delimiter: the parts read so far
}

}  // namespace tarvik::host
