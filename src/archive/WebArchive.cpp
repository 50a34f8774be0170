#include "archive/WebArchive.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "archive/ContentSniffing.h"
#include "archive/DocumentBase.h"
#include "archive/ReaderAddress.h"
#include "archive/SynaCode.h"
#include "core/UrlText.h"
#include "framework/Trace.h"

namespace tarvik {

namespace {

constexpr char CRLF[] = "\r\n";
constexpr char TraceSource[] = "TTarvikEngine.ComposeWebArchive";

// Base64 of a byte sequence given in pieces, written to the stream in
// slices; the result equals Base64Encode of the pieces joined.
class TBase64Writer {
 public:
  TBase64Writer(TOutputStream& stream, size_t sliceSize)
      : FStream(stream), FSlice(std::max<size_t>(sliceSize / 3 * 3, 3)), FBuffer(Base64EncodedLength(FSlice)) {}

  void Write(const char* data, size_t size) {
    if (FPendingCount > 0) {
      while (FPendingCount < 3 && size > 0) {
        FPending[FPendingCount++] = *data++;
        --size;
      }
      if (FPendingCount < 3) return;
      Encode(FPending, 3);
      FPendingCount = 0;
    }
    const size_t whole = size / 3 * 3;
    for (size_t done = 0; done < whole;) {
      const size_t slice = std::min(FSlice, whole - done);
      Encode(data + done, slice);
      done += slice;
    }
    for (size_t i = whole; i < size; ++i) FPending[FPendingCount++] = data[i];
  }
  void Write(std::string_view text) { Write(text.data(), text.size()); }

  // Pads the last group.
  void Finish() {
    if (FPendingCount > 0) Encode(FPending, FPendingCount);
    FPendingCount = 0;
  }

 private:
  void Encode(const char* data, size_t size) {
    char* end = Base64EncodeTo(data, size, FBuffer.data());
    FStream.Write(FBuffer.data(), static_cast<size_t>(end - FBuffer.data()));
  }

