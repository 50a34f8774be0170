#pragma once
// The web archive: a MIME multipart/related document (MHTML) holding every
// listed URL's captured content as one Base64 part, written front to back
// into an output stream. Everything here is free of the platform: the
// archive's identity, the clock, the MIME sniffer, the cache files and the
// trace come in through TArchiveEnvironment.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/ArchiveIO.h"
#include "core/TarvikDataBuffer.h"

namespace tarvik {

// The parts of an archive, in order, with the base URL of each.
class TURLStringSource {
 public:
  virtual ~TURLStringSource() = default;
  virtual int32_t Count() const = 0;
  // 0 <= i < Count().
  virtual std::string URL(int32_t i) const = 0;
  virtual std::string Base(int32_t i) const = 0;
  // Where the window or frame found the document of entry i when its
  // navigation finished; empty for entries that are no navigated document.
  virtual std::string DocumentURL(int32_t i) const = 0;
};

// Copies of the URL list and the base list. A base list shorter than the
// URL list, or an empty entry in it, gives DefaultBase.
class TURLStringList final : public TURLStringSource {
 public:
  TURLStringList(std::string defaultBase, std::vector<std::string> urls, std::vector<std::string> bases)
      : FDefaultBase(std::move(defaultBase)), FURLs(std::move(urls)), FBases(std::move(bases)) {}
  int32_t Count() const override { return static_cast<int32_t>(FURLs.size()); }
  std::string URL(int32_t i) const override { return FURLs.at(static_cast<size_t>(i)); }
  std::string Base(int32_t i) const override;
  std::string DocumentURL(int32_t i) const override;
  const std::string& DefaultBase() const noexcept { return FDefaultBase; }

 private:
  std::string FDefaultBase;
  std::vector<std::string> FURLs;
  std::vector<std::string> FBases;
};

struct TLocalDateTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Milliseconds = 0;
};

struct TArchiveEnvironment {
  // The version text of the product, possibly empty.
  std::string Version;
  // A new GUID in registry form: 38 characters, braces, upper-case hex.
  std::function<std::string()> NewArchiveID;
  // The local clock and the user's short date and long time formats.
  std::function<TLocalDateTime()> Now;
  std::function<std::string(const TLocalDateTime&)> FormatShortDate;
  std::function<std::string(const TLocalDateTime&)> FormatLongTime;
  // A type for content whose type was never reported, from its cache file name.
  std::function<std::string(const std::string&)> SniffContentType;
  // Where the cache files are read.
  TFileSource* Files = nullptr;
  // Bytes of a cache file read and encoded at a time (a multiple of 3).
  size_t ChunkSize = 3 * 64 * 1024;
};

// Writes the archive of urls, taking each part from store. Throws
// TFileError when a cache file exists but cannot be read; what was written
// before stays in stream.
void WriteWebArchive(const TURLStringSource& urls, TTarvikDataBuffer& store, TOutputStream& stream,
                     const std::string& title, const TArchiveEnvironment& env);

// Whether the URL's part would carry bytes: captured ones, or a cache file
// with some. A save checks the page itself before it writes anything.
bool PartHasBytes(TTarvikDataBuffer& store, const std::string& url, const TArchiveEnvironment& env);

// Pieces of the layout, exposed for the tools and tests.
inline constexpr char VendorAddress[] = "http://www.tarvik.com/";
std::string ArchiveBoundary(const std::string& version, const std::string& archiveID);
// "short-date long-time", or the date alone at exactly midnight.
std::string ArchiveDateText(const TLocalDateTime& now, const TArchiveEnvironment& env);
// A GUID's 16 bytes in registry form (the first three groups little-endian,
// as the platform stores them).
std::string FormatArchiveID(const uint8_t (&guid)[16]);
// Whether a part of this type gets the base tag: "text/" exactly, and its
// first nine characters "text/html" in any letter case.
bool IsHtmlContentType(std::string_view type);
// The base tag for base, cut before its first "?"; a quotation mark in base
// is written %22.
std::string BaseTagText(std::string_view base);
// Every "</head>" (any letter case) preceded by BaseTagText(base) and a line break.
std::string InjectBaseTag(std::string_view data, std::string_view base);
// The same, handed to sink piece by piece.
void InjectBaseTag(std::string_view data, std::string_view base, const std::function<void(std::string_view)>& sink);
// The same for a page given a piece at a time, as a large one is read: a
// "</head>" split between two pieces is still found, and no more than its
// first six bytes are held between them.
class TBaseTagInjector {
 public:
  TBaseTagInjector(std::string_view base, std::function<void(std::string_view)> sink);
  void Write(std::string_view piece);
  // Hands on what is held; the page ends here.
  void Finish();

 private:
  size_t Scan(std::string_view piece, size_t from);
  std::string FTag;
  std::function<void(std::string_view)> FSink;
  std::string FHeld;  // the end of the last piece, as far as it could start "</head>"
};
// Header values carry no byte below 0x20: those are written %XX.
std::string HeaderValueText(std::string_view value);

// The environment of the native build: a random GUID, the C library's local
// clock and its locale's date and time formats ("%x" and "%X"), the file
// name's extension for the type, the trace sink, and TStdFileSource.
TArchiveEnvironment NativeArchiveEnvironment(std::string version);

}  // namespace tarvik
