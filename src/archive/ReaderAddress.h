#pragma once
// The address under which an archive reader files a part, so that the
// composer can tell when two parts would stand at one address. A reader that
// parses Content-Location as a web address (the way browsers render MHTML)
// writes it in canonical form before it files the part and again before it
// looks a resource up: "a b.png" and "a%20b.png" meet there, and so do
// "a_b.png" and "a%5Fb.png", while "A.png" and "a.png" stay apart. A reader
// that compares the header texts (a mail library) files it as written.
#include <string>
#include <string_view>

namespace tarvik {

// The canonical form of a Content-Location value as a web address parser
// writes it for the http, https and ftp schemes: scheme and host in lower
// case, default port dropped, "\" read as "/", dot segments resolved, bytes
// that may not stand in a path, query or fragment escaped (bytes from 0x80
// read as Latin-1 and escaped as UTF-8), and escapes of the unreserved
// characters A-Z a-z 0-9 - . _ ~ in the path decoded. Other values are
// returned as written.
std::string CanonicalWebAddress(std::string_view location);

}  // namespace tarvik
