#include "support/GoldenTrace.h"

#include <fstream>
#include <sstream>

#include "framework/Trace.h"

namespace tarvik::test {

namespace {

std::string GoldenPath(const std::string& file) {
#ifdef _WIN32
  // The source tree, as Wine shows the host's root.
  return "Z:" TARVIK_TESTS_DIR "/" + file;
#else
  return TARVIK_TESTS_DIR "/" + file;
#endif
}

// Lines as written, carriage returns shown, for a failure's message.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    for (size_t at = line.find('\r'); at != std::string::npos; at = line.find('\r', at + 2)) line.replace(at, 1, "\\r");
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::string RenderTrace(const std::vector<TraceLine>& lines) {
  std::string text;
  for (const TraceLine& line : lines) {
    text += line.Source;
    if (!line.Message.empty()) text += ": " + line.Message;
    if (line.Extra != 0 || line.Level != 50) text += Format(" {Extra=%d Level=%d}", line.Extra, line.Level);
    text += '\n';
  }
  return text;
}

::testing::AssertionResult MatchesGoldenTrace(const std::vector<TraceLine>& lines, const std::string& file,
                                              const TraceValues& values) {
  std::ifstream in(GoldenPath(file), std::ios::binary);
  if (!in) return ::testing::AssertionFailure() << "cannot read " << GoldenPath(file);
  std::string golden((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const auto& [name, value] : values) {
    const std::string placeholder = "{" + name + "}";
    for (size_t at = golden.find(placeholder); at != std::string::npos;
         at = golden.find(placeholder, at + value.size()))
      golden.replace(at, placeholder.size(), value);
  }
  const std::string rendered = RenderTrace(lines);
  if (rendered == golden) return ::testing::AssertionSuccess();
  const std::vector<std::string> wanted = Split(golden), got = Split(rendered);
  size_t i = 0;
  while (i < wanted.size() && i < got.size() && wanted[i] == got[i]) ++i;
  return ::testing::AssertionFailure() << file << " line " << i + 1
                                       << ":\n  wanted: " << (i < wanted.size() ? wanted[i] : "(no line)")
                                       << "\n  got:    " << (i < got.size() ? got[i] : "(no line)")
                                       << "\nthe whole trace:\n"
                                       << rendered;
}

}  // namespace tarvik::test
