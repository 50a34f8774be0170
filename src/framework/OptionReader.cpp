#include "framework/OptionReader.h"

#include <algorithm>

namespace tarvik {

namespace {

constexpr std::string_view kHelpName = "-h, --help";
constexpr std::string_view kHelpText = "print this text";

// Option names are ASCII, so they compare with wide text char by char.
template <class Char>
bool StartsWith(const std::basic_string<Char>& text, std::string_view name) {
  return text.size() >= name.size() && std::equal(name.begin(), name.end(), text.begin(), [](char n, Char t) {
           return t == static_cast<Char>(static_cast<unsigned char>(n));
         });
}

template <class Char>
bool Is(const std::basic_string<Char>& text, std::string_view name) {
  return text.size() == name.size() && StartsWith(text, name);
}

std::string Synopsis(const TOption& option) {
  std::string text(option.Name);
  if (!option.ValueName.empty()) text.append(" ").append(option.ValueName);
  return text;
}

void AppendLine(std::string& out, const std::string& synopsis, std::string_view help, size_t column) {
  out.append("  ").append(synopsis).append(column - synopsis.size(), ' ');
  for (size_t at = 0;;) {
    const size_t end = help.find('\n', at);
    out.append(help.substr(at, end - at)).append("\n");
    if (end == std::string_view::npos) return;
    at = end + 1;
    out.append(2 + column, ' ');
  }
}

}  // namespace

std::string TOptionTable::Help() const {
  size_t width = HelpOption ? kHelpName.size() : 0;
  for (const TOption& option : Options) width = std::max(width, Synopsis(option).size());
  std::string out;
  for (const TOption& option : Options) AppendLine(out, Synopsis(option), option.Help, width + 2);
  if (HelpOption) AppendLine(out, std::string(kHelpName), kHelpText, width + 2);
  return out;
}

template <class Char>
std::vector<TOptionItem<Char>> ReadOptions(const TOptionTable& table,
                                           const std::vector<std::basic_string<Char>>& args) {
  using TKind = typename TOptionItem<Char>::TKind;
  std::vector<TOptionItem<Char>> items;
  for (size_t i = 0; i < args.size(); ++i) {
    TOptionItem<Char>& item = items.emplace_back();
    const std::basic_string<Char>& a = item.Text = args[i];
    if (table.HelpOption && (Is(a, "--help") || Is(a, "-h"))) {
      item.Kind = TKind::Help;
      continue;
    }
    const auto named = std::find_if(table.Options.begin(), table.Options.end(), [&](const TOption& option) {
      const size_t n = option.Name.size();
      return Is(a, option.Name) || (table.InlineValues && !option.ValueName.empty() && a.size() > n &&
                                    a[n] == Char('=') && StartsWith(a, option.Name));
    });
    if (named == table.Options.end()) {
      const bool option = a.size() > 1 && a[0] == Char('-') && (table.SingleDashOptions || a[1] == Char('-'));
      item.Kind = option ? TKind::Unknown : TKind::Positional;
      continue;
    }
    item.Option = &*named;
    item.Kind = TKind::Option;
    if (a.size() > named->Name.size()) {
      item.Value = a.substr(named->Name.size() + 1);  // "--name=value"
    } else if (!named->ValueName.empty()) {
      if (i + 1 < args.size())
        item.Value = args[++i];
      else
        item.Kind = TKind::MissingValue;
    }
  }
  return items;
}

template std::vector<TOptionItem<char>> ReadOptions(const TOptionTable&, const std::vector<std::string>&);
template std::vector<TOptionItem<wchar_t>> ReadOptions(const TOptionTable&, const std::vector<std::wstring>&);

}  // namespace tarvik