  TOutputStream& FStream;
  const size_t FSlice;
  std::vector<char> FBuffer;
  char FPending[3] = {};
  size_t FPendingCount = 0;
};

TFileError CapturedReadError() { return TFileError(std::string(), 0, "the captured bytes cannot be read back"); }

// The first size bytes of captured content.
std::string ReadCaptured(const TCapturedBytes& content, uint64_t size) {
  std::string text(static_cast<size_t>(size), '\0');
  if (!content.ReadAt(0, text.data(), text.size())) throw CapturedReadError();
  return text;
}

// What pass one learns of a list entry: the record as it stood then (the
// part shows it, whatever a download finishing meanwhile changes), whether
// it has bytes to write, and the addresses readers would file it under.
struct TPartPlan {
  TURLContent::Snapshot Rec;
  bool HasBytes = false;
  std::string Written;     // the Content-Location text
  TReaderAddress Address;  // that text as a browser files it
  bool LeftOut = false;    // an empty part that could hide another's bytes
  bool Taken = false;      // written already as the page of an entry that redirected to it
  // A document the browser found at another address than it asked for: the
  // part stands where it was found, so that the page's relative addresses
  // resolve as they did, and a copy at the address asked for (Asked, the
  // copy's Content-Location), which a frame or a link may name.
  std::string Found;  // the address it was found at, as the list gives it
  std::string Asked;
};

// Whether a type is one a window or frame shows as a page. Only a page
// moves to where it was found: when a navigation's first download is not
// its document (a late resource of the page before), the list pairs that
// resource with the page's address.
bool IsDocumentType(std::string_view type) {
  auto startsNoCase = [type](std::string_view prefix) {
    return type.size() >= prefix.size() && SameAsciiTextNoCase(type.substr(0, prefix.size()), prefix);
  };
  return startsNoCase("text/html") || startsNoCase("application/xhtml+xml");
}

// Whether the browser found the document of an entry elsewhere than at the
// address it asked for.
// The window tells where it was found without a fragment, so an address
// asked for with one was found where it was asked.
bool FoundElsewhere(const std::string& asked, const std::string& found) {
  const std::string_view page = std::string_view(asked).substr(0, asked.find('#'));
  if (found.empty() || found == page || !IsHttpUrl(found)) return false;
  const std::optional<std::string> a = CanonicalWebAddress(page), f = CanonicalWebAddress(found);
  return !(a && f && *a == *f);
}

// Whether a record has bytes to write: captured ones, or a cache file with some.
bool HasBytes(const TURLContent::Snapshot& rec, const TArchiveEnvironment& env) {
  if (!rec.Content->empty()) return true;
  std::unique_ptr<TFileReader> file = env.Files ? env.Files->OpenIfExists(rec.LocalFilename) : nullptr;
  if (!file) return false;
  if (file->SizeHint() != 0) return true;
  char probe;
  return file->Read(&probe, 1) != 0;
}

// The type the record gives, or the one the platform guesses from the cache
// file's name.
std::string DeclaredType(const TURLContent::Snapshot& rec, const TArchiveEnvironment& env) {
  if (!rec.ContentType.empty()) return rec.ContentType;
  return env.SniffContentType ? env.SniffContentType(rec.LocalFilename) : "text/plain";
}

// The cache file wins over the bytes kept in memory, unless its size shows
// that it no longer holds what the browser read: a cache may hand a file's
// name on to another resource (Wine names its files by stem).
std::unique_ptr<TFileReader> OpenCacheFile(int32_t i, const TURLContent::Snapshot& rec,
                                           const TArchiveEnvironment& env) {
  std::unique_ptr<TFileReader> file = env.Files ? env.Files->OpenIfExists(rec.LocalFilename) : nullptr;
  if (file && !rec.Content->empty()) {
    const uint64_t size = file->SizeHint();
    if (size != 0 && size != rec.Content->size()) {
      Log(TraceSource,
          [&] { return Format("Part #%d: cache file %s is not the captured content", i, rec.LocalFilename.c_str()); });
      return nullptr;
    }
  }
  return file;
}

// Where a part's bytes come from. Every part, HTML too, is read and encoded
// a chunk at a time: a server may label a body of any size HTML. Captured
// bytes in memory are encoded where they are; of a cache file or of bytes in
// the temporary file only the first are read before the headers (a type may
// come from them).
struct TPartBytes {
  std::unique_ptr<TFileReader> File;  // the rest of a cache file, after Read
  const std::string* Memory = nullptr;
  std::string Read;
  bool RestInSpill = false;  // the captured bytes after Read are in the temporary file

