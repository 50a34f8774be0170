#include "HtmlScanner.h"

#include <algorithm>
#include <cwctype>

namespace tarvik::host {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\f'; }
bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }
bool IsAsciiAlnum(wchar_t c) { return IsAsciiLetter(c) || (c >= L'0' && c <= L'9'); }
wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

std::wstring Lower(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = AsciiLower(c);
  return out;
}

bool StartsWithNoCase(std::wstring_view text, size_t pos, std::wstring_view prefix) {
  if (text.size() - std::min(pos, text.size()) < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (AsciiLower(text[pos + i]) != AsciiLower(prefix[i])) return false;
  return true;
}

size_t FindNoCase(std::wstring_view text, std::wstring_view what, size_t from) {
  for (size_t i = from; i + what.size() <= text.size(); ++i)
    if (StartsWithNoCase(text, i, what)) return i;
  return std::wstring_view::npos;
}

std::wstring Trimmed(std::wstring_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::wstring(text.substr(begin, end - begin));
}

struct TNamedEntity {
  const wchar_t* Name;
  wchar_t Value;
};
constexpr TNamedEntity kEntities[] = {
    {L"amp", L'&'},     {L"lt", L'<'},      {L"gt", L'>'},      {L"quot", L'"'},    {L"apos", L'\''},
    {L"nbsp", 0xA0},    {L"copy", 0xA9},    {L"reg", 0xAE},     {L"trade", 0x2122}, {L"hellip", 0x2026},
    {L"mdash", 0x2014}, {L"ndash", 0x2013}, {L"lsquo", 0x2018}, {L"rsquo", 0x2019}, {L"ldquo", 0x201C},
    {L"rdquo", 0x201D}, {L"euro", 0x20AC},  {L"laquo", 0xAB},   {L"raquo", 0xBB},   {L"middot", 0xB7},
    {L"bull", 0x2022},  {L"deg", 0xB0},     {L"times", 0xD7},   {L"eacute", 0xE9},  {L"egrave", 0xE8},
    {L"aacute", 0xE1},  {L"agrave", 0xE0},  {L"auml", 0xE4},    {L"ouml", 0xF6},    {L"uuml", 0xFC},
    {L"Auml", 0xC4},    {L"Ouml", 0xD6},    {L"Uuml", 0xDC},    {L"szlig", 0xDF},   {L"ccedil", 0xE7},
    {L"ntilde", 0xF1},  {L"oacute", 0xF3},  {L"iacute", 0xED},  {L"uacute", 0xFA},  {L"ecirc", 0xEA},
    {L"sect", 0xA7},    {L"para", 0xB6},    {L"pound", 0xA3},   {L"yen", 0xA5},     {L"cent", 0xA2},
};
// Written without ";" these still count, as in older pages.
constexpr const wchar_t* kLegacyEntities[] = {L"amp", L"lt", L"gt", L"quot", L"nbsp", L"copy", L"reg"};

void AppendCodePoint(std::wstring& out, unsigned long cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (cp >> 10));
    out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<wchar_t>(cp);
  }
}

// One reference at text[pos] == '&': appends its character and returns the
// length read, or 0 when it is not a reference.
size_t DecodeOneEntity(std::wstring_view text, size_t pos, std::wstring& out) {
  size_t i = pos + 1;
  if (i < text.size() && text[i] == L'#') {
    ++i;
    const bool hex = i < text.size() && (text[i] == L'x' || text[i] == L'X');
    if (hex) ++i;
    unsigned long value = 0;
    size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
      const wchar_t c = text[i];
      int d = -1;
      if (c >= L'0' && c <= L'9')
        d = c - L'0';
      else if (hex && c >= L'a' && c <= L'f')
        d = c - L'a' + 10;
      else if (hex && c >= L'A' && c <= L'F')
        d = c - L'A' + 10;
      if (d < 0) break;
      if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
    }
    if (digits == 0) return 0;
    if (i < text.size() && text[i] == L';') ++i;
    AppendCodePoint(out, value);
    return i - pos;
  }
  size_t end = i;
  while (end < text.size() && end - i < 32 && IsAsciiAlnum(text[end])) ++end;
  const std::wstring_view name = text.substr(i, end - i);
  if (name.empty()) return 0;
  const bool terminated = end < text.size() && text[end] == L';';
  if (!terminated) {
    // "&copy=2" in a query string is no reference.
    if (end < text.size() && (IsAsciiAlnum(text[end]) || text[end] == L'=')) return 0;
    if (std::none_of(std::begin(kLegacyEntities), std::end(kLegacyEntities),
                     [&](const wchar_t* legacy) { return name == legacy; }))
      return 0;
  }
  for (const TNamedEntity& entity : kEntities)
    if (name == entity.Name) {
      out += entity.Value;
      return end - pos + (terminated ? 1 : 0);
    }
  return 0;
}

