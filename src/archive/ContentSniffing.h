#pragma once
// The type a part of the web archive is written with when the server named
// none or one that cannot stand: guessed from the file's name or its first
// bytes.
#include <string>
#include <string_view>

namespace tarvik {

// A MIME type for a file name by its extension from a fixed table of the
// common web types, or "text/plain" when the name has none it knows.
std::string ContentTypeFromExtension(std::string_view fileName);

// The type that the first bytes of a resource show (images, fonts, PDF,
// archives by their signatures), or "application/octet-stream".
std::string ContentTypeFromBytes(std::string_view head);

// A type that a part of an archive may carry: "type/subtype" of token
// characters, not composite (multipart/*, message/*: a reader would take the
// part's bytes for more parts of the archive, or drop the whole archive),
// with parameters kept only when they are printable ASCII. Empty when the
// type cannot stand; the caller then sniffs the bytes.
std::string PartContentType(std::string_view type);

// A MIME type proposed for the file named, or "text/plain" for every
// failure and for an empty name. The DLL asks the platform's MIME sniffer by
// the name alone; the native build uses ContentTypeFromExtension.
std::string SniffContentType(const std::string& fileName);

}  // namespace tarvik
