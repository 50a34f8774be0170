#pragma once
// The trace operation. Callers build their lines; by default nothing is
// written anywhere. A process may install one sink (tests, diagnosis) to
// receive the lines; the system never depends on it.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarvik {

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Write(std::string_view source, std::string_view message, int32_t extra, int32_t level) = 0;
};

// Installs sink (nullptr removes it); returns the previous one.
TraceSink* SetTraceSink(TraceSink* sink) noexcept;

void TraceLog(std::string_view source, std::string_view message, int32_t extra = 0, int32_t level = 50);
// Whether a sink receives lines now; hot paths may skip building lines that
// nobody would receive.
bool TraceActive() noexcept;

// The text of a trace line: a literal, or a callable that builds it, so
// that nothing is built for a line that nobody receives.
template <class Text>
std::string TraceText(Text&& text) {
  if constexpr (std::is_invocable_v<Text&>)
    return std::string(text());
  else
    return std::string(text);
}

// printf-style formatting into a std::string. %p in trace texts is written
// as %08X by callers (eight upper-case hexadecimal digits).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// "True"/"False", as booleans print in trace lines.
inline const char* BoolText(bool value) noexcept { return value ? "True" : "False"; }

}  // namespace tarvik