bool IsRawTextElement(const std::wstring& name) {
  return name == L"script" || name == L"style" || name == L"title" || name == L"textarea";
}

bool DecodesRawText(const std::wstring& name) { return name == L"title" || name == L"textarea"; }

}  // namespace

const std::wstring* THtmlToken::Attribute(std::wstring_view name) const {
  for (const THtmlAttribute& attribute : Attributes)
    if (attribute.Name == name) return &attribute.Value;
  return nullptr;
}

std::wstring DecodeEntities(std::wstring_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] == L'&') {
      const size_t used = DecodeOneEntity(text, i, out);
      if (used > 0) {
        i += used;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

std::wstring CollapseWhiteSpace(std::wstring_view text) {
  std::wstring out;
  bool blank = false;
  for (wchar_t c : text) {
    if (IsBlank(c)) {
      blank = !out.empty();
      continue;
    }
    if (blank) out += L' ';
    blank = false;
    out += c;
  }
  return out;
}

bool THtmlScanner::Next(THtmlToken& token) {
  token = THtmlToken{};
  if (!FRawTextEnd.empty()) {
    ReadRawText(token);
    if (!token.Text.empty()) return true;
  }
  while (FPos < FHtml.size()) {
    if (FHtml[FPos] == L'<' && ReadTag(token)) return true;
    // Text up to the next thing that opens a tag; a "<" that opens none is text.
    const size_t start = FPos;
    ++FPos;
    for (;;) {
      FPos = FHtml.find(L'<', FPos);
      if (FPos == std::wstring_view::npos) FPos = FHtml.size();
      if (FPos >= FHtml.size()) break;
      const size_t saved = FPos;
      THtmlToken probe;
      if (ReadTag(probe)) {
        FPos = saved;
        FRawTextEnd.clear();
        break;
      }
      FPos = saved + 1;
    }
    token.Kind = THtmlToken::TKind::Text;
    token.Text = DecodeEntities(FHtml.substr(start, FPos - start));
    return true;
  }
  return false;
}

bool THtmlScanner::ReadTag(THtmlToken& token) {
  const std::wstring_view h = FHtml;
  size_t i = FPos + 1;
  if (i >= h.size()) return false;
  if (h.substr(i, 3) == L"!--") {
    const size_t end = h.find(L"-->", i + 3);
    token.Kind = THtmlToken::TKind::Comment;
    token.Text = std::wstring(h.substr(i + 3, (end == std::wstring_view::npos ? h.size() : end) - (i + 3)));
    FPos = end == std::wstring_view::npos ? h.size() : end + 3;
    return true;
  }
  if (h[i] == L'!' || h[i] == L'?') {  // doctype, processing instruction, bogus comment
    const size_t end = h.find(L'>', i);
    token.Kind = THtmlToken::TKind::Comment;
    token.Text = std::wstring(h.substr(i, (end == std::wstring_view::npos ? h.size() : end) - i));
    FPos = end == std::wstring_view::npos ? h.size() : end + 1;
    return true;
  }
  const bool end = h[i] == L'/';
  if (end) ++i;
  if (i >= h.size() || !IsAsciiLetter(h[i])) return false;
  size_t nameEnd = i;
  while (nameEnd < h.size() && !IsBlank(h[nameEnd]) && h[nameEnd] != L'/' && h[nameEnd] != L'>') ++nameEnd;
  token.Kind = end ? THtmlToken::TKind::EndTag : THtmlToken::TKind::StartTag;
  token.Name = Lower(h.substr(i, nameEnd - i));
  FPos = nameEnd;
  ReadAttributes(token);
  if (end) {
    token.Attributes.clear();
  } else if (IsRawTextElement(token.Name) && !token.SelfClosing) {
    FRawTextEnd = token.Name;
  }
  return true;
}

void THtmlScanner::ReadAttributes(THtmlToken& token) {
  const std::wstring_view h = FHtml;
  while (FPos < h.size()) {
    while (FPos < h.size() && IsBlank(h[FPos])) ++FPos;
    if (FPos >= h.size()) return;
    if (h[FPos] == L'>') {
      ++FPos;
      return;
    }
    if (h[FPos] == L'/') {
      ++FPos;
      if (FPos < h.size() && h[FPos] == L'>') {
        token.SelfClosing = true;
        ++FPos;
        return;
      }
      continue;
    }
    size_t nameEnd = FPos + 1;  // a stray "=" or quote starts a name of its own
    while (nameEnd < h.size() && !IsBlank(h[nameEnd]) && h[nameEnd] != L'/' && h[nameEnd] != L'>' && h[nameEnd] != L'=')
      ++nameEnd;
    THtmlAttribute attribute{Lower(h.substr(FPos, nameEnd - FPos)), L""};
    FPos = nameEnd;
    size_t look = FPos;
    while (look < h.size() && IsBlank(h[look])) ++look;
    if (look < h.size() && h[look] == L'=') {
      FPos = look + 1;
      while (FPos < h.size() && IsBlank(h[FPos])) ++FPos;
      if (FPos < h.size() && (h[FPos] == L'"' || h[FPos] == L'\'')) {
        const wchar_t quote = h[FPos];
        size_t close = h.find(quote, FPos + 1);
        if (close == std::wstring_view::npos) close = h.size();
        attribute.Value = DecodeEntities(h.substr(FPos + 1, close - FPos - 1));
        FPos = std::min(close + 1, h.size());
      } else {
        size_t valueEnd = FPos;
        while (valueEnd < h.size() && !IsBlank(h[valueEnd]) && h[valueEnd] != L'>') ++valueEnd;
        attribute.Value = DecodeEntities(h.substr(FPos, valueEnd - FPos));
        FPos = valueEnd;
      }
    }
    // The first of two attributes with one name wins.
    if (!token.Attribute(attribute.Name)) token.Attributes.push_back(std::move(attribute));
  }
}

void THtmlScanner::ReadRawText(THtmlToken& token) {
  size_t end = FPos;
  for (;;) {
    end = FindNoCase(FHtml, L"</" + FRawTextEnd, end);
    if (end == std::wstring_view::npos) {
      end = FHtml.size();
      break;
    }
    const size_t after = end + 2 + FRawTextEnd.size();
    if (after >= FHtml.size() || IsBlank(FHtml[after]) || FHtml[after] == L'>' || FHtml[after] == L'/') break;
    ++end;  // "</scripts" does not close "script"
  }
  token.Kind = THtmlToken::TKind::Text;
  const std::wstring_view raw = FHtml.substr(FPos, end - FPos);
  token.Text = DecodesRawText(FRawTextEnd) ? DecodeEntities(raw) : std::wstring(raw);
  FPos = end;
  FRawTextEnd.clear();
}

THtmlPage ScanHtmlPage(std::wstring_view html) {
  THtmlPage page;
  THtmlScanner scanner(html);
  THtmlToken token;
  std::wstring text, openRawText;
  bool titleSeen = false, baseSeen = false;
  auto addResource = [&](THtmlResourceRef::TKind kind, const std::wstring* url) {
    if (!url) return;
    std::wstring value = Trimmed(*url);
    if (!value.empty()) page.Resources.push_back({kind, std::move(value)});
  };
  while (scanner.Next(token)) {
    switch (token.Kind) {
      case THtmlToken::TKind::Comment:
        break;
      case THtmlToken::TKind::EndTag:
        openRawText.clear();
        break;
      case THtmlToken::TKind::Text:
        if (openRawText == L"title") {
          if (!titleSeen) page.Title = CollapseWhiteSpace(token.Text);
          titleSeen = true;
        } else if (openRawText == L"style") {
          page.InlineStyles.push_back(token.Text);
        } else if (openRawText != L"script") {
          text += token.Text;
          text += L' ';
        }
        break;
      case THtmlToken::TKind::StartTag: {
        const std::wstring& n = token.Name;
        openRawText = IsRawTextElement(n) && !token.SelfClosing ? n : L"";
        if (const std::wstring* style = token.Attribute(L"style")) page.InlineStyles.push_back(*style);
        if (n == L"base") {
          const std::wstring* href = token.Attribute(L"href");
          if (href && !baseSeen) page.BaseHref = Trimmed(*href);
          baseSeen = baseSeen || href;
        } else if (n == L"a" || n == L"area") {
          const std::wstring* name = token.Attribute(L"name");
          const std::wstring* href = token.Attribute(L"href");
          THtmlElementRef element{name ? *name : L"", href ? Trimmed(*href) : L"", href != nullptr, n == L"area"};
          if (name && n == L"a") page.Anchors.push_back(element);
          if (href) page.Links.push_back(element);
        } else if (n == L"frame" || n == L"iframe") {
          const std::wstring* src = token.Attribute(L"src");
          if (src && !Trimmed(*src).empty()) page.Frames.push_back(Trimmed(*src));
        } else if (n == L"img") {
          addResource(THtmlResourceRef::TKind::Image, token.Attribute(L"src"));
        } else if (n == L"input") {
          const std::wstring* type = token.Attribute(L"type");
          if (type && Lower(Trimmed(*type)) == L"image")
            addResource(THtmlResourceRef::TKind::Image, token.Attribute(L"src"));
        } else if (n == L"script") {
          addResource(THtmlResourceRef::TKind::Script, token.Attribute(L"src"));
        } else if (n == L"link") {
          const std::wstring* rel = token.Attribute(L"rel");
          if (rel) {
            const std::wstring words = L" " + CollapseWhiteSpace(Lower(*rel)) + L" ";
            if (words.find(L" stylesheet ") != std::wstring::npos)
              addResource(THtmlResourceRef::TKind::StyleSheet, token.Attribute(L"href"));
          }
        }
        if (n == L"body" || n == L"table" || n == L"td" || n == L"th")
          addResource(THtmlResourceRef::TKind::Image, token.Attribute(L"background"));
        break;
      }
    }
  }
  page.Text = CollapseWhiteSpace(text);
  return page;
}

std::vector<TCssReference> ScanCss(std::wstring_view css) {
  std::vector<TCssReference> references;
  auto readUrlFunction = [&](size_t& i, bool import) {  // i just after "url("
    while (i < css.size() && IsBlank(css[i])) ++i;
    std::wstring value;
    if (i < css.size() && (css[i] == L'"' || css[i] == L'\'')) {
      const wchar_t quote = css[i];
      size_t close = css.find(quote, i + 1);
      if (close == std::wstring_view::npos) close = css.size();
      value.assign(css.substr(i + 1, close - i - 1));
      i = close + 1;
    }
    size_t close = css.find(L')', std::min(i, css.size()));
    if (close == std::wstring_view::npos) close = css.size();
    if (value.empty()) value = Trimmed(css.substr(std::min(i, css.size()), close - std::min(i, css.size())));
    i = close + 1;
    value = Trimmed(value);
    if (!value.empty()) references.push_back({value, import});
  };
  for (size_t i = 0; i < css.size();) {
    if (css.substr(i, 2) == L"/*") {
      const size_t end = css.find(L"*/", i + 2);
      i = end == std::wstring_view::npos ? css.size() : end + 2;
    } else if (StartsWithNoCase(css, i, L"@import")) {
      i += 7;
      while (i < css.size() && IsBlank(css[i])) ++i;
      if (StartsWithNoCase(css, i, L"url(")) {
        i += 4;
        readUrlFunction(i, true);
      } else if (i < css.size() && (css[i] == L'"' || css[i] == L'\'')) {
        const wchar_t quote = css[i];
        size_t close = css.find(quote, i + 1);
        if (close == std::wstring_view::npos) close = css.size();
        std::wstring value = Trimmed(css.substr(i + 1, close - i - 1));
        if (!value.empty()) references.push_back({value, true});
        i = close + 1;
      }
    } else if (StartsWithNoCase(css, i, L"url(") &&
               (i == 0 || !(IsAsciiAlnum(css[i - 1]) || css[i - 1] == L'-' || css[i - 1] == L'_'))) {
      i += 4;
      readUrlFunction(i, false);
    } else {
      ++i;
    }
  }
  return references;
}

std::string CharsetOfContentType(std::string_view contentType) {
  std::string lower(contentType);
  for (char& c : lower) c = static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
  size_t i = lower.find("charset");
  if (i == std::string::npos) return {};
  i += 7;
  while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t')) ++i;
  if (i >= lower.size() || lower[i] != '=') return {};
  ++i;
  while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t' || lower[i] == '"' || lower[i] == '\'')) ++i;
  size_t end = i;
  while (end < lower.size() && lower[end] != ';' && lower[end] != '"' && lower[end] != '\'' && lower[end] != ' ' &&
         lower[end] != '\t')
    ++end;
  return lower.substr(i, end - i);
}

std::string SniffMetaCharset(std::string_view bytes) {
  // Declarations are ASCII: the bytes read as Latin-1 are enough to find them.
  const std::string_view head = bytes.substr(0, std::min<size_t>(bytes.size(), 4096));
  std::wstring widened(head.begin(), head.end());
  for (size_t i = 0; i < head.size(); ++i) widened[i] = static_cast<unsigned char>(head[i]);
  THtmlScanner scanner(widened);
  THtmlToken token;
  while (scanner.Next(token)) {
    if (token.Kind != THtmlToken::TKind::StartTag) continue;
    if (token.Name == L"body") break;
    if (token.Name != L"meta") continue;
    std::wstring declared;
    if (const std::wstring* charset = token.Attribute(L"charset")) {
      declared = L"charset=" + *charset;
    } else if (const std::wstring* equiv = token.Attribute(L"http-equiv");
               equiv && Lower(Trimmed(*equiv)) == L"content-type" && token.Attribute(L"content")) {
      declared = *token.Attribute(L"content");
    }
    std::string narrow;
    for (wchar_t c : declared) narrow += static_cast<char>(c < 0x80 ? c : '?');
    std::string charset = CharsetOfContentType(narrow);
    if (!charset.empty()) return charset;
  }
  return {};
}

}  // namespace tarvik::host
