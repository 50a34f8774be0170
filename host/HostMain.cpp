// The browser host: opens browser windows on a URL and, scripted, captures
// the page through the toolbar as a user does, or lists an archive.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "ArchiveReader.h"
#include "BrowserWindow.h"
#include "CaptureDriver.h"
#include "HostCommandLine.h"
#include "PageText.h"
#include "UrlFetcher.h"
#include "framework/Handles.h"

using namespace tarvik::host;

namespace {

bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int ListArchive(const std::wstring& path, TReporter& reporter) {
  tarvik::UniqueHandle file(
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    reporter.Error("open archive", "cannot read " + Utf8(path) + " (error " + std::to_string(::GetLastError()) + ")");
    return 1;
  }
  // Read a piece at a time: an archive may be larger than this process can hold.
  TArchiveScanner scanner(false);
  std::string error;
  std::string buffer(1 << 20, '\0');
  uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
      reporter.Error("open archive", "cannot read " + Utf8(path) + " (error " + std::to_string(::GetLastError()) + ")");
      return 1;
    }
    if (read == 0) break;
    total += read;
    if (!scanner.Feed(std::string_view(buffer.data(), read), error)) {
      reporter.Error("read archive", error);
      return 1;
    }
  }
  if (!scanner.Finish(error)) {
    reporter.Error("read archive", error);
    return 1;
  }
  reporter.Line("archive: " + Utf8(path) + " " + std::to_string(total) + " bytes");
  reporter.Line("subject: " + scanner.Subject());
  reporter.Line("parts: " + std::to_string(scanner.Parts().size()));
  for (size_t i = 0; i < scanner.Parts().size(); ++i) {
    const TArchiveScanner::TPart& part = scanner.Parts()[i];
    reporter.Line("part " + std::to_string(i + 1) + ": " + std::to_string(part.Size) + " bytes " + part.ContentType +
                  " " + part.ContentLocation);
  }
  return 0;
}

void PrintProcessFigures(TReporter& reporter) {
  // The locale's code page, which the add-on's display texts are written in.
  reporter.Line("ANSI code page: " + std::to_string(::GetACP()));
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)))
    reporter.Line("memory: working set " + std::to_string(counters.WorkingSetSize) + " bytes, peak working set " +
                  std::to_string(counters.PeakWorkingSetSize) + " bytes, committed " +
                  std::to_string(counters.PagefileUsage) + " bytes, peak committed " +
                  std::to_string(counters.PeakPagefileUsage) + " bytes");
  for (const auto& [name, waits] : {std::pair{"reads", ReadWaits()}, std::pair{"binds", BindWaits()}}) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s: %lu, 99.9th percentile %.3f ms, longest %.3f ms, over %.0f ms %lu", name,
                  static_cast<unsigned long>(waits.Count), waits.Percentile999Ms, waits.LongestMs, kLongWaitMs,
                  static_cast<unsigned long>(waits.Long));
    reporter.Line(text);
  }
  HMODULE addon = ::GetModuleHandleW(L"TarvikCore.dll");
  if (!addon) {
    reporter.Line("addon: not loaded");
    return;
  }
  using TCanUnload = HRESULT(STDAPICALLTYPE*)();
  auto canUnload = reinterpret_cast<TCanUnload>(::GetProcAddress(addon, "DllCanUnloadNow"));
  reporter.Line(std::string("addon: can unload now ") + (canUnload && canUnload() == S_OK ? "yes" : "no"));
}

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.0f", ms);
  return text;
}

// The addresses of a session list, one a line (UTF-8); empty lines skipped.
std::vector<std::wstring> ReadSession(const std::wstring& path, bool& ok) {
  std::vector<std::wstring> urls;
  FILE* file = path.empty() ? nullptr : _wfopen(path.c_str(), L"rb");
  ok = path.empty() || file;
  if (!file) return urls;
  char line[8192];
  while (std::fgets(line, sizeof(line), file)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) continue;
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring url(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), url.data(), n);
    urls.push_back(std::move(url));
  }
  std::fclose(file);
  return urls;
}

// Navigates the window (its navigation number count) and waits for the page.
bool Visit(TBrowserWindow& window, const std::wstring& url, unsigned count, const std::string& label,
           TReporter& reporter, TDeadline deadline, TNavigationResult& result) {
  reporter.Step(label + "navigate " + Utf8(url));
  window.Navigate(url);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (!window.WaitNavigations(count, static_cast<DWORD>(std::max<long long>(0, left.count())), result)) {
    reporter.Error(label + "timeout", "the page did not complete in time");
    // The window's thread is still inside the fetch and cannot be joined:
    // the run ends here, as a user ends a browser that hangs.
    ::ExitProcess(1);
  }
  if (!result.Ok) {
    reporter.Error(label + "navigate", Utf8(url) + " : " + result.Error);
    return false;
  }
  std::string status = result.Status ? ", HTTP " + std::to_string(result.Status) : "";
  reporter.Step(label + "document complete " + Utf8(result.FinalUrl) + " (" + Milliseconds(result.Milliseconds) +
                " ms, " + std::to_string(result.Resources) + " resources, " + std::to_string(result.FailedResources) +
                " failed" + status + ")");
  return true;
}

