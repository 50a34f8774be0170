#include "framework/OptionReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvik {
namespace {

constexpr TOption kOptions[] = {{1, "--out", "FILE", "the archive to write"},
                                {2, "--time", "", "print the time\nin milliseconds"}};
// As the tools read: "--out=FILE", --help, "-x" an option.
const TOptionTable kTool{kOptions, true, true, true};
// As the host reads: only "--x" is an option.
const TOptionTable kHost{kOptions};

// The items in one line: "--out=VALUE", "--time", "?unknown", "!missing",
// "help", or a positional argument as given.
template <class Char>
std::string Render(const std::vector<TOptionItem<Char>>& items) {
  using TKind = typename TOptionItem<Char>::TKind;
  auto narrow = [](const std::basic_string<Char>& text) { return std::string(text.begin(), text.end()); };
  std::string out;
  for (const TOptionItem<Char>& item : items) {
    if (!out.empty()) out += ' ';
    if (item.Kind == TKind::Option)
      out += std::string(item.Option->Name) + (item.Option->ValueName.empty() ? "" : "=" + narrow(item.Value));
    else if (item.Kind == TKind::MissingValue)
      out += "!" + std::string(item.Option->Name);
    else if (item.Kind == TKind::Unknown)
      out += "?" + narrow(item.Text);
    else
      out += item.Kind == TKind::Help ? "help" : narrow(item.Text);
  }
  return out;
}

TEST(OptionReader, ReadsEachArgumentAsTheProgramsDo) {
  struct Case {
    const TOptionTable& Table;
    std::vector<std::string> Args;
    std::string Items;
  } cases[] = {
      {kTool, {"--out", "a.mht", "m.txt"}, "--out=a.mht m.txt"},
      {kTool, {"--out=a", "--time", "--out", "b"}, "--out=a --time --out=b"},
      {kTool, {"--out="}, "--out="},
      {kTool, {"m.txt", "--out"}, "m.txt !--out"},
      {kTool, {"--out", "--time"}, "--out=--time"},
      {kTool, {"--time=1", "--outx", "--"}, "?--time=1 ?--outx ?--"},
      {kTool, {"-", "-x", ""}, "- ?-x "},
      {kTool, {"-h", "--help", "--help=1"}, "help help ?--help=1"},
      {kHost, {"-x", "-", "--", "--help", "-h"}, "-x - ?-- ?--help -h"},
      {kHost, {"--out=a", "--out", "a", "--time"}, "?--out=a --out=a --time"},
      {kHost, {"--out"}, "!--out"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Render(ReadOptions(c.Table, c.Args)), c.Items);
    std::vector<std::wstring> wide;
    for (const std::string& a : c.Args) wide.emplace_back(a.begin(), a.end());
    EXPECT_EQ(Render(ReadOptions(c.Table, wide)), c.Items);
  }
  // Wide values pass on untouched.
  const std::wstring path = L"C:\\\u00e9\u4e2d.mht";
  const auto items = ReadOptions(kHost, std::vector<std::wstring>{L"--out", path});
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].Value, path);
}

TEST(OptionReader, HelpListsEveryOptionInOneColumn) {
  EXPECT_EQ(kTool.Help(),
            "  --out FILE  the archive to write\n"
            "  --time      print the time\n"
            "              in milliseconds\n"
            "  -h, --help  print this text\n");
  EXPECT_EQ(kHost.Help(),
            "  --out FILE  the archive to write\n"
            "  --time      print the time\n"
            "              in milliseconds\n");
}

}  // namespace
}  // namespace tarvik