  std::string_view Head() const { return Memory ? std::string_view(*Memory) : std::string_view(Read); }
};

TPartBytes FirstBytes(int32_t i, const TURLContent::Snapshot& rec, const TArchiveEnvironment& env, size_t chunkSize) {
  TPartBytes bytes;
  bytes.File = OpenCacheFile(i, rec, env);
  if (bytes.File) {
    bytes.Read.resize(chunkSize);
    bytes.Read.resize(bytes.File->Read(bytes.Read.data(), chunkSize));
    if (!bytes.Read.empty()) return bytes;
    bytes.File.reset();
  }
  const TCapturedBytes& content = *rec.Content;
  bytes.Memory = content.Memory();
  if (!bytes.Memory) {
    bytes.Read = ReadCaptured(content, std::min<uint64_t>(content.size(), 64));
    bytes.RestInSpill = true;
  }
  return bytes;
}

// A composite type would make readers look for more parts inside this one
// (and drop the whole archive), a malformed one would not parse: the bytes
// say what they are instead. A part without bytes is plain text.
std::string WrittenType(int32_t i, const std::string& declared, std::string_view head, const TArchiveEnvironment& env) {
  if (head.empty()) return "text/plain";
  std::string usable = PartContentType(declared);
  if (usable.empty()) {
    usable = ContentTypeFromBytes(head.substr(0, 64));
    Log(TraceSource, [&] { return Format("Part #%d: type %s written as %s", i, declared.c_str(), usable.c_str()); });
  }
  return usable;
}

void WriteBodyHeaders(const std::string& type, TOutputStream& stream) {
  stream.Write("Content-Type: " + HeaderValueText(type) + CRLF);
  stream.Write(std::string("Content-Transfer-Encoding: ") + "base64" + CRLF);
  stream.Write(CRLF);
}

template <class Sink>
void CopyRestOfFile(TFileReader& file, size_t chunkSize, Sink&& write) {
  std::vector<char> chunk(chunkSize);
  for (;;) {
    const size_t got = file.Read(chunk.data(), chunkSize);
    if (got == 0) break;
    write(std::string_view(chunk.data(), got));
  }
}

template <class Sink>
void CopyRestOfCapture(const TCapturedBytes& content, uint64_t done, size_t chunkSize, Sink&& write) {
  std::vector<char> chunk(chunkSize);
  while (done < content.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunkSize, content.size() - done));
    if (!content.ReadAt(done, chunk.data(), n)) throw CapturedReadError();
    write(std::string_view(chunk.data(), n));
    done += n;
  }
}

// A tag put into a page's first bytes at a place of its own.
struct TEarlyTag {
  size_t At = 0;
  std::string Text;
};

// The base tag a page gets, if any: before each "</head>", or once early.
struct TPageBase {
  std::optional<std::string> BeforeCloseHead;
  std::optional<TEarlyTag> Early;
};

// The body in Base64; an HTML page gets its base tag on the way to the
// encoder: no second copy of the page.
void WriteBody(const TPartBytes& bytes, const TCapturedBytes& content, const TPageBase& base, TOutputStream& stream,
               size_t chunkSize) {
  TBase64Writer body(stream, chunkSize);
  std::optional<TBaseTagInjector> injector;
  if (base.BeforeCloseHead)
    injector.emplace(*base.BeforeCloseHead, [&body](std::string_view piece) { body.Write(piece); });
  auto write = [&](std::string_view piece) {
    if (injector)
      injector->Write(piece);
    else
      body.Write(piece);
  };
  if (base.Early) {
    write(bytes.Head().substr(0, base.Early->At));
    write(base.Early->Text);
    write(bytes.Head().substr(base.Early->At));
  } else {
    write(bytes.Head());
  }
  if (bytes.File)
    CopyRestOfFile(*bytes.File, chunkSize, write);
  else if (bytes.RestInSpill)
    CopyRestOfCapture(content, bytes.Read.size(), chunkSize, write);
  if (injector) injector->Finish();
  body.Finish();
}

// A base tag in front of everything a page names. A copy is read at the
// address asked for, so it carries where its page was found; a page whose
// own base is relative gets that base resolved against where the page was
// found, in front of its own, since a reader of archives resolves no
// relative base; a page whose own base is absolute needs none.
std::optional<TEarlyTag> EarlyBaseTag(std::string_view head, const std::string& found, bool copy) {
  const size_t at = EarlyTagPosition(head);
  if (at == std::string_view::npos) return std::nullopt;
  const TOwnBase own = FindOwnBase(head);
  if (own.Found) {
    if (HasScheme(own.Href)) return std::nullopt;
    return TEarlyTag{at, BaseTagText(ResolveReference(found, own.Href))};
  }
  if (!copy) return std::nullopt;
  return TEarlyTag{at, BaseTagText(found)};
}

