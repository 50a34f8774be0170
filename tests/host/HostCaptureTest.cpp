// The whole road through the host: a copy of iexplore.exe and the DLL in a
// folder of their own, the DLL registered with regsvr32, a small site served
// on 127.0.0.1, a capture by clicks and the save dialog, and the archive's
// parts checked against what the server sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ArchiveReader.h"
#include "browser/TarvikClassIds.h"
#include "framework/GuidText.h"
#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/WinTestUtil.h"

namespace tarvik::host {
namespace {

using ::testing::HasSubstr;

struct TRun {
  DWORD ExitCode = 0xFFFFFFFF;
  std::string Output;
};

// Runs a program of the prefix with its output collected; bounded in time.
TRun RunProgram(const std::string& commandLine, DWORD timeoutMs) {
  TRun run;
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  UniqueHandle readEnd, writeEnd;
  if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), &inherit, 0)) return run;
  ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.Get();
  startup.hStdError = writeEnd.Get();
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process = {};
  std::string mutableLine = commandLine;
  if (!::CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return run;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  writeEnd.Reset();
  const DWORD start = ::GetTickCount();
  char buffer[4096];
  for (;;) {
    DWORD available = 0;
    if (::PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD read = 0;
      if (::ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr)) run.Output.append(buffer, read);
      continue;
    }
    if (::WaitForSingleObject(processHandle.Get(), 50) == WAIT_OBJECT_0) {
      while (::PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD read = 0;
        if (!::ReadFile(readEnd.Get(), buffer, sizeof(buffer), &read, nullptr)) break;
        run.Output.append(buffer, read);
      }
      break;
    }
    if (::GetTickCount() - start > timeoutMs) {
      ::TerminateProcess(processHandle.Get(), 99);
      run.Output += "\n<timed out>";
      break;
    }
  }
  ::GetExitCodeProcess(processHandle.Get(), &run.ExitCode);
  return run;
}

class HostCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The host and the add-on in a folder of their own: their settings file
    // and the guide the add-on looks for live beside them.
    const std::string bin = test::HostPathToWindows(TARVIK_BIN_DIR) + "\\";
    ASSERT_TRUE(::CopyFileA((bin + "iexplore.exe").c_str(), FFolder.File("iexplore.exe").c_str(), FALSE));
    ASSERT_TRUE(::CopyFileA((bin + "TarvikCore.dll").c_str(), FFolder.File("TarvikCore.dll").c_str(), FALSE));
    UniqueHKey shown;
    DWORD size = sizeof(FShownBefore);
    FShownExisted = ::RegOpenKeyExW(HKEY_CURRENT_USER, kShownBars, 0, KEY_QUERY_VALUE, shown.Put()) == ERROR_SUCCESS &&
                    ::RegQueryValueExW(shown.Get(), WideGuidText(CLSID_TarvikToolbar).c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(&FShownBefore), &size) == ERROR_SUCCESS;
    const TRun registration = RunProgram("regsvr32.exe /s \"" + FFolder.File("TarvikCore.dll") + "\"", 60000);
    ASSERT_EQ(registration.ExitCode, 0u) << registration.Output;
    FRegistered = true;
  }
  void TearDown() override {
    if (FRegistered) RunProgram("regsvr32.exe /s /u \"" + FFolder.File("TarvikCore.dll") + "\"", 60000);
    // The host remembers the band it showed, as the browser does: put back what was there.
    UniqueHKey shown;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kShownBars, 0, KEY_SET_VALUE, shown.Put()) != ERROR_SUCCESS) return;
    const std::wstring name = WideGuidText(CLSID_TarvikToolbar);
    if (FShownExisted)
      ::RegSetValueExW(shown.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&FShownBefore),
                       sizeof(FShownBefore));
    else
      ::RegDeleteValueW(shown.Get(), name.c_str());
  }

  std::string Host(const std::string& arguments) { return "\"" + FFolder.File("iexplore.exe") + "\" " + arguments; }

  static constexpr wchar_t kShownBars[] = L"Software\\Microsoft\\Internet Explorer\\Toolbar\\WebBrowser";
  test::TempFolder FFolder;
  bool FRegistered = false;
  bool FShownExisted = false;
  DWORD FShownBefore = 0;
};

