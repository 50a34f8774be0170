// The host's command line.
#include "HostCommandLine.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik::host {
namespace {

bool NoFile(const std::wstring&) { return false; }
bool AnyFile(const std::wstring&) { return true; }

TEST(HostCommandLine, ModesOptionsAndMistakes) {
  THostCommandLine command;
  std::string error;
  ASSERT_TRUE(ParseHostCommandLine({L"--capture", L"/tmp/out.mht", L"--hotkey", L"--windows", L"3", L"--rounds", L"20",
                                    L"--timeout", L"600", L"http://127.0.0.1:8/"},
                                   NoFile, command, error))
      << error;
  EXPECT_EQ(command.Mode, THostCommandLine::TMode::Capture);
  EXPECT_EQ(command.CapturePath, L"Z:\\tmp\\out.mht");
  EXPECT_TRUE(command.Hotkey);
  EXPECT_EQ(command.Windows, 3);
  EXPECT_EQ(command.Rounds, 20);
  EXPECT_EQ(command.TimeoutSeconds, 600);
  EXPECT_FALSE(command.Pull);

  ASSERT_TRUE(ParseHostCommandLine({L"C:\\x\\Getting Started.MHT"}, NoFile, command, error));
  EXPECT_EQ(command.Mode, THostCommandLine::TMode::ListArchive);
  ASSERT_TRUE(ParseHostCommandLine({L"/tmp/saved"}, AnyFile, command, error));
  EXPECT_EQ(command.Mode, THostCommandLine::TMode::ListArchive);
  EXPECT_EQ(command.Target, L"Z:\\tmp\\saved");
  ASSERT_TRUE(
      ParseHostCommandLine({L"--no-addons", L"--pull", L"--load-only", L"http://h/a.mht"}, AnyFile, command, error));
  EXPECT_EQ(command.Mode, THostCommandLine::TMode::LoadOnly);
  EXPECT_FALSE(command.LoadAddons);
  EXPECT_TRUE(command.Pull);
  EXPECT_EQ(command.SessionPath, L"");
  ASSERT_TRUE(
      ParseHostCommandLine({L"--session", L"/tmp/pages.txt", L"--load-only", L"http://h/"}, NoFile, command, error));
  EXPECT_EQ(command.SessionPath, L"Z:\\tmp\\pages.txt");

  const std::vector<std::vector<std::wstring>> mistakes = {{},
                                                           {L"http://a/", L"http://b/"},
                                                           {L"--capture"},
                                                           {L"--windows", L"0", L"http://a/"},
                                                           {L"--rounds", L"x", L"http://a/"},
                                                           {L"--hotkey", L"http://a/"},
                                                           {L"--frobnicate", L"http://a/"},
                                                           {L"--capture", L"a.mht", L"--load-only", L"http://a/"},
                                                           {L"--capture", L"a.mht", L"b.mht"},
                                                           {L"http://a/", L"--session"}};
  for (const auto& arguments : mistakes) EXPECT_FALSE(ParseHostCommandLine(arguments, NoFile, command, error));
}

TEST(HostCommandLine, ArchiveNamesPerWindowAndRound) {
  EXPECT_EQ(ArchivePathFor(L"Z:\\tmp\\a.mht", 2, 7, false), L"Z:\\tmp\\a.mht");
  EXPECT_EQ(ArchivePathFor(L"Z:\\tmp\\a.mht", 2, 7, true), L"Z:\\tmp\\a-w2-r7.mht");
  EXPECT_EQ(ArchivePathFor(L"Z:\\t.d\\archive", 1, 1, true), L"Z:\\t.d\\archive-w1-r1");
  EXPECT_EQ(WindowsPath(L"C:\\x"), L"C:\\x");
}

}  // namespace
}  // namespace tarvik::host
