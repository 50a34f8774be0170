#include "core/UrlList.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <string_view>

#include "core/AnsiCase.h"
#include "core/PlatformVersion.h"
#include "core/Trace.h"

namespace tarvik {

namespace {

constexpr const char* TraceSource = "Runtime.GenerateList";

// Hashing and comparing texts with letter case ignored, as AnsiSameText does.
// Where the code page upper-cases byte by byte, both work on the bytes through
// the upper-casing table (and ASCII-only words eight bytes at a time); other
// code pages go through AnsiUpperCase.
class TFoldedText {
 public:
  TFoldedText() : FUpper(AnsiUpperTable()), FAsciiPlain(FUpper && AsciiIsPlain(FUpper)) {}

  uint64_t Hash(std::string_view text) const {
    if (!FUpper) return std::hash<std::string>()(AnsiUpperCase(text));
    uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    const char* p = text.data();
    size_t left = text.size();
    for (; left >= 8; p += 8, left -= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      h = Mix(h, FAsciiPlain && (word & 0x8080808080808080ull) == 0 ? UpperAscii(word) : UpperBytes(p, 8));
    }
    if (left) h = Mix(h, UpperBytes(p, left));
    return h ^ (h >> 32);
  }

  bool Same(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    if (std::memcmp(a.data(), b.data(), a.size()) == 0) return true;
    if (!FUpper) return AnsiSameText(a, b);
    for (size_t i = 0; i < a.size(); ++i)
      if (FUpper[static_cast<unsigned char>(a[i])] != FUpper[static_cast<unsigned char>(b[i])]) return false;
    return true;
  }

 private:
  static bool AsciiIsPlain(const unsigned char* upper) {
    for (int c = 0; c < 128; ++c)
      if (upper[c] != ((c >= 'a' && c <= 'z') ? c - 32 : c)) return false;
    return true;
  }
  static uint64_t Mix(uint64_t h, uint64_t word) {
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 29);
  }
  // Eight bytes below 0x80: subtract 0x20 from each of 'a'..'z'.
  static uint64_t UpperAscii(uint64_t word) {
    constexpr uint64_t Ones = 0x0101010101010101ull;
    const uint64_t atLeastA = word + Ones * (0x80 - 'a');
    const uint64_t aboveZ = word + Ones * (0x80 - 'z' - 1);
    const uint64_t lower = atLeastA & ~aboveZ & (Ones * 0x80);
    return word - (lower >> 2);
  }
  uint64_t UpperBytes(const char* p, size_t n) const {
    uint64_t word = 0;
    for (size_t i = 0; i < n; ++i) word |= uint64_t{FUpper[static_cast<unsigned char>(p[i])]} << (8 * i);
    return word;
  }

  const unsigned char* FUpper;
  const bool FAsciiPlain;
};

// The texts already in the URL list, with letter case ignored. A copy of each
// text sits in one arena, and a flat table of slots (part of the hash, where
// the text sits) finds them. A walk over a long timeline is bound by waiting
// for memory, so the walk announces the texts it is about to look up
// (Prefetch, then PrefetchText) and the lookups find them in cache.
class TListedURLs {
 public:
  explicit TListedURLs(const TFoldedText& folded) : FFolded(folded), FSlots(1024) {}

  uint64_t Hash(std::string_view url) const { return FFolded.Hash(url); }
  // The slot where a lookup of hash starts.
  void Prefetch(uint64_t hash) const { __builtin_prefetch(&FSlots[Home(hash)]); }
  // The text that the lookup of hash will compare first.
  void PrefetchText(uint64_t hash) const {
    const Slot& slot = FSlots[Home(hash)];
    if (slot.Offset && slot.Tag == Tag(hash)) __builtin_prefetch(FArena.data() + slot.Offset - 1);
  }

  bool Contains(std::string_view url, uint64_t hash) const {
    const size_t mask = FSlots.size() - 1;
    for (size_t i = Home(hash);; i = (i + 1) & mask) {
      const Slot& slot = FSlots[i];
      if (!slot.Offset) return false;
      if (slot.Tag == Tag(hash) && slot.Length == url.size() && FFolded.Same(TextOf(slot), url)) return true;
    }
  }

  // Adds url unless it is there already.
  void Insert(std::string_view url) {
    const uint64_t hash = FFolded.Hash(url);
    if (Contains(url, hash)) return;
    if (2 * (FUsed + 1) > FSlots.size()) Grow();
    Place({Tag(hash), url.size(), FArena.size() + 1}, hash);
    FArena.append(url);
    ++FUsed;
  }

 private:
  struct Slot {
    uint32_t Tag = 0;
    size_t Length = 0;
    size_t Offset = 0;  // 1 + where the text starts in the arena; 0: free
  };

