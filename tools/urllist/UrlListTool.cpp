// tarvik-urllist: replays a recorded timeline through the URL list walk and
// prints the URLs an archive would hold, each with its base, to find out why
// a capture did or did not take a resource.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "TimelineFile.h"
#include "core/PlatformVersion.h"
#include "core/UrlList.h"
#include "framework/Trace.h"

namespace {

using namespace tarvik;

constexpr const char* Usage =
    "usage: tarvik-urllist --tid N --mark N [--platform MAJOR.MINOR] [--trace] TIMELINE\n"
    "\n"
    "Replays TIMELINE through the archive URL list walk for the window of thread\n"
    "N and the capture mark N, and prints the URL list, one entry a line: the\n"
    "URL, a TAB and its base.\n"
    "\n"
    "TIMELINE has one item a line, fields separated by TABs: SID, TID (decimal),\n"
    "OID (hexadecimal), category (0-3 or WebBrowser, MainNavigation,\n"
    "FrameNavigation, Download), event (0-1 or Start, Finish), value.\n"
    "\n"
    "  --platform MAJOR.MINOR  platform version to replay as (default 5.1;\n"
    "                          below 5.0 threads are not told apart)\n"
    "  --trace                 print the walk's trace lines to standard error\n";

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
  std::cerr << "tarvik-urllist: " << message << "\n\n" << Usage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<int32_t> tid, mark;
  std::optional<TPlatformVersion> platform;
  bool trace = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::cout << Usage;
      return 0;
    } else if (arg == "--tid") {
      const char* text = value();
      if (!text || !(tid = urllist::ParseThreadId(text))) return UsageError("--tid needs a decimal thread id");
    } else if (arg == "--mark") {
      const char* text = value();
      if (!text || !(mark = urllist::ParseInt32(text))) return UsageError("--mark needs a decimal SID");
    } else if (arg == "--platform") {
      const char* text = value();
      if (!text || !(platform = urllist::ParsePlatformVersion(text)))
        return UsageError("--platform needs a version MAJOR.MINOR, such as 5.0");
    } else if (arg == "--trace") {
      trace = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option " + arg);
    } else if (path.empty()) {
      path = arg;
    } else {
      return UsageError("more than one TIMELINE given");
    }
  }
  if (!tid || !mark || path.empty()) return UsageError("--tid, --mark and TIMELINE are required");

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
