// tarvik-urllist: replays a recorded timeline through the URL list walk and
// prints the URLs an archive would hold, each with its base, to find out why
// a capture did or did not take a resource.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "TimelineFile.h"
#include "core/PlatformVersion.h"
#include "core/UrlList.h"
#include "framework/OptionReader.h"
#include "framework/Trace.h"

namespace {

using namespace tarvik;

enum TUrlListOption { kTid, kMark, kPlatform, kTrace };
constexpr TOption kOptions[] = {
    {kTid, "--tid", "N", "the thread of the window whose capture is replayed"},
    {kMark, "--mark", "N", "the capture mark: the SID the capture began at"},
    {kPlatform, "--platform", "MAJOR.MINOR",
     "platform version to replay as (default 5.1;\nbelow 5.0 threads are not told apart)"},
    {kTrace, "--trace", "", "print the walk's trace lines to standard error"},
};
constexpr TOptionTable kOptionTable{kOptions, false, true, true};

std::string Usage() {
  return "usage: tarvik-urllist --tid N --mark N [--platform MAJOR.MINOR] [--trace] TIMELINE\n"
         "\n"
         "Replays TIMELINE through the archive URL list walk for the window of thread\n"
         "N and the capture mark N, and prints the URL list, one entry a line: the\n"
         "URL, a TAB and its base.\n"
         "\n"
         "TIMELINE has one item a line, fields separated by TABs: SID, TID (decimal),\n"
         "OID (hexadecimal), category (0-3 or WebBrowser, MainNavigation,\n"
         "FrameNavigation, Download), event (0-1 or Start, Finish), value.\n"
         "\n" +
         kOptionTable.Help();
}

// Trace lines to standard error, "source: message", one a line.
class StderrTrace : public TraceSink {
 public:
  void Write(std::string_view source, std::string_view message, int32_t, int32_t) override {
    std::cerr.write(source.data(), static_cast<std::streamsize>(source.size()));
    std::cerr << ": ";
    std::cerr.write(message.data(), static_cast<std::streamsize>(message.size()));
    std::cerr << '\n';
  }
};

bool ReadWholeFile(const std::string& path, std::string& contents, std::string& error) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) contents.append(buffer, got);
  const bool failed = std::ferror(file);
  if (failed) error = errno ? std::strerror(errno) : "read error";
  std::fclose(file);
  return !failed;
}

int UsageError(const std::string& message) {
  std::cerr << "tarvik-urllist: " << message << "\n\n" << Usage();
  return 2;
}

struct TUrlListArguments {
  std::optional<int32_t> Tid, Mark;
  std::optional<TPlatformVersion> Platform;
  bool Trace = false;
  std::string Path;
};

// One option into read; the usage error when its value is missing or not one.
const char* ReadOption(const TOptionItem<char>& item, TUrlListArguments& read) {
  const bool missing = item.Kind == TOptionItem<char>::TKind::MissingValue;
  switch (item.Option->Id) {
    case kTid:
      return !missing && (read.Tid = urllist::ParseThreadId(item.Value)) ? nullptr : "--tid needs a decimal thread id";
    case kMark:
      return !missing && (read.Mark = urllist::ParseInt32(item.Value)) ? nullptr : "--mark needs a decimal SID";
    case kPlatform:
      return !missing && (read.Platform = urllist::ParsePlatformVersion(item.Value))
                 ? nullptr
                 : "--platform needs a version MAJOR.MINOR, such as 5.0";
    case kTrace:
      read.Trace = true;
  }
  return nullptr;
}

// The command line into read; the exit code when the command ends there.
std::optional<int> ReadArguments(const std::vector<std::string>& args, TUrlListArguments& read) {
  using TKind = TOptionItem<char>::TKind;
  for (const TOptionItem<char>& item : ReadOptions(kOptionTable, args)) {
    if (item.Kind == TKind::Help) {
      std::cout << Usage();
      return 0;
    }
    if (item.Kind == TKind::Unknown) return UsageError("unknown option " + item.Text);
    if (item.Kind == TKind::Positional) {
      if (!read.Path.empty()) return UsageError("more than one TIMELINE given");
      read.Path = item.Text;
    } else if (const char* error = ReadOption(item, read)) {
      return UsageError(error);
    }
  }
  if (!read.Tid || !read.Mark || read.Path.empty()) return UsageError("--tid, --mark and TIMELINE are required");
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  TUrlListArguments read;
  if (const std::optional<int> ended = ReadArguments({argv + 1, argv + argc}, read)) return *ended;
  const auto& [tid, mark, platform, trace, path] = read;

  std::string contents, error;
  if (!ReadWholeFile(path, contents, error)) {
    std::cerr << "tarvik-urllist: cannot read " << path << ": " << error << "\n";
    return 1;
  }
  TTarvikTimelineItems timeline;
  if (!urllist::ParseTimeline(contents, timeline, error)) {
    std::cerr << "tarvik-urllist: " << path << ": " << error << "\n";
    return 1;
  }

  SetPlatformVersion(platform);
  StderrTrace sink;
  if (trace) SetTraceSink(&sink);
  std::vector<std::string> urls, bases;
  GenerateList(timeline, *tid, *mark, &urls, &bases);
  SetTraceSink(nullptr);

  std::string out;
  for (size_t i = 0; i < urls.size(); ++i) out.append(urls[i]).append("\t").append(bases[i]).append("\n");
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
