#include "framework/WinText.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tarvik {
namespace {

struct TextPair {
  std::wstring Wide;
  std::string Ansi;
};

TEST(WinText, ConvertsBetweenUtf16AndTheAnsiCodePageWithoutFailingOnBadInput) {
  EXPECT_EQ(WideToAnsi(static_cast<const wchar_t*>(nullptr)), "");
  const TextPair pairs[] = {
      {L"", ""},
      {L"http://h/a b?x=1", "http://h/a b?x=1"},
      // Zero characters inside a counted text are kept.
      {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
      {std::wstring(70000, L'w'), std::string(70000, 'w')},
      {L"caf\u00E9", "caf\xE9"},
  };
  for (const TextPair& pair : pairs) {
    EXPECT_EQ(WideToAnsi(pair.Wide), pair.Ansi) << pair.Ansi.size();
    EXPECT_EQ(AnsiToWide(pair.Ansi), pair.Wide) << pair.Ansi.size();
  }
  // A lone surrogate becomes a stand-in character, never a failure.
  const std::string lone = WideToAnsi(std::wstring_view(L"x\xD800y", 3));
  ASSERT_EQ(lone.size(), 3u);
  EXPECT_EQ(lone.front(), 'x');
  EXPECT_EQ(lone.back(), 'y');
}

TEST(WinText, ModuleFileNameNamesTheRunningProgram) {
  const std::string exe = ModuleFileName(nullptr);
  ASSERT_GT(exe.size(), 4u);
  EXPECT_EQ(exe.substr(exe.size() - 4), ".exe");
  EXPECT_NE(exe.find_first_of("\\/"), std::string::npos);
  EXPECT_EQ(ModuleFileName(::GetModuleHandleA(nullptr)), exe);
}

}  // namespace
}  // namespace tarvik