TEST_F(HostCapture, ClicksSaveTheWholePageIntoAnArchive) {
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  std::map<std::string, std::string> served = {
      {"/page.html",
       "<html><head><meta charset=utf-8><title>Caf\xC3\xA9 page</title><link rel=stylesheet href=style.css>"
       "<script src=app.js></script></head><body><a name=top></a><a href=#>up</a><a href=\"page.html#\">again</a>"
       "<img src=pic.png><iframe src=frame.html></iframe></body></html>"},
      {"/style.css", "@import url(more.css);\nbody{background:url(\"bg.png\")}"},
      {"/more.css", "p{background:url(deep.png)}"},
      {"/app.js", "var loaded = true;"},
      {"/pic.png", std::string("\x89PNG\r\n\x1A\n\0\0\0picture", 18)},
      {"/bg.png", std::string("\x89PNG\r\n\x1A\n\0\0\0background", 21)},
      {"/deep.png", std::string("\x89PNG\r\n\x1A\n\0\0\0deep", 15)},
      {"/frame.html", "<html><head><title>Frame</title></head><body><img src=fpic.png></body></html>"},
      {"/fpic.png", std::string("\x89PNG\r\n\x1A\n\0\0\0frame", 16)}};
  for (const auto& [path, body] : served) {
    const std::string type = path.ends_with(".html")  ? "text/html; charset=utf-8"
                             : path.ends_with(".css") ? "text/css"
                             : path.ends_with(".js")  ? "application/javascript"
                                                      : "image/png";
    server.Serve(path, type, body);
  }
  test::HttpResponse redirect;
  redirect.Status = 302;
  redirect.Reason = "Found";
  redirect.Headers.emplace_back("Location", "/page.html");
  server.Route("/start", redirect);

  const std::string archivePath = FFolder.File("Saved page.mht");
  const TRun capture =
      RunProgram(Host("--capture \"" + archivePath + "\" --timeout 120 " + server.Url("/start")), 180000);
  ASSERT_EQ(capture.ExitCode, 0u) << capture.Output;
  for (const char* step : {"step: first click", "step: second click", "step: save dialog", "step: success box"})
    EXPECT_THAT(capture.Output, HasSubstr(step));
  EXPECT_THAT(capture.Output, HasSubstr("archive: " + archivePath));
  EXPECT_THAT(capture.Output, HasSubstr("addon: can unload now yes"));

  TArchive archive;
  std::string error;
  ASSERT_TRUE(ReadArchive(test::ReadWholeFile(archivePath), archive, error)) << error;
  EXPECT_EQ(archive.Subject, "Saved page");
  ASSERT_FALSE(archive.Parts.empty());
  // The page reached through the redirect is archived first where the
  // window found it, and its bytes also stand at the address asked for.
  EXPECT_EQ(archive.Parts[0].ContentLocation, server.Url("/page.html"));
  std::map<std::string, std::string> expected = served;
  expected["/start"] = served["/page.html"];
  // Every resource the server sent is in the archive with its bytes (pages
  // gain a base tag before </head>: each side of it is checked; the copy at
  // the address asked for carries one in front of what the page names).
  for (const auto& [path, body] : expected) {
    const TArchivePart* found = nullptr;
    for (const TArchivePart& part : archive.Parts)
      if (!found && part.ContentLocation == server.Url(path)) found = &part;
    ASSERT_NE(found, nullptr) << path;
    if (path == "/start") {
      const std::string tag = "<base href=\"" + server.Url("/page.html") + "\">";
      const size_t at = found->Body.find(tag);
      ASSERT_NE(at, std::string::npos) << found->Body;
      EXPECT_EQ(found->Body.substr(0, at) + found->Body.substr(at + tag.size()), body);
      EXPECT_LT(at, body.find("<link"));
    } else if (body.find("</head>") != std::string::npos) {
      const size_t head = body.find("</head>");
      EXPECT_THAT(found->Body, ::testing::StartsWith(body.substr(0, head))) << path;
      EXPECT_THAT(found->Body, ::testing::EndsWith(body.substr(head))) << path;
      EXPECT_THAT(found->Body, HasSubstr("<base href=\"")) << path;
    } else {
      EXPECT_EQ(found->Body, body) << path;
    }
  }

  // The hot key in place of the clicks gives the same archive (the page comes from the cache now).
  const std::string hotkeyPath = FFolder.File("by hot key.mht");
  const TRun hotkey =
      RunProgram(Host("--capture \"" + hotkeyPath + "\" --hotkey --timeout 120 " + server.Url("/start")), 180000);
  ASSERT_EQ(hotkey.ExitCode, 0u) << hotkey.Output;
  EXPECT_THAT(hotkey.Output, HasSubstr("step: second Ctrl+W"));
  TArchive byHotkey;
  ASSERT_TRUE(ReadArchive(test::ReadWholeFile(hotkeyPath), byHotkey, error)) << error;
  EXPECT_EQ(byHotkey.Parts.size(), archive.Parts.size());

  // Opened as the toolbar opens an archive: the host lists its parts.
  const TRun listing = RunProgram(Host("\"" + archivePath + "\""), 60000);
  EXPECT_EQ(listing.ExitCode, 0u) << listing.Output;
  EXPECT_THAT(listing.Output, HasSubstr("parts: " + std::to_string(archive.Parts.size())));
  EXPECT_THAT(listing.Output, HasSubstr(server.Url("/deep.png")));
}

