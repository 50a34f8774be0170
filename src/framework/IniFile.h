#pragma once
// An ini file over the platform's private profile functions: it holds only
// the path; every read and write goes to the file at once.
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik {

class EIniFileException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // The profile functions return at most this many bytes of a value.
  static constexpr size_t MaxValueLength = 2047;

  explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

  const std::string& FileName() const noexcept { return FFileName; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue) const;
  // Throws EIniFileException("Unable to write to <path>") when the platform refuses.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  bool ValueExists(const std::string& section, const std::string& key) const;
  void DeleteKey(const std::string& section, const std::string& key);
  // Key names of a section, in file order.
  std::vector<std::string> ReadSection(const std::string& section) const;

 private:
  std::string FFileName;
};

}  // namespace tarvik
