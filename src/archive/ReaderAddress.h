#pragma once
// The address under which a browser that renders an archive files a part,
// so that the composer can tell when an empty part would stand where a part
// with bytes stands (the later, empty one would hide it). The browser reads
// a Content-Location as UTF-8 when it is valid UTF-8, otherwise as Latin-1,
// and writes it in canonical form before it files the part and again before
// it looks a resource up: "a b.png" and "a%20b.png" meet there, "a_b.png"
// and "a%5Fb.png" do not, nor do "A.png" and "a.png". A reader that compares
// the header texts (a mail library) files a part as written.
#include <optional>
#include <string>
#include <string_view>

namespace tarvik {

// What the model knows of one Content-Location value.
struct TReaderAddress {
  // The canonical form, only where the model is sure of it: http, https and
  // ftp with a host of ASCII letters, digits, "-", "_" and "." (escapes
  // decoded, letter case folded; no "xn--" label), an IPv4 address in any
  // numeric form or an IPv6 address (both written canonically), userinfo
  // escaped as the browser escapes it (an empty one dropped), a port of
  // digits (the scheme's own dropped); "\" read as "/", dot segments
  // resolved, and in the path, query and fragment escapes kept as written
  // and what the browser escapes there escaped. Not sure: other schemes,
  // hosts with other characters (non-ASCII ones above all), and addresses
  // the browser finds invalid.
  std::optional<std::string> Canonical;
  // What two addresses of these schemes share whenever they can meet, sure
  // or not: the scheme, the canonical path, query and fragment, and no host.
  // Empty for other values, which never meet an address of these schemes.
  std::string Tail;
};

TReaderAddress ReadAddress(std::string_view location);

// ReadAddress(location).Canonical: no value where the model is not sure.
std::optional<std::string> CanonicalWebAddress(std::string_view location);

}  // namespace tarvik
