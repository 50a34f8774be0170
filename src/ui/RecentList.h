#pragma once
// A recent list of the toolbar (saved archives, save folders): newest first,
// at most MaxItems entries, loaded from and stored to one ini section under
// the keys "MRU1".."MRU10".
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tarvik {

// The few ini operations the toolbar needs; the Windows build implements
// them over TIniFile, tests over a map.
class IIniStore {
 public:
  virtual ~IIniStore() = default;
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const = 0;
  virtual void WriteString(const std::string& section, const std::string& key, const std::string& value) = 0;
  virtual void DeleteKey(const std::string& section, const std::string& key) = 0;
};

// The beep preference: "BeepNotification" of "Preferences", true when missing.
bool ReadBeepNotification(const IIniStore& ini);
void WriteBeepNotification(IIniStore& ini, bool enabled);

// The menu text of a recent archive: the file name without its folder, and
// without its extension when hideExtension is set (the shell's file title).
std::string FileTitleText(const std::string& path, bool hideExtension);

class TRecentList {
 public:
  static constexpr size_t MaxItems = 10;

  // Turns a path into a full path; an empty function keeps the path as given.
  using ExpandFunction = std::function<std::string(const std::string&)>;
  // The text a menu shows for an entry (without its accelerator).
  using MenuTextFunction = std::function<std::string(const std::string&)>;

  // Entries shown as their full text.
  static std::string FullText(const std::string& entry) { return entry; }

  explicit TRecentList(MenuTextFunction menuText = FullText, ExpandFunction expand = {});

  const std::vector<std::string>& Items() const noexcept { return FItems; }
  size_t Count() const noexcept { return FItems.size(); }

  // Adds a path at the top: an entry equal to its full path as a file name
  // (letter case ignored) moves to the top and takes the new text; the list
  // keeps its newest MaxItems entries. An empty path is ignored.
  void Add(const std::string& path);
  // A click on entry index: moves it to the top (in memory only) and returns its text.
  std::string Click(size_t index);

  // Replaces the list with the non-empty values of "MRU1".."MRU10", as stored.
  void Load(const IIniStore& ini, const std::string& section);
  // Writes the entries as "MRU1".."MRUn" and deletes the keys after them.
  void Store(IIniStore& ini, const std::string& section) const;

  // "&1 text" .. "&9 text", "&A text": one per entry, in list order.
  std::vector<std::string> MenuTexts() const;

 private:
  std::vector<std::string> FItems;
  MenuTextFunction FMenuText;
  ExpandFunction FExpand;
};

#ifdef _WIN32
class TIniFile;

// The ini store over the library's ini file (not owned).
class TIniFileStore final : public IIniStore {
 public:
  explicit TIniFileStore(TIniFile& ini) : FIni(ini) {}
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const override;
  // Throws EIniFileException when the file cannot be written.
  void WriteString(const std::string& section, const std::string& key, const std::string& value) override;
  void DeleteKey(const std::string& section, const std::string& key) override;

 private:
  TIniFile& FIni;
};

// The platform's full path of a path; the path itself when that fails.
std::string FullPathName(const std::string& path);
// Whether the user's shell hides file extensions (the default when unset).
bool ShellHidesExtensions();
#endif

}  // namespace tarvik