// One content part. A copy stands at the address the browser asked for.
void WritePart(int32_t i, const TPartPlan& plan, bool copy, const TURLStringSource& urls, TOutputStream& stream,
               const TArchiveEnvironment& env) {
  const TURLContent::Snapshot& rec = plan.Rec;
  const size_t chunkSize = std::max<size_t>(env.ChunkSize / 3 * 3, 3);
  const std::string declared = DeclaredType(rec, env);
  const TPartBytes bytes = FirstBytes(i, rec, env, chunkSize);
  const std::string type = WrittenType(i, declared, bytes.Head(), env);

  stream.Write("Content-Location: " + (copy ? plan.Asked : plan.Written) + CRLF);
  // An address with a fragment and no bytes of its own is an in-page anchor.
  if (bytes.Head().empty() && rec.URL.find('#') != std::string::npos) {
    Log(TraceSource, [i] { return Format("Done written part #%d (local anchor placeholder)", i); });
    return;
  }
  WriteBodyHeaders(type, stream);
  TPageBase base;
  if (IsHtmlContentType(type)) {
    base.Early = EarlyBaseTag(bytes.Head(), plan.Found.empty() ? rec.URL : plan.Found, copy);
    // Only the first base counts: the page's own must keep its place.
    if (!copy && !FindOwnBase(bytes.Head()).Found) base.BeforeCloseHead = urls.Base(i);
  }
  WriteBody(bytes, *rec.Content, base, stream, chunkSize);
  Log(TraceSource,
      [i, copy] { return copy ? Format("Done written copy of part #%d", i) : Format("Done written part #%d", i); });
}

// The addresses of the parts that carry bytes, as either kind of reader
// files them: an empty part at one of them would hide those bytes.
class TContentAddresses {
 public:
  void Add(const std::string& written, const TReaderAddress& address) {
    FWritten.insert(written);
    if (address.Canonical)
      FCanonical.insert(*address.Canonical);
    else if (!address.Tail.empty())
      FUnsureTails.insert(address.Tail);
  }
  // Whether an empty part could stand where one of them stands: unless the
  // model is sure of its address and that no part with bytes is filed there,
  // it could. Leaving an empty part out costs a reader nothing.
  bool MayMeet(const std::string& written, const TReaderAddress& address) const {
    return FWritten.count(written) || !address.Canonical || FCanonical.count(*address.Canonical) ||
           FUnsureTails.count(address.Tail);
  }

 private:
  // Of a part whose address the model is not sure of, only the path, query
  // and fragment are known: an empty part that shares them may meet it.
  std::unordered_set<std::string> FWritten, FCanonical, FUnsureTails;
};

}  // namespace

bool PartHasBytes(TTarvikDataBuffer& store, const std::string& url, const TArchiveEnvironment& env) {
  return HasBytes(store.GetURLContent(url)->Read(), env);
}

std::string TURLStringList::Base(int32_t i) const {
  if (i >= 0 && static_cast<size_t>(i) < FBases.size() && !FBases[static_cast<size_t>(i)].empty())
    return FBases[static_cast<size_t>(i)];
  return FDefaultBase;
}

std::string TURLStringList::DocumentURL(int32_t i) const {
  return i >= 0 && static_cast<size_t>(i) < FBases.size() ? FBases[static_cast<size_t>(i)] : std::string();
}

std::string ArchiveBoundary(const std::string& version, const std::string& archiveID) {
  return "--Tarvik-Express-" + version + "-" + archiveID;
}

std::string ArchiveDateText(const TLocalDateTime& now, const TArchiveEnvironment& env) {
  std::string text = env.FormatShortDate ? env.FormatShortDate(now) : std::string();
  if (now.Hour != 0 || now.Minute != 0 || now.Second != 0 || now.Milliseconds != 0)
    text += " " + (env.FormatLongTime ? env.FormatLongTime(now) : std::string());
  return text;
}

