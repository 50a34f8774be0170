#pragma once
// A small tolerant HTML scanner: what a browser needs of a page to fetch it
// and to answer its object model (title, base, anchors, links, frames,
// subresources, style sheets). It never fails: malformed markup is read the
// way browsers read it, as far as this host needs.
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::host {

struct THtmlAttribute {
  std::wstring Name;   // lower case
  std::wstring Value;  // entities decoded
};

struct THtmlToken {
  enum class TKind { Text, StartTag, EndTag, Comment };
  TKind Kind = TKind::Text;
  std::wstring Name;  // tags: lower case
  std::vector<THtmlAttribute> Attributes;
  std::wstring Text;  // text (entities decoded, except in script and style) and comments
  bool SelfClosing = false;

  // The value of an attribute, or nullptr when the tag has none of that name.
  const std::wstring* Attribute(std::wstring_view name) const;
};

// Splits markup into tokens, one at a time.
class THtmlScanner {
 public:
  explicit THtmlScanner(std::wstring_view html) : FHtml(html) {}
  bool Next(THtmlToken& token);

 private:
  bool ReadTag(THtmlToken& token);
  void ReadAttributes(THtmlToken& token);
  void ReadRawText(THtmlToken& token);

  std::wstring_view FHtml;
  size_t FPos = 0;
  std::wstring FRawTextEnd;  // after <script>, <style>, <title>, <textarea>: the element whose end closes it
};

// Character references: named ones a page commonly uses, decimal and
// hexadecimal; anything unknown stays as written.
std::wstring DecodeEntities(std::wstring_view text);

// Blanks run together into one space; leading and trailing blanks dropped.
std::wstring CollapseWhiteSpace(std::wstring_view text);

struct THtmlElementRef {
  std::wstring Name;  // the name attribute (anchors)
  std::wstring Href;  // as written; HasHref tells an empty one from none
  bool HasHref = false;
  bool IsArea = false;  // an image-map area, not an anchor element
};

struct THtmlResourceRef {
  enum class TKind { Image, Script, StyleSheet };
  TKind Kind;
  std::wstring Url;  // as written
};

// The parts of a page that a browser acts on, in document order.
struct THtmlPage {
  std::wstring Title;
  std::wstring BaseHref;                    // the first <base href>, as written
  std::vector<THtmlElementRef> Anchors;     // <a name=...>
  std::vector<THtmlElementRef> Links;       // <a href> and <area href>
  std::vector<std::wstring> Frames;         // <frame src>, <iframe src>
  std::vector<THtmlResourceRef> Resources;  // img, input image, script, link stylesheet, background
  std::vector<std::wstring> InlineStyles;   // <style> contents and style attributes
  std::wstring Text;                        // the visible text, collapsed
};

THtmlPage ScanHtmlPage(std::wstring_view html);

struct TCssReference {
  std::wstring Url;
  bool Import = false;  // @import: a style sheet, else an image or font
};

// url(...) and @import references of a style sheet, comments skipped.
std::vector<TCssReference> ScanCss(std::wstring_view css);

// The charset a page declares in a <meta> near its start, read as bytes
// (lower case, empty when none).
std::string SniffMetaCharset(std::string_view bytes);
// The charset parameter of a Content-Type value (lower case, empty when none).
std::string CharsetOfContentType(std::string_view contentType);

}  // namespace tarvik::host
