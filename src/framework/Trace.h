#pragma once
// The one way this library traces, and its one home for swallowed failures.
//
// Log(Source, Message, Extra, Level) builds a line only while a sink listens
// and hands it to that one sink. The browser's runtime installs the trace
// file as the sink when the settings name one (off by default); tools and
// tests install their own. No failure of building or writing a line reaches
// the caller, so a line never changes what a call returns.
#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarvik {

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) = 0;
};

// Installs sink (nullptr removes it); returns the previous one.
TraceSink* SetTraceSink(TraceSink* sink) noexcept;
// Whether a sink receives lines now; hot paths may skip building lines that
// nobody would receive.
bool TraceActive() noexcept;
// The end of a line's way: the sink, if one listens. Log and the runtime's
// Log operation call it; everything else calls Log.
void WriteToTraceSink(std::string_view source, std::string_view message, int32_t extra, int32_t level);

// The text of a trace line: a literal, or a callable that builds it, so
// that nothing is built for a line that nobody receives.
template <class Text>
std::string TraceText(Text&& text) {
  if constexpr (std::is_invocable_v<Text&>)
    return std::string(text());
  else
    return std::string(text);
}

// The trace function: source and message are literals or callables (see
// TraceText).
template <class Source, class Message>
void Log(Source&& source, Message&& message, int32_t extra = 0, int32_t level = 50) noexcept {
  if (!TraceActive()) return;
  try {
    WriteToTraceSink(TraceText(source), TraceText(message), extra, level);
  } catch (...) {
  }
}

// Where a failure ends without a result to carry it (destructors, callbacks,
// operations that return nothing, work that is only worth trying): runs body;
// an exception that escapes it writes the line given (none without a source)
// and is dropped. Answers whether body ran to its end.
struct TFailureLine {
  const char* Source = nullptr;
  const char* Message = "";
  int32_t Extra = 0;
  int32_t Level = 50;
};

template <class Body>
bool NoThrow(const TFailureLine& line, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (...) {
  }
  if (line.Source) Log(line.Source, line.Message, line.Extra, line.Level);
  return false;
}

template <class Body>
bool NoThrow(Body&& body) noexcept {
  return NoThrow(TFailureLine{}, std::forward<Body>(body));
}

// printf-style formatting into a std::string. %p in trace texts is written
// as %08X by callers (eight upper-case hexadecimal digits).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// "True"/"False", as booleans print in trace lines.
inline const char* BoolText(bool value) noexcept { return value ? "True" : "False"; }

}  // namespace tarvik