// Ctrl+W goes to the window in front whichever window's thread holds the key,
// also right after another window's capture has ended; every window captures
// its own page in turn, twice.
TEST_F(HostCapture, HotKeyCapturesInEachOfThreeWindowsInTurn) {
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  server.Serve("/page.html", "text/html", "<html><head><title>Turns</title></head><body>turns</body></html>");

  const std::string archivePath = FFolder.File("turn.mht");
  const TRun capture = RunProgram(Host("--capture \"" + archivePath +
                                       "\" --hotkey --windows 3 --rounds 2 --timeout 240 " + server.Url("/page.html")),
                                  300000);
  ASSERT_EQ(capture.ExitCode, 0u) << capture.Output;
  for (int window = 1; window <= 3; ++window)
    for (int round = 1; round <= 2; ++round) {
      const std::string name = "turn-w" + std::to_string(window) + "-r" + std::to_string(round);
      EXPECT_THAT(capture.Output, HasSubstr("archive: " + FFolder.File(name + ".mht"))) << name;
      TArchive archive;
      std::string error;
      ASSERT_TRUE(ReadArchive(test::ReadWholeFile(FFolder.File(name + ".mht")), archive, error))
          << name << ": " << error;
      EXPECT_EQ(archive.Subject, name);
      ASSERT_FALSE(archive.Parts.empty()) << name;
      EXPECT_EQ(archive.Parts[0].ContentLocation, server.Url("/page.html")) << name;
    }
}

// A capture to a folder and a name of the system's code page, in whatever
// language the system's dialogs and boxes speak.
TEST_F(HostCapture, ANameInTheSystemsCodePage) {
  const test::TCodePageNames names = test::SystemsCodePageNames();
  test::LoopbackHttpServer server;
  ASSERT_TRUE(server.Running());
  server.Serve("/page.html", "text/html", "<html><head><title>Names</title></head><body><img src=p.png></body></html>");
  server.Serve("/p.png", "image/png", std::string("\x89PNG\r\n\x1A\n\0\0\0names", 16));
  const std::string folder = FFolder.File(names.Folder);
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  const std::string archivePath = folder + "\\" + names.File + ".mht";
  const TRun capture =
      RunProgram(Host("--capture \"" + archivePath + "\" --timeout 120 " + server.Url("/page.html")), 180000);
  ASSERT_EQ(capture.ExitCode, 0u) << capture.Output;
  EXPECT_THAT(capture.Output, HasSubstr("step: success box"));
  TArchive archive;
  std::string error;
  ASSERT_TRUE(ReadArchive(test::ReadWholeFile(archivePath), archive, error)) << error;
  EXPECT_EQ(archive.Subject, names.File);
  ASSERT_EQ(archive.Parts.size(), 2u);
  EXPECT_EQ(archive.Parts[1].ContentLocation, server.Url("/p.png"));
}

TEST_F(HostCapture, AnAddressThatDoesNotAnswerFailsNamingTheStep) {
  std::string deadUrl;
  {
    test::LoopbackHttpServer dead;
    deadUrl = dead.Url("/page.html");
  }
  const std::string archivePath = FFolder.File("never.mht");
  const TRun capture = RunProgram(Host("--capture \"" + archivePath + "\" --timeout 60 " + deadUrl), 120000);
  EXPECT_EQ(capture.ExitCode, 1u) << capture.Output;
  EXPECT_THAT(capture.Output, HasSubstr("error: navigate: " + deadUrl));
  EXPECT_FALSE(test::FileExists(archivePath));
}

}  // namespace
}  // namespace tarvik::host
