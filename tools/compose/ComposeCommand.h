#pragma once
// tarvik-compose: makes a web archive from files through the real composer.
//   tarvik-compose --out FILE [--title TEXT] [--version TEXT] MANIFEST
// MANIFEST has one entry a line, five fields separated by a TAB: the URL,
// its content type, a file whose bytes become the captured content, the
// cache file name, and the base URL (all but the URL may be empty).
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/WebArchive.h"
#include "core/TarvikDataBuffer.h"

namespace tarvik::compose {

struct TManifestEntry {
  int Line = 0;
  std::string URL;
  std::string ContentType;
  std::string ContentFile;
  std::string LocalFilename;
  std::string Base;
};

// A fault of the manifest, with the line it was found on (0: the whole file).
class TManifestError : public std::runtime_error {
 public:
  TManifestError(int line, const std::string& what) : std::runtime_error(what), FLine(line) {}
  int Line() const noexcept { return FLine; }

 private:
  int FLine;
};

// Blank lines are skipped; a CR before the line end is dropped.
std::vector<TManifestEntry> ParseManifest(std::istream& in);

// Fills store as the capture would have: the first line of a URL (letter
// case ignored) makes its record, later ones only add list entries.
// URLs and bases follow the lines in order.
void FillStore(const std::vector<TManifestEntry>& entries, TTarvikDataBuffer& store, std::vector<std::string>& urls,
               std::vector<std::string>& bases);

// The whole command; returns the exit code (0 success, 1 failure, 2 usage).
int ComposeCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace tarvik::compose
