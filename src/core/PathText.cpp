#include "core/PathText.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tarvik {

bool IsSystemLeadByte(unsigned char c) {
#ifdef _WIN32
  return ::IsDBCSLeadByte(c) != FALSE;
#else
  (void)c;
  return false;
#endif
}

size_t CharWidth(std::string_view text, size_t i, const LeadBytePredicate& isLeadByte) {
  return isLeadByte && i + 1 < text.size() && isLeadByte(static_cast<unsigned char>(text[i])) ? 2 : 1;
}

size_t FindLastOf(std::string_view text, std::string_view chars, const LeadBytePredicate& isLeadByte) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i < text.size();) {
    const size_t width = CharWidth(text, i, isLeadByte);
    if (width == 1 && chars.find(text[i]) != std::string_view::npos) found = i;
    i += width;
  }
  return found;
}

std::string FolderOf(std::string_view path, const LeadBytePredicate& isLeadByte) {
  const size_t separator = FindLastOf(path, "\\/", isLeadByte);
  return separator == std::string_view::npos ? std::string() : std::string(path.substr(0, separator + 1));
}

std::string PathBeside(std::string_view file, std::string_view path, const LeadBytePredicate& isLeadByte) {
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const bool absolute = (!path.empty() && (path[0] == '\\' || path[0] == '/')) ||
                        (path.size() >= 2 && isLetter(path[0]) && path[1] == ':');
  if (absolute) return std::string(path);
  return FolderOf(file, isLeadByte) + std::string(path);
}

}  // namespace tarvik