  size_t Home(uint64_t hash) const { return static_cast<size_t>(hash) & (FSlots.size() - 1); }
  static uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
  std::string_view TextOf(const Slot& slot) const {
    return std::string_view(FArena.data() + slot.Offset - 1, slot.Length);
  }
  void Place(const Slot& slot, uint64_t hash) {
    size_t i = Home(hash);
    while (FSlots[i].Offset) i = (i + 1) & (FSlots.size() - 1);
    FSlots[i] = slot;
  }
  void Grow() {
    std::vector<Slot> old(2 * FSlots.size());
    old.swap(FSlots);
    for (const Slot& slot : old)
      if (slot.Offset) Place(slot, FFolded.Hash(TextOf(slot)));
  }

  const TFoldedText& FFolded;
  std::vector<Slot> FSlots;  // a power of two, at most half in use
  size_t FUsed = 0;
  std::string FArena;
};

void AppendPadded(std::string& out, int32_t value, size_t width) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
  const size_t length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, ' ');
  out.append(digits, length);
}

void AppendUpperHex(std::string& out, uintptr_t value) {
  char digits[2 * sizeof(uintptr_t)];
  char* p = digits + sizeof(digits);
  do {
    *--p = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value);
  out.append(p, static_cast<size_t>(digits + sizeof(digits) - p));
}

std::string ListAsText(const std::vector<std::string>& list) {
  size_t size = 0;
  for (const std::string& entry : list) size += entry.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& entry : list) text.append(entry).append("\r\n");
  return text;
}

}  // namespace

// --- TTimelineSearch ---

TTimelineSearch::TTimelineSearch(const TTarvikTimelineItems& timeline, bool compareThreads, int64_t scanBudget)
    : FTimeline(timeline),
      FCompareThreads(compareThreads),
      FScanBudget(scanBudget >= 0 ? scanBudget : 2 * int64_t{timeline.Count()}) {}

int32_t TTimelineSearch::FindRecentNavigation(int32_t TID, int32_t SIDMark) const {
  for (int32_t i = FTimeline.Count() - 1; i >= 0; --i) {
    const TTarvikTimelineItem& item = FTimeline[i];
    if (item.SID < SIDMark && item.TID == TID && item.Category == CategoryMainNavigation && item.Event == EventStart)
      return i;
  }
  return -1;
}

size_t TTimelineSearch::EventKeyHash::operator()(const EventKey& key) const noexcept {
  uint64_t h = (uint64_t{key.Category} << 40) ^ (uint64_t{key.Event} << 32) ^ static_cast<uint32_t>(key.TID);
  h = (h ^ static_cast<uint64_t>(key.OID)) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(h ^ (h >> 31));
}

TTimelineSearch::EventKey TTimelineSearch::KeyOf(uint8_t Category, uint8_t Event, uintptr_t OID,
                                                 int32_t TID) const noexcept {
  return {Category, Event, OID, FCompareThreads ? TID : 0};
}

void TTimelineSearch::BuildIndex() {
  for (int32_t i = 0; i < FTimeline.Count(); ++i) {
    const TTarvikTimelineItem& item = FTimeline[i];
    FIndex[KeyOf(item.Category, item.Event, item.OID, item.TID)].push_back(i);
  }
  FIndexed = true;
}

int32_t TTimelineSearch::FindEvent(uint8_t Category, uint8_t Event, uintptr_t OID, int32_t TID, int32_t From) {
  const int32_t count = FTimeline.Count();
  if (From < 0) From = 0;
  if (From >= count) return -1;
  if (!FIndexed) {
    // Matches are usually a few items away: scan, but only while the whole
    // walk has scanned less than its budget, so that searches that find
    // nothing for long cannot make the walk quadratic.
    const int32_t limit = static_cast<int32_t>(std::min<int64_t>(count, From + std::max<int64_t>(FScanBudget, 0)));
    for (int32_t i = From; i < limit; ++i) {
      const TTarvikTimelineItem& item = FTimeline[i];
      if (item.Category == Category && item.Event == Event && item.OID == OID &&
          (!FCompareThreads || item.TID == TID)) {
        FScanBudget -= i - From + 1;
        return i;
      }
    }
    FScanBudget -= limit - From;
    if (limit == count) return -1;
    BuildIndex();
  }
  const auto found = FIndex.find(KeyOf(Category, Event, OID, TID));
  if (found == FIndex.end()) return -1;
  const std::vector<int32_t>& positions = found->second;
  const auto next = std::lower_bound(positions.begin(), positions.end(), From);
  return next == positions.end() ? -1 : *next;
}

