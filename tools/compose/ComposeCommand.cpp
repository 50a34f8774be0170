#include "ComposeCommand.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>

#include "archive/ArchiveFile.h"
#include "framework/OptionReader.h"
#include "protocol/CaptureBuffer.h"
#ifdef _WIN32
#include "archive/ArchiveEnvironmentWin.h"
#endif

#ifndef TARVIK_PRODUCT_VERSION
#define TARVIK_PRODUCT_VERSION ""
#endif

namespace tarvik::compose {

namespace {

enum TComposeOption { kOut, kTitle, kVersion, kTime };
constexpr TOption kOptions[] = {
    {kOut, "--out", "FILE", "the archive to write"},
    {kTitle, "--title", "TEXT", "the archive's subject"},
    {kVersion, "--version", "TEXT", "the product version the archive names (default: this build's)"},
    {kTime, "--time", "", "print the milliseconds from reading the manifest to the closed archive"},
};
constexpr TOptionTable kOptionTable{kOptions, true, true, true};

std::string Usage() {
  return "usage: tarvik-compose --out FILE [--title TEXT] [--version TEXT] [--time] MANIFEST\n" + kOptionTable.Help() +
         "  MANIFEST: one archive entry a line, five TAB-separated fields:\n"
         "    URL, content type (may be empty), file holding the captured bytes (may be empty),\n"
         "    cache file name (may be empty or missing), base URL (may be empty)\n"
         "  MANIFEST \"-\" reads standard input.\n";
}

// A content file's bytes, kept as the browser's captures are: in memory up to
// the process's budget, past it in the temporary file.
TURLContent::Bytes ReadContentFile(const std::string& path, int line) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TManifestError(line, "cannot open content file \"" + path + "\": " + std::strerror(errno));
  TCaptureBuffer buffer;
  std::vector<char> chunk(size_t{1} << 20);
  try {
    while (in) {
      in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      if (in.gcount() > 0) buffer.Append(chunk.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) throw TManifestError(line, "cannot read content file \"" + path + "\"");
    return buffer.Publish();
  } catch (const TCaptureDropped&) {
    throw TManifestError(line, "cannot keep the bytes of content file \"" + path + "\": the temporary file failed");
  }
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    const size_t tab = line.find('\t', at);
    fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
    if (tab == std::string::npos) return fields;
    at = tab + 1;
  }
}

}  // namespace

std::vector<TManifestEntry> ParseManifest(std::istream& in) {
  std::vector<TManifestEntry> entries;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() != 5)
      throw TManifestError(number,
                           "expected 5 TAB-separated fields (URL, content type, content file, cache file, "
                           "base), found " +
                               std::to_string(fields.size()));
    if (fields[0].empty()) throw TManifestError(number, "the URL field is empty");
    entries.push_back(TManifestEntry{number, fields[0], fields[1], fields[2], fields[3], fields[4]});
  }
  if (in.bad()) throw TManifestError(0, "cannot read the manifest");
  if (entries.empty()) throw TManifestError(0, "the manifest lists no entries");
  return entries;
}

void FillStore(const std::vector<TManifestEntry>& entries, TTarvikDataBuffer& store, std::vector<std::string>& urls,
               std::vector<std::string>& bases) {
  for (const TManifestEntry& e : entries) {
    if (!store.Exists(e.URL)) {
      TURLContent::Bytes content =
          e.ContentFile.empty() ? std::make_shared<const TCapturedBytes>() : ReadContentFile(e.ContentFile, e.Line);
      TURLContent& record = *store.GetURLContent(e.URL);
      record.SetContentType(e.ContentType);
      record.SetLocalFilename(e.LocalFilename);
      const auto length = static_cast<int32_t>(
          std::min<uint64_t>(content->size(), static_cast<uint64_t>(std::numeric_limits<int32_t>::max())));
      record.SetContent(std::move(content), length);
    } else if (!e.ContentFile.empty()) {
      // Not used, but a file that cannot be read is still a fault of the manifest.
      std::ifstream probe(e.ContentFile, std::ios::binary);
      if (!probe)
        throw TManifestError(e.Line, "cannot open content file \"" + e.ContentFile + "\": " + std::strerror(errno));
    }
    urls.push_back(e.URL);
    bases.push_back(e.Base);
  }
}