// One window's part of a scripted run: the session's addresses first, then
// every round navigates and, unless only timing the load, captures.
bool RunWindow(TBrowserWindow& window, int index, const THostCommandLine& command, TReporter& reporter,
               TDeadline deadline, std::mutex& inputLock, unsigned long long& captured) {
  const bool numbered = command.Windows > 1 || command.Rounds > 1;
  const std::string label = command.Windows > 1 ? "window " + std::to_string(index) + ": " : "";
  bool read = false;
  const std::vector<std::wstring> session = ReadSession(command.SessionPath, read);
  if (!read) {
    reporter.Error(label + "session", "cannot read " + Utf8(command.SessionPath));
    return false;
  }
  unsigned navigations = 0;
  TNavigationResult result;
  for (const std::wstring& url : session) {
    if (!Visit(window, url, ++navigations, label, reporter, deadline, result)) return false;
    reporter.Line("session load: " + Milliseconds(result.Milliseconds) + " ms " + Utf8(result.FinalUrl));
  }
  for (int round = 1; round <= command.Rounds; ++round) {
    if (!Visit(window, command.Target, ++navigations, label, reporter, deadline, result)) return false;
    if (command.Mode == THostCommandLine::TMode::LoadOnly) {
      reporter.Line("load: " + Milliseconds(result.Milliseconds) + " ms " + Utf8(result.FinalUrl));
      continue;
    }
    // The hot key goes to the window in front: one window at a time.
    std::unique_lock lock(inputLock, std::defer_lock);
    if (command.Hotkey) lock.lock();
    TCaptureDriver driver(window, reporter, deadline, label);
    const std::wstring path = ArchivePathFor(command.CapturePath, index, round, numbered);
    if (!driver.Capture(path, command.Hotkey, command.ClickGapMs)) return false;
    captured += driver.Bytes();
  }
  return true;
}

int RunBrowser(const THostCommandLine& command, TReporter& reporter) {
  // The windows' threads are the apartments; this thread pumps no messages, so it joins the MTA.
  tarvik::ScopedComInit com(COINIT_MULTITHREADED);
  const TDeadline deadline = std::chrono::steady_clock::now() + std::chrono::seconds(command.TimeoutSeconds);
  std::vector<std::unique_ptr<TBrowserWindow>> windows;
  for (int i = 1; i <= command.Windows; ++i) {
    reporter.Step("open window " + std::to_string(i));
    auto window = std::make_unique<TBrowserWindow>(TWindowOptions{command.LoadAddons, i});
    if (!window->Ready()) {
      reporter.Error("open window", window->StartError());
      return 1;
    }
    reporter.Step("add-ons: " + std::to_string(window->HelperCount()) + " helper object(s), " +
                  std::to_string(window->BandCount()) + " band(s)");
    windows.push_back(std::move(window));
  }
  // The add-on stays loaded to the end, as in the browser, where only
  // CoFreeUnusedLibraries unloads it: its unload answer is read at the end.
  tarvik::UniqueHModule addon;
  ::GetModuleHandleExW(0, L"TarvikCore.dll", addon.Put());
  if (command.Mode == THostCommandLine::TMode::Browse) {
    for (auto& window : windows) window->Navigate(command.Target);
    // Until the user has closed every window.
    for (auto& window : windows) window->WaitClosed();
    return 0;
  }
  std::mutex inputLock;
  std::vector<unsigned long long> captured(windows.size(), 0);
  std::vector<char> ok(windows.size(), 0);
  std::vector<std::thread> drivers;
  for (size_t i = 0; i < windows.size(); ++i)
    drivers.emplace_back([&, i] {
      ok[i] =
          RunWindow(*windows[i], static_cast<int>(i + 1), command, reporter, deadline, inputLock, captured[i]) ? 1 : 0;
    });
  for (std::thread& driver : drivers) driver.join();
  reporter.Step("close windows");
  for (size_t i = 0; i < windows.size(); ++i)
    if (!windows[i]->Close()) {
      reporter.Error("close windows", "window " + std::to_string(i + 1) + " did not close");
      std::fflush(stdout);
      ::ExitProcess(1);  // its thread still runs: no orderly end is possible
    }
  windows.clear();
  unsigned long long total = 0;
  for (unsigned long long bytes : captured) total += bytes;
  if (command.Mode == THostCommandLine::TMode::Capture) reporter.Line("captured: " + std::to_string(total) + " bytes");
  PrintProcessFigures(reporter);
  for (char success : ok)
    if (!success) return 1;
  return 0;
}

}  // namespace

int main() {
  TReporter reporter;
  int count = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < count; ++i) arguments.emplace_back(argv[i]);
  ::LocalFree(argv);
  THostCommandLine command;
  std::string error;
  if (!ParseHostCommandLine(arguments, FileExists, command, error)) {
    std::fprintf(stderr, "%s\n%s\n", error.c_str(), Usage().c_str());
    return 2;
  }
  if (command.Mode == THostCommandLine::TMode::ListArchive) return ListArchive(command.Target, reporter);
  SetPullReads(command.Pull);
  return RunBrowser(command, reporter);
}
