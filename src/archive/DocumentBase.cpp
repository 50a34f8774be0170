#include "archive/DocumentBase.h"

#include <optional>

namespace tarvik {

namespace {

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

char Lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool StartsNoCase(std::string_view text, size_t at, std::string_view word) noexcept {
  if (text.size() - at < word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k)
    if (Lower(text[at + k]) != word[k]) return false;
  return true;
}

// Whether a start tag of that name begins at `at` ("<head>" but not "<header>").
bool IsStartTag(std::string_view text, size_t at, std::string_view name) noexcept {
  if (at >= text.size() || text[at] != '<' || !StartsNoCase(text, at + 1, name)) return false;
  const size_t after = at + 1 + name.size();
  return after == text.size() || IsSpace(text[after]) || text[after] == '/' || text[after] == '>';
}

// The character references a base address may plausibly carry.
std::string DecodeAttribute(std::string_view value) {
  static constexpr std::pair<std::string_view, char> References[] = {
      {"&amp;", '&'}, {"&quot;", '"'}, {"&#34;", '"'}, {"&#39;", '\''}, {"&apos;", '\''}};
  std::string text;
  for (size_t k = 0; k < value.size();) {
    bool replaced = false;
    if (value[k] == '&') {
      for (const auto& [reference, c] : References) {
        if (StartsNoCase(value, k, reference)) {
          text += c;
          k += reference.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) text += value[k++];
  }
  return text;
}

// Reads the attributes of a tag from `at` (just after its name) to its ">";
// answers the href's value when it has one.
std::optional<std::string> HrefOfTag(std::string_view page, size_t at) {
  while (at < page.size()) {
    while (at < page.size() && (IsSpace(page[at]) || page[at] == '/')) ++at;
    if (at >= page.size() || page[at] == '>') return std::nullopt;
    const size_t nameStart = at;
    while (at < page.size() && !IsSpace(page[at]) && page[at] != '=' && page[at] != '>' && page[at] != '/') ++at;
    const std::string_view name = page.substr(nameStart, at - nameStart);
    while (at < page.size() && IsSpace(page[at])) ++at;
    std::string_view value;
    if (at < page.size() && page[at] == '=') {
      ++at;
      while (at < page.size() && IsSpace(page[at])) ++at;
      if (at < page.size() && (page[at] == '"' || page[at] == '\'')) {
        const size_t close = page.find(page[at], at + 1);
        if (close == std::string_view::npos) return std::nullopt;
        value = page.substr(at + 1, close - at - 1);
        at = close + 1;
      } else {
        const size_t valueStart = at;
        while (at < page.size() && !IsSpace(page[at]) && page[at] != '>') ++at;
        value = page.substr(valueStart, at - valueStart);
      }
    }
    if (name.size() == 4 && StartsNoCase(name, 0, "href")) return DecodeAttribute(value);
  }
  return std::nullopt;
}

// Where the markup construct at `at` ends, for those a base tag may follow
// without changing what they say; npos for anything else.
size_t SkipLeading(std::string_view page, size_t at) {
  if (page.compare(at, 4, "<!--") == 0) {
    const size_t end = page.find("-->", at + 4);
    return end == std::string_view::npos ? end : end + 3;
  }
  const bool declaration = page.compare(at, 2, "<!") == 0 || page.compare(at, 2, "<?") == 0;
  if (declaration || IsStartTag(page, at, "html") || IsStartTag(page, at, "head") || IsStartTag(page, at, "meta")) {
    const size_t end = page.find('>', at);
    return end == std::string_view::npos ? end : end + 1;
  }
  return std::string_view::npos;
}

struct TUrlParts {
  std::string_view Scheme;
  std::optional<std::string_view> Authority, Query, Fragment;
  std::string_view Path;
};

TUrlParts SplitUrl(std::string_view url) {
  TUrlParts parts;
  if (HasScheme(url)) {
    const size_t colon = url.find(':');
    parts.Scheme = url.substr(0, colon);
    url.remove_prefix(colon + 1);
  }
  if (const size_t hash = url.find('#'); hash != std::string_view::npos) {
    parts.Fragment = url.substr(hash + 1);
    url = url.substr(0, hash);
  }
  if (const size_t question = url.find('?'); question != std::string_view::npos) {
    parts.Query = url.substr(question + 1);
    url = url.substr(0, question);
  }
  if (url.substr(0, 2) == "//") {
    const size_t slash = url.find('/', 2);
    parts.Authority = url.substr(2, slash == std::string_view::npos ? std::string_view::npos : slash - 2);
    url = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  }
  parts.Path = url;
  return parts;
}

std::string RemoveDotSegments(std::string_view path) {
  std::string output;
  while (!path.empty()) {
    if (path.substr(0, 3) == "../") {
      path.remove_prefix(3);
    } else if (path.substr(0, 2) == "./") {
      path.remove_prefix(2);
    } else if (path.substr(0, 3) == "/./" || path == "/.") {
      path = path.size() == 2 ? std::string_view("/") : path.substr(2);
    } else if (path.substr(0, 4) == "/../" || path == "/..") {
      path = path.size() == 3 ? std::string_view("/") : path.substr(3);
      const size_t last = output.rfind('/');
      output.erase(last == std::string::npos ? 0 : last);
    } else if (path == "." || path == "..") {
      path = {};
    } else {
      const size_t next = path.find('/', path[0] == '/' ? 1 : 0);
      const size_t length = next == std::string_view::npos ? path.size() : next;
      output.append(path.substr(0, length));
      path.remove_prefix(length);
    }
  }
  return output;
}

}  // namespace

TOwnBase FindOwnBase(std::string_view page) {
  TOwnBase own;
  for (size_t at = page.find('<'); at != std::string_view::npos; at = page.find('<', at + 1)) {
    if (!IsStartTag(page, at, "base")) continue;
    if (std::optional<std::string> href = HrefOfTag(page, at + 5)) {
      own.Found = true;
      own.Start = at;
      own.Href = std::move(*href);
      return own;
    }
  }
  return own;
}

size_t EarlyTagPosition(std::string_view page) {
  if (page.substr(0, 2) == "\xFF\xFE" || page.substr(0, 2) == "\xFE\xFF") return std::string_view::npos;
  size_t at = page.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  for (;;) {
    size_t next = at;
    while (next < page.size() && IsSpace(page[next])) ++next;
    if (next >= page.size() || page[next] != '<') return at;
    const size_t end = SkipLeading(page, next);
    if (end == std::string_view::npos) return at;
    at = end;
  }
}

bool HasScheme(std::string_view reference) {
  if (reference.empty() || !((reference[0] | 0x20) >= 'a' && (reference[0] | 0x20) <= 'z')) return false;
  for (const char c : reference.substr(1)) {
    if (c == ':') return true;
    const bool schemeChar =
        ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!schemeChar) return false;
  }
  return false;
}

std::string ResolveReference(std::string_view base, std::string_view reference) {
  // Browsers drop the blanks around an address and the line breaks and tabs inside it.
  while (!reference.empty() && IsSpace(reference.front())) reference.remove_prefix(1);
  while (!reference.empty() && IsSpace(reference.back())) reference.remove_suffix(1);
  std::string cleaned;
  for (const char c : reference)
    if (c != '\t' && c != '\n' && c != '\r') cleaned += c;
  const TUrlParts ref = SplitUrl(cleaned);
  const TUrlParts from = SplitUrl(base);
  std::optional<std::string_view> authority = from.Authority, query = ref.Query;
  std::string path;
  if (!ref.Scheme.empty())
    return std::string(ref.Scheme) + ":" + (ref.Authority ? "//" + std::string(*ref.Authority) : "") +
           RemoveDotSegments(ref.Path) + (ref.Query ? "?" + std::string(*ref.Query) : "") +
           (ref.Fragment ? "#" + std::string(*ref.Fragment) : "");
  if (ref.Authority) {
    authority = ref.Authority;
    path = RemoveDotSegments(ref.Path);
  } else if (ref.Path.empty()) {
    path = std::string(from.Path);
    if (!query) query = from.Query;
  } else if (ref.Path.front() == '/') {
    path = RemoveDotSegments(ref.Path);
  } else {
    const size_t slash = from.Path.rfind('/');
    const std::string folder = slash == std::string_view::npos ? std::string(from.Authority ? "/" : "")
                                                               : std::string(from.Path.substr(0, slash + 1));
    path = RemoveDotSegments(folder + std::string(ref.Path));
  }
  std::string result = std::string(from.Scheme) + ":";
  if (authority) result += "//" + std::string(*authority);
  result += path;
  if (query) result += "?" + std::string(*query);
  if (ref.Fragment) result += "#" + std::string(*ref.Fragment);
  return result;
}

}  // namespace tarvik