int32_t TTimelineSearch::FirstIndexOfThread(int32_t TID) {
  if (const auto known = FFirstOfThread.find(TID); known != FFirstOfThread.end()) return known->second;
  // Every thread before FThreadsScanned is known: carry on from there.
  const int32_t count = FTimeline.Count();
  while (FThreadsScanned < count) {
    const int32_t i = FThreadsScanned++;
    const int32_t itemTID = FTimeline[i].TID;
    if (FFirstOfThread.try_emplace(itemTID, i).second && itemTID == TID) return i;
  }
  return -1;
}

bool TTimelineSearch::StartedAfter(int32_t A, int32_t B) { return FirstIndexOfThread(A) > FirstIndexOfThread(B); }

// --- trace line ---

void FormatListItemTrace(std::string& line, bool selected, const TTarvikTimelineItem& item) {
  line.assign(selected ? "[1] SID[#" : "[0] SID[#");
  AppendPadded(line, item.SID, 4);
  line.append("/TID[");
  AppendPadded(line, item.TID, 4);
  line.append("]/OID[");
  AppendUpperHex(line, item.OID);
  line.append("]:").append(CategoryName(item.Category)).append(".").append(EventName(item.Event)).append(" = ");
  // The whole value, zero bytes included.
  line.append(item.Value);
}

// --- the walk ---

void GenerateList(const TTarvikTimelineItems& timeline, int32_t TID, int32_t SIDMark,
                  std::vector<std::string>* URLList, std::vector<std::string>* BaseList) {
  if (!URLList || !BaseList) return;
  URLList->clear();

  TTimelineSearch search(timeline, IsWindows2000OrLater());
  const int32_t recent = search.FindRecentNavigation(TID, SIDMark);
  if (recent == -1) {
    TraceLog(TraceSource, "Recent Navigation not found. Exit with empty URL list.");
    return;
  }
  TraceLog(TraceSource, "SID of Recent Navigation is #" + std::to_string(timeline[recent].SID));
  TraceLog(TraceSource, "Begin traverse event list...");

  const TFoldedText folded;
  TListedURLs listed(folded);
  auto addURL = [&](const std::string& url, const std::string& base) {
    // A navigation adds its download's URL, which may be listed already.
    listed.Insert(url);
    URLList->push_back(url);
    BaseList->push_back(base);
  };

  const std::string NoBase;
  std::string line;
  const int32_t count = timeline.Count();
  // Lookups are announced Ahead items early (the slot) and again half as
  // early (the text), with the hash kept for the lookup itself.
  constexpr int32_t Ahead = 16;
  uint64_t hashes[Ahead];
  auto mayLookUp = [&](int32_t j) { return j >= recent && j < count && timeline[j].Event == EventStart; };
  for (int32_t j = 0; j < Ahead; ++j)
    if (mayLookUp(j)) listed.Prefetch(hashes[j % Ahead] = listed.Hash(timeline[j].Value));
  for (int32_t i = 0; i < count; ++i) {
    const TTarvikTimelineItem& item = timeline[i];
    if (mayLookUp(i + Ahead / 2)) listed.PrefetchText(hashes[(i + Ahead / 2) % Ahead]);
    const bool candidate = i >= recent && item.Event == EventStart &&
                           (!search.CompareThreads() || item.TID == TID || search.StartedAfter(item.TID, TID));
    const bool selected = candidate && !listed.Contains(item.Value, hashes[i % Ahead]);
    if (mayLookUp(i + Ahead)) listed.Prefetch(hashes[(i + Ahead) % Ahead] = listed.Hash(timeline[i + Ahead].Value));
    if (i + 2 * Ahead < count) {
      // The URL's bytes sit wherever the heap put them.
      const std::string& later = timeline[i + 2 * Ahead].Value;
      __builtin_prefetch(later.data());
      if (later.size() > 64) __builtin_prefetch(later.data() + 64);
    }
    FormatListItemTrace(line, selected, item);
    TraceLog(TraceSource, line);
    if (!selected) continue;

    switch (item.Category) {
      case CategoryMainNavigation:
      case CategoryFrameNavigation: {
        // The navigated document is the first download after the start in
        // its thread; its base is what the window showed when it finished.
        const int32_t download = search.FindEvent(CategoryDownload, EventStart, 0, item.TID, i + 1);
        if (download == -1) break;
        const int32_t finish = search.FindEvent(item.Category, EventFinish, item.OID, item.TID, download + 1);
        addURL(timeline[download].Value, finish == -1 ? NoBase : timeline[finish].Value);
        break;
      }
      case CategoryDownload:
        addURL(item.Value, NoBase);
        break;
      default:
        break;
    }
  }

  TraceLog(TraceSource, "URL list generated. [1] selected [0] not selected");
  TraceLog(TraceSource, "URL list generated: \r\n" + ListAsText(*URLList));
  TraceLog(TraceSource, "Base list generated: \r\n" + ListAsText(*BaseList));
}

}  // namespace tarvik
