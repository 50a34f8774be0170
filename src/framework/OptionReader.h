#pragma once
// Command-line options read against one table, which also writes the help
// text. Templated on the character type: the browser host reads its
// arguments as UTF-16 and passes paths on untouched.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

struct TOption {
  int Id;                      // the program's own name for the option
  std::string_view Name;       // "--out"
  std::string_view ValueName;  // "FILE"; empty: a switch without a value
  std::string_view Help;       // may run over lines
};

struct TOptionTable {
  std::span<const TOption> Options;
  bool InlineValues = false;       // "--out=FILE" as well as "--out FILE"
  bool HelpOption = false;         // "--help" and "-h" ask for the help text
  bool SingleDashOptions = false;  // "-x" is an option (else a positional argument); "-" never is

  // One line an option (and --help), the help texts in one column.
  std::string Help() const;
};

template <class Char>
struct TOptionItem {
  enum class TKind { Option, Positional, Help, Unknown, MissingValue };
  TKind Kind = TKind::Positional;
  const TOption* Option = nullptr;  // Option and MissingValue
  std::basic_string<Char> Text;     // the argument as given
  std::basic_string<Char> Value;    // an option's value
};

// Every argument in order; an option that takes a value takes the next
// argument whatever it is. Programs stop at the first item they refuse.
template <class Char>
std::vector<TOptionItem<Char>> ReadOptions(const TOptionTable& table, const std::vector<std::basic_string<Char>>& args);

extern template std::vector<TOptionItem<char>> ReadOptions(const TOptionTable&, const std::vector<std::string>&);
extern template std::vector<TOptionItem<wchar_t>> ReadOptions(const TOptionTable&, const std::vector<std::wstring>&);

}  // namespace tarvik
