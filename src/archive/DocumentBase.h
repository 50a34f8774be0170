#pragma once
// What a page's own markup says about its base address, read from its first
// bytes the way a browser's parser would, so that the composer can place a
// base tag of its own where it changes nothing the page says.
#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik {

// The page's first <base> element that carries an href: only the first one
// counts for a browser.
struct TOwnBase {
  bool Found = false;
  size_t Start = 0;  // where its "<" stands
  std::string Href;  // the attribute's value, character references for "&" and quotes decoded
};
TOwnBase FindOwnBase(std::string_view page);

// Where a tag can stand before anything that names an address: after a byte
// order mark, comments, the doctype (a tag before it would switch the page
// to quirks mode), the <html> and <head> start tags and the <meta> tags that
// follow them (so that a charset declaration stays where a reader's first
// look finds it). npos for a page in UTF-16, where no ASCII tag belongs.
size_t EarlyTagPosition(std::string_view page);

// Whether a reference carries its own scheme ("http:", "mailto:").
bool HasScheme(std::string_view reference);

// The reference resolved against an absolute base, as the web resolves it
// (a path merged with the base's folder, "." and ".." segments removed).
std::string ResolveReference(std::string_view base, std::string_view reference);

}  // namespace tarvik
