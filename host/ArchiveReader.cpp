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
    if (!headers.count(last))
      headers[last] = Trim(line.substr(colon + 1));
    else
      last.clear();  // the first of two fields wins
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
  TArchiveScanner scanner(true);
  const bool ok = scanner.Feed(bytes, error) && scanner.Finish(error);
  archive.Subject = scanner.Subject();
  archive.ContentType = scanner.ContentType();
  for (TArchiveScanner::TPart& part : scanner.Parts())
    archive.Parts.push_back({part.ContentType, part.ContentLocation, part.Encoding, std::move(part.Body)});
  return ok;
}

bool TArchiveScanner::Feed(std::string_view bytes, std::string& error) {
  while (!bytes.empty() && FState != TState::Done) {
    const size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline == std::string_view::npos ? bytes.size() : newline + 1);
    bytes.remove_prefix(piece.size());
    const bool ended = piece.back() == '\n';
    if (FState == TState::Body && FBodyLineLong) {
      // Past any delimiter's length: body bytes, whatever follows.
      BodyBytes(piece);
      if (ended) FBodyLineLong = false;
      continue;
    }
    FLine.append(piece);
    if (FState == TState::Body && !ended && FLine.size() > FDelimiter.size() + 4) {
      BodyBytes(FLine);
      FLine.clear();
      FBodyLineLong = true;
      continue;
    }
    if (!ended) continue;
    std::string line;
    line.swap(FLine);
    if (!Line(line, error)) return false;
  }
  return true;
}

bool TArchiveScanner::Line(std::string_view line, std::string& error) {
  std::string_view text = line;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  switch (FState) {
    case TState::TopHeaders:
      if (!text.empty()) {
        FHeaderBlock.append(text).append("\n");
        return true;
      }
      return EndOfTopHeaders(error);
    case TState::Preamble:
      if (text == FDelimiter) FState = TState::PartHeaders;
      if (text == FDelimiter + "--") FState = TState::Done;
      return true;
    case TState::PartHeaders: {
      if (!text.empty()) {
        FHeaderBlock.append(text).append("\n");
        return true;
      }
      size_t pos = 0;
      auto headers = ReadHeaders(FHeaderBlock, pos);
      FHeaderBlock.clear();
      FPart = TPart{headers["content-type"], headers["content-location"], Lower(headers["content-transfer-encoding"])};
      FState = TState::Body;
      return true;
    }
    case TState::Body:
      if (text == FDelimiter || text == FDelimiter + "--") {
        EndPart();
        FState = text == FDelimiter ? TState::PartHeaders : TState::Done;
        return true;
      }
      BodyBytes(line);
      return true;
    case TState::Done:
      return true;
  }
  return true;
}

bool TArchiveScanner::EndOfTopHeaders(std::string& error) {
  size_t pos = 0;
  auto headers = ReadHeaders(FHeaderBlock, pos);
  FHeaderBlock.clear();
  FSubject = headers["subject"];
  FContentType = headers["content-type"];
  if (Lower(FContentType).rfind("multipart/", 0) != 0) {
    error = "not a MIME multipart archive (Content-Type: " + FContentType + ")";
    return false;
  }
  const std::string boundary = Parameter(FContentType, "boundary");
  if (boundary.empty()) {
    error = "the archive names no boundary";
    return false;
  }
  FDelimiter = "--" + boundary;
  FState = TState::Preamble;
  return true;
}

void TArchiveScanner::BodyBytes(std::string_view bytes) {
  if (FPart.Encoding == "base64") {
    for (const char c : bytes) {
      int d;
      if (c >= 'A' && c <= 'Z')
        d = c - 'A';
      else if (c >= 'a' && c <= 'z')
        d = c - 'a' + 26;
      else if (c >= '0' && c <= '9')
        d = c - '0' + 52;
      else if (c == '+')
        d = 62;
      else if (c == '/')
        d = 63;
      else if (c == '=') {
        FBase64Ended = true;
        continue;
      } else
        continue;  // line breaks and blanks
      if (FBase64Ended) continue;
      FBits = (FBits << 6) | static_cast<unsigned>(d);
      FBitCount += 6;
      if (FBitCount >= 8) {
        FBitCount -= 8;
        ++FPart.Size;
        if (FKeepBodies) FPart.Body += static_cast<char>((FBits >> FBitCount) & 0xFF);
      }
    }
    return;
  }
  // The line break before a delimiter belongs to the delimiter, not the body.
  std::string text = FHeldBreak;
  FHeldBreak.clear();
  text.append(bytes);
  if (!text.empty() && text.back() == '\n') {
    const size_t cut = text.size() >= 2 && text[text.size() - 2] == '\r' ? 2 : 1;
    FHeldBreak = text.substr(text.size() - cut);
    text.resize(text.size() - cut);
  }
  if (FPart.Encoding == "quoted-printable") {
    if (!text.empty() && text.back() == '=') {  // a soft line break
      text.pop_back();
      FHeldBreak.clear();
    }
    text = DecodeQuotedPrintable(text);
  }
  FPart.Size += text.size();
  if (FKeepBodies) FPart.Body += text;
}

void TArchiveScanner::EndPart() {
  FParts.push_back(std::move(FPart));
  FPart = TPart{};
  FHeldBreak.clear();
  FBits = 0;
  FBitCount = 0;
  FBase64Ended = false;
}

bool TArchiveScanner::Finish(std::string& error) {
  if (FState == TState::TopHeaders && !EndOfTopHeaders(error)) return false;
  if (FState == TState::Body) {
    if (!FLine.empty()) BodyBytes(FLine);
    FLine.clear();
    EndPart();  // no closing delimiter: the parts read so far
  }
  if (FParts.empty()) {
    error = "the archive holds no parts";
    return false;
  }
  return true;
}

}  // namespace tarvik::host
