#include "ui/RecentList.h"

#include <algorithm>

#include "core/AnsiCase.h"
#include "ui/NameRules.h"

namespace tarvik {

namespace {

const std::string PreferencesSection = "Preferences";
const std::string BeepKey = "BeepNotification";

std::string KeyName(size_t number) { return "MRU" + std::to_string(number); }

// An "&" in the text would underline the next character in a menu.
std::string EscapeAmpersands(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (c == '&') result += '&';
    result += c;
  }
  return result;
}

}  // namespace

bool ReadBeepNotification(const IIniStore& ini) {
  return TextToBool(ini.ReadString(PreferencesSection, BeepKey, "True"), true);
}

void WriteBeepNotification(IIniStore& ini, bool enabled) {
  ini.WriteString(PreferencesSection, BeepKey, enabled ? "True" : "False");
}

std::string FileTitleText(const std::string& path, bool hideExtension) {
  std::string_view name = FileNameOf(path);
  if (hideExtension) {
    // A name that is only an extension (".mht") keeps it.
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  }
  return std::string(name);
}

TRecentList::TRecentList(MenuTextFunction menuText, ExpandFunction expand)
    : FMenuText(menuText ? std::move(menuText) : MenuTextFunction(FullText)), FExpand(std::move(expand)) {}

void TRecentList::Add(const std::string& path) {
  if (path.empty()) return;  // an empty entry would not survive a store and load
  std::string full = FExpand ? FExpand(path) : path;
  auto same =
      std::find_if(FItems.begin(), FItems.end(), [&](const std::string& item) { return AnsiSameText(item, full); });
  if (same != FItems.end()) FItems.erase(same);
  FItems.insert(FItems.begin(), std::move(full));
  if (FItems.size() > MaxItems) FItems.resize(MaxItems);
}

std::string TRecentList::Click(size_t index) {
  if (index >= FItems.size()) return {};
  std::rotate(FItems.begin(), FItems.begin() + static_cast<std::ptrdiff_t>(index),
              FItems.begin() + static_cast<std::ptrdiff_t>(index) + 1);
  return FItems.front();
}

void TRecentList::Load(const IIniStore& ini, const std::string& section) {
  FItems.clear();
  for (size_t n = 1; n <= MaxItems; ++n) {
    std::string value = ini.ReadString(section, KeyName(n), "");
    if (!value.empty()) FItems.push_back(std::move(value));
  }
}

void TRecentList::Store(IIniStore& ini, const std::string& section) const {
  for (size_t n = 1; n <= MaxItems; ++n) {
    if (n <= FItems.size())
      ini.WriteString(section, KeyName(n), FItems[n - 1]);
    else
      ini.DeleteKey(section, KeyName(n));
  }
}

std::vector<std::string> TRecentList::MenuTexts() const {
  static constexpr char Accelerators[] = "123456789A";
  std::vector<std::string> texts;
  texts.reserve(FItems.size());
  for (size_t i = 0; i < FItems.size(); ++i)
    texts.push_back(std::string("&") + Accelerators[i] + " " + EscapeAmpersands(FMenuText(FItems[i])));
  return texts;
}

}  // namespace tarvik
