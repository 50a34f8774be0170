// The native build has no platform MIME database: a type by the name's
// extension from the fixed table.
#include "archive/ContentSniffing.h"

namespace tarvik {

std::string SniffContentType(const std::string& fileName) {
  if (fileName.empty()) return "text/plain";
  return ContentTypeFromExtension(fileName);
}

}  // namespace tarvik