namespace {

struct TComposeArguments {
  std::string OutPath, Title, ManifestPath;
  std::string Version = TARVIK_PRODUCT_VERSION;
  bool Timed = false;
};

int UsageError(std::ostream& err, const std::string& message) {
  err << "tarvik-compose: " << message << "\n" << Usage();
  return 2;
}

// The command line into arguments; the exit code when the command ends here.
std::optional<int> ReadArguments(const std::vector<std::string>& args, TComposeArguments& read, std::ostream& out,
                                 std::ostream& err) {
  using TKind = TOptionItem<char>::TKind;
  bool haveOut = false, haveManifest = false;
  for (const TOptionItem<char>& item : ReadOptions(kOptionTable, args)) {
    if (item.Kind == TKind::Help) {
      out << Usage();
      return 0;
    }
    if (item.Kind == TKind::MissingValue) return UsageError(err, item.Text + " needs a value");
    if (item.Kind == TKind::Unknown) return UsageError(err, "unknown option " + item.Text);
    if (item.Kind == TKind::Positional) {
      if (haveManifest) return UsageError(err, "more than one MANIFEST");
      read.ManifestPath = item.Text;
      haveManifest = true;
      continue;
    }
    switch (item.Option->Id) {
      case kOut:
        read.OutPath = item.Value, haveOut = true;
        break;
      case kTitle:
        read.Title = item.Value;
        break;
      case kVersion:
        read.Version = item.Value;
        break;
      case kTime:
        read.Timed = true;
        break;
    }
  }
  if (!haveOut || read.OutPath.empty()) return UsageError(err, "--out FILE is required");
  if (!haveManifest) return UsageError(err, "MANIFEST is required");
  // The version text goes into the quoted boundary.
  for (const char c : read.Version)
    if (static_cast<unsigned char>(c) < 0x20 || c == '\x7F' || c == '"')
      return UsageError(err, "--version must not hold control characters or quotation marks");
  return std::nullopt;
}

std::string ManifestName(const std::string& path) { return path == "-" ? "<stdin>" : path; }

// The manifest's entries into store, urls and bases; false once err is told why not.
bool LoadManifest(const std::string& manifestPath, std::vector<TManifestEntry>& entries, TTarvikDataBuffer& store,
                  std::vector<std::string>& urls, std::vector<std::string>& bases, std::ostream& err) {
  try {
    if (manifestPath == "-") {
      entries = ParseManifest(std::cin);
    } else {
      std::ifstream in(manifestPath, std::ios::binary);
      if (!in) {
        err << "tarvik-compose: cannot open manifest \"" << manifestPath << "\": " << std::strerror(errno) << "\n";
        return false;
      }
      entries = ParseManifest(in);
    }
    FillStore(entries, store, urls, bases);
    return true;
  } catch (const TManifestError& error) {
    err << "tarvik-compose: " << ManifestName(manifestPath);
    if (error.Line() > 0) err << ":" << error.Line();
    err << ": " << error.what() << "\n";
    return false;
  }
}

}  // namespace

int ComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TComposeArguments read;
  if (const std::optional<int> ended = ReadArguments(args, read, out, err)) return *ended;
  const auto& [outPath, title, manifestPath, version, timed] = read;

  std::vector<TManifestEntry> entries;
  TTarvikDataBuffer store;
  std::vector<std::string> urls, bases;
  const std::string manifestName = ManifestName(manifestPath);
  const auto began = std::chrono::steady_clock::now();
  if (!LoadManifest(manifestPath, entries, store, urls, bases, err)) return 1;

#ifdef _WIN32
  // The library's own surroundings: the same composer as a save in the browser.
  TArchiveEnvironment env = WindowsArchiveEnvironment();
  env.Version = version;
#else
  TArchiveEnvironment env = NativeArchiveEnvironment(version);
#endif
  // The archive is written beside its place and moved there only whole: a
  // file already at --out survives a composition that fails.
  try {
    TArchiveFile file(outPath);
    try {
      WriteWebArchive(TURLStringList(urls.front(), urls, bases), store, file, title, env);
      file.Commit();
    } catch (const TFileError& error) {
      // Name the manifest line that brought the failing cache file in.
      for (const TManifestEntry& e : entries) {
        if (e.LocalFilename == error.Path()) {
          err << "tarvik-compose: " << manifestName << ":" << e.Line << ": " << error.what() << "\n";
          return 1;
        }
      }
      throw;
    }
  } catch (const TFileError& error) {
    err << "tarvik-compose: " << error.what() << "\n";
    return 1;
  }
  if (timed)
    err << "compose: " << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count()
        << " ms\n";
  return 0;
}

}  // namespace tarvik::compose