std::string FormatArchiveID(const uint8_t (&g)[16]) {
  return Format("{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3], g[2], g[1], g[0], g[5],
                g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
}

bool IsHtmlContentType(std::string_view type) {
  if (type.size() < 9 || type.substr(0, 5) != "text/") return false;
  for (size_t k = 5; k < 9; ++k) {
    const char lower = static_cast<char>(type[k] | 0x20);
    if (lower != "html"[k - 5]) return false;
  }
  return true;
}

namespace {

constexpr char CloseHead[] = "</head>";
constexpr size_t CloseHeadLength = sizeof(CloseHead) - 1;

// How many bytes of "</head>" text matches from its start, in any letter case.
size_t CloseHeadMatch(std::string_view text) noexcept {
  size_t k = 0;
  for (; k < text.size() && k < CloseHeadLength; ++k) {
    const char c = text[k];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (lower != CloseHead[k]) break;
  }
  return k;
}

}  // namespace

std::string BaseTagText(std::string_view base) {
  base = base.substr(0, base.find('?'));
  std::string tag = "<base href=\"";
  for (const char c : base) {
    if (c == '"')
      tag += "%22";
    else
      tag += c;
  }
  return tag + "\">";
}

TBaseTagInjector::TBaseTagInjector(std::string_view base, std::function<void(std::string_view)> sink)
    : FTag(BaseTagText(base) + "\r\n</head>"), FSink(std::move(sink)) {}

void TBaseTagInjector::Write(std::string_view piece) {
  size_t from = 0;
  if (!FHeld.empty()) {
    // The held bytes begin "</head>" (they hold no other "<"): this piece
    // completes it, leaves it still open, or shows it was something else.
    const std::string joined = FHeld + std::string(piece.substr(0, CloseHeadLength - FHeld.size()));
    const size_t match = CloseHeadMatch(joined);
    if (match == CloseHeadLength) {
      FSink(FTag);
      from = CloseHeadLength - FHeld.size();
    } else if (match == joined.size()) {
      FHeld = joined;
      return;
    } else {
      FSink(FHeld);
    }
    FHeld.clear();
  }
  const size_t copied = Scan(piece, from);
  FSink(piece.substr(copied, piece.size() - copied - FHeld.size()));
}

// Hands on piece from `from` up to each "</head>" with the tag before it;
// returns where the unhanded rest starts, and holds back an end that may be
// the beginning of one.
size_t TBaseTagInjector::Scan(std::string_view piece, size_t from) {
  size_t copied = from;
  for (size_t at = from; at < piece.size();) {
    const void* lt = std::memchr(piece.data() + at, '<', piece.size() - at);
    if (!lt) break;
    at = static_cast<size_t>(static_cast<const char*>(lt) - piece.data());
    const size_t match = CloseHeadMatch(piece.substr(at));
    if (match == CloseHeadLength) {
      FSink(piece.substr(copied, at - copied));
      FSink(FTag);
      at += CloseHeadLength;
      copied = at;
    } else if (at + match == piece.size()) {
      FHeld.assign(piece.substr(at));
      break;
    } else {
      ++at;
    }
  }
  return copied;
}

void TBaseTagInjector::Finish() {
  FSink(FHeld);
  FHeld.clear();
}

void InjectBaseTag(std::string_view data, std::string_view base, const std::function<void(std::string_view)>& sink) {
  TBaseTagInjector injector(base, sink);
  injector.Write(data);
  injector.Finish();
}

std::string InjectBaseTag(std::string_view data, std::string_view base) {
  std::string result;
  InjectBaseTag(data, base, [&result](std::string_view piece) { result.append(piece); });
  return result;
}

std::string HeaderValueText(std::string_view value) {
  static const TByteSet Controls = [] {
    TByteSet set{};
    for (int b = 0; b < 0x20; ++b) set[b >> 3] |= uint8_t(1u << (b & 7));
    return set;
  }();
  for (const char c : value)
    if (static_cast<unsigned char>(c) < 0x20) return EscapeBytes(value, '%', Controls);
  return std::string(value);
}

namespace {

void WriteHeaderBlock(const std::string& archiveID, const std::string& boundary, const std::string& title,
                      TOutputStream& stream, const TArchiveEnvironment& env) {
  const std::string& version = env.Version;
  const TLocalDateTime now = env.Now ? env.Now() : TLocalDateTime{};
  std::string header;
  header += "From: Tarvik Express V" + version + " (" + VendorAddress + ")" + CRLF;
  header += "Date: " + HeaderValueText(ArchiveDateText(now, env)) + CRLF;
  header += "MIME-Version: 1.0\r\n";
  header += "Content-Type: multipart/related; boundary= \"" + boundary + "\"" + CRLF;
  header += "X-MimeOLE: Produced By Tarvik Express V" + version + CRLF;
  header += "X-Tarvik-ArchiveID: " + archiveID + CRLF;
  header += "X-Unsent: 1\r\n";
  if (!title.empty()) header += "Subject: " + HeaderValueText(title) + CRLF;
  stream.Write(header);
}

// Pass one: every entry's record as it stands now, and the addresses of
// those with bytes.
std::vector<TPartPlan> PlanParts(const TURLStringSource& urls, TTarvikDataBuffer& store, TContentAddresses& content,
                                 const TArchiveEnvironment& env) {
  const int32_t count = urls.Count();
  std::vector<TPartPlan> plans(static_cast<size_t>(count));
  // Where entries with bytes of their own stand: a document found at one of
  // them was fetched there again (a redirect the platform handed over, which
  // the browser followed), so the entry's bytes are the redirect's and the
  // page is that entry's. It is written in the navigation's place, and
  // where it was asked for, and nowhere else.
  std::unordered_map<std::string, int32_t> captured;
  auto addressKey = [](const std::string& url) { return CanonicalWebAddress(url).value_or(url); };
  for (int32_t i = 0; i < count; ++i) {
    TPartPlan& plan = plans[static_cast<size_t>(i)];
    plan.Rec = store.GetURLContent(urls.URL(i))->Read();
    plan.HasBytes = HasBytes(plan.Rec, env);
    plan.Written = HeaderValueText(plan.Rec.URL);
    if (plan.HasBytes) captured.emplace(addressKey(plan.Rec.URL), i);
  }
  for (int32_t i = 0; i < count; ++i) {
    TPartPlan& plan = plans[static_cast<size_t>(i)];
    std::string found = urls.DocumentURL(i);
    // An entry without bytes of its own (an empty redirect) moves only to a page fetched where it led.
    if (FoundElsewhere(plan.Rec.URL, found)) {
      const auto page = captured.find(addressKey(found));
      TPartPlan* fetched = page == captured.end() ? nullptr : &plans[static_cast<size_t>(page->second)];
      if (fetched && (fetched->Taken || !IsDocumentType(DeclaredType(fetched->Rec, env)))) fetched = nullptr;
      if (fetched || (plan.HasBytes && page == captured.end() && IsDocumentType(DeclaredType(plan.Rec, env)))) {
        if (fetched) {
          plan.Rec = fetched->Rec;
          plan.HasBytes = true;
          fetched->Taken = true;
        }
        plan.Asked = std::move(plan.Written);
        plan.Written = HeaderValueText(found);
        plan.Found = std::move(found);
        content.Add(plan.Asked, ReadAddress(plan.Asked));
      }
    }
    plan.Address = ReadAddress(plan.Written);
    if (plan.HasBytes) content.Add(plan.Written, plan.Address);
  }
  return plans;
}

void WriteParts(std::vector<TPartPlan>& plans, const TContentAddresses& content, const std::string& delimiter,
                const TURLStringSource& urls, TOutputStream& stream, const TArchiveEnvironment& env) {
  for (int32_t i = 0; i < static_cast<int32_t>(plans.size()); ++i) {
    TPartPlan& plan = plans[static_cast<size_t>(i)];
    Log(TraceSource, [&] { return Format("Write part #%d (URL=%s)", i, urls.URL(i).c_str()); });
    if (plan.Taken) {
      Log(TraceSource, [i] { return Format("Part #%d written where a navigation was redirected to it", i); });
      plan.LeftOut = true;
      continue;
    }
    if (!plan.HasBytes && content.MayMeet(plan.Written, plan.Address)) {
      Log(TraceSource, [i] { return Format("Part #%d left out: a part with bytes may stand at its address", i); });
      plan.LeftOut = true;
      continue;
    }
    stream.Write(CRLF);
    stream.Write(delimiter);
    WritePart(i, plan, false, urls, stream, env);
    stream.Write(CRLF);
  }
}

// The copies of documents found elsewhere, at the addresses asked for,
// unless a part with bytes stands there already.
void WriteCopies(const std::vector<TPartPlan>& plans, const std::string& delimiter, const TURLStringSource& urls,
                 TOutputStream& stream, const TArchiveEnvironment& env) {
  std::unordered_set<std::string> written;
  for (const TPartPlan& plan : plans)
    if (plan.HasBytes) written.insert(plan.Written);
  for (int32_t i = 0; i < static_cast<int32_t>(plans.size()); ++i) {
    const TPartPlan& plan = plans[static_cast<size_t>(i)];
    if (plan.Asked.empty() || !written.insert(plan.Asked).second) continue;
    Log(TraceSource, [&] { return Format("Write copy of part #%d (URL=%s)", i, plan.Asked.c_str()); });
    stream.Write(CRLF);
    stream.Write(delimiter);
    WritePart(i, plan, true, urls, stream, env);
    stream.Write(CRLF);
  }
}

// Alias parts: the percent-encoded form of a URL resolves in the archive
// too. One that reads like a Content-Location already written, or that a
// reader may file where a part with bytes stands, would be a second, empty
// part of that address: a reader taking the last match shows nothing.
void WriteAliasParts(const std::vector<TPartPlan>& plans, const TContentAddresses& content,
                     const std::string& delimiter, TOutputStream& stream) {
  std::unordered_set<std::string> written;
  for (const TPartPlan& plan : plans) written.insert(plan.Written);
  for (const TPartPlan& plan : plans)
    if (!plan.Asked.empty()) written.insert(plan.Asked);
  auto alias = [&](const std::string& url) {
    const std::string encoded = PercentEncode(url);
    if (written.count(encoded) || content.MayMeet(encoded, ReadAddress(encoded))) return;
    written.insert(encoded);
    stream.Write(std::string(CRLF) + delimiter + "Content-Location: " + encoded + CRLF + CRLF);
  };
  for (const TPartPlan& plan : plans)
    if (!plan.LeftOut) alias(plan.Rec.URL);
  for (const TPartPlan& plan : plans)
    if (!plan.Found.empty()) alias(plan.Found);
}

}  // namespace

void WriteWebArchive(const TURLStringSource& urls, TTarvikDataBuffer& store, TOutputStream& stream,
                     const std::string& title, const TArchiveEnvironment& env) {
  const std::string archiveID = env.NewArchiveID ? env.NewArchiveID() : std::string();
  Log(TraceSource, [&] { return "Begin composing ArchiveID = " + archiveID; });
  const std::string boundary = ArchiveBoundary(env.Version, archiveID);
  const std::string delimiter = "--" + boundary + CRLF;
  WriteHeaderBlock(archiveID, boundary, title, stream, env);
  TContentAddresses content;
  std::vector<TPartPlan> plans = PlanParts(urls, store, content, env);
  WriteParts(plans, content, delimiter, urls, stream, env);
  WriteCopies(plans, delimiter, urls, stream, env);
  WriteAliasParts(plans, content, delimiter, stream);
  stream.Write(std::string(CRLF) + "--" + boundary + "--" + CRLF);
  Log(TraceSource, [&] { return "Finish composing ArchiveID = " + archiveID; });
}

}  // namespace tarvik
