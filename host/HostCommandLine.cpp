#include "HostCommandLine.h"

#include <cwctype>

#include "framework/OptionReader.h"

namespace tarvik::host {

namespace {

bool EndsWithNoCase(const std::wstring& text, const std::wstring& suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::towlower(text[text.size() - suffix.size() + i]) != std::towlower(suffix[i])) return false;
  return true;
}

bool LooksLikeUrl(const std::wstring& text) {
  const size_t colon = text.find(L':');
  // "C:\..." is a drive, not a scheme.
  if (colon == std::wstring::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i)
    if (!std::iswalnum(text[i]) && text[i] != L'+' && text[i] != L'-' && text[i] != L'.') return false;
  return true;
}

bool ReadNumber(const std::wstring& text, int low, int high, int& value) {
  if (text.empty() || text.size() > 9) return false;
  int number = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    number = number * 10 + (c - L'0');
  }
  if (number < low || number > high) return false;
  value = number;
  return true;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

enum THostOption { kCapture, kHotkey, kLoadOnly, kWindows, kRounds, kNoAddons, kTimeout, kClickGap, kSession, kPull };
constexpr TOption kOptions[] = {
    {kCapture, "--capture", "OUT.mht", "capture the page into OUT.mht"},
    {kHotkey, "--hotkey", "", "save by the hot key, not by the second click"},
    {kLoadOnly, "--load-only", "", "load the page and time it; capture nothing"},
    {kWindows, "--windows", "N", "browser windows at once, 1 to 16 (default 1)"},
    {kRounds, "--rounds", "R", "captures or loads in each window, 1 to 10000 (default 1)"},
    {kNoAddons, "--no-addons", "", "load no add-ons"},
    {kTimeout, "--timeout", "S", "seconds the whole run may take, 1 to 86400 (default 120)"},
    {kClickGap, "--click-gap", "MS", "milliseconds between the two clicks, 0 to 60000 (default 500)"},
    {kSession, "--session", "LIST", "addresses each window browses first, one a line (UTF-8)"},
    {kPull, "--pull", "", "bind asynchronously, reading data as it arrives (default: blocking binds)"},
};
constexpr TOptionTable kOptionTable{kOptions};

struct TNumberOption {
  int Id, Low, High;
  int THostCommandLine::*Field;
};
constexpr TNumberOption kNumbers[] = {{kWindows, 1, 16, &THostCommandLine::Windows},
                                      {kRounds, 1, 10000, &THostCommandLine::Rounds},
                                      {kTimeout, 1, 86400, &THostCommandLine::TimeoutSeconds},
                                      {kClickGap, 0, 60000, &THostCommandLine::ClickGapMs}};

// One option into command; false with a message on a bad value.
bool ReadOption(const TOptionItem<wchar_t>& item, THostCommandLine& command, bool& loadOnly, std::string& error) {
  for (const TNumberOption& number : kNumbers) {
    if (number.Id != item.Option->Id) continue;
    if (ReadNumber(item.Value, number.Low, number.High, command.*number.Field)) return true;
    error =
        Narrow(item.Text) + " takes a number from " + std::to_string(number.Low) + " to " + std::to_string(number.High);
    return false;
  }
  switch (item.Option->Id) {
    case kCapture:
      command.CapturePath = item.Value;
      if (!command.CapturePath.empty()) return true;
      error = "--capture needs a file name";
      return false;
    case kSession:
      command.SessionPath = item.Value;
      return true;
    case kHotkey:
      command.Hotkey = true;
      return true;
    case kLoadOnly:
      loadOnly = true;
      return true;
    case kNoAddons:
      command.LoadAddons = false;
      return true;
    case kPull:
      command.Pull = true;
      return true;
  }
  return true;
}

// The options into command and the rest into positional; false with a message.
bool ReadArguments(const std::vector<std::wstring>& arguments, THostCommandLine& command, bool& loadOnly,
                   std::vector<std::wstring>& positional, std::string& error) {
  using TKind = TOptionItem<wchar_t>::TKind;
  for (const TOptionItem<wchar_t>& item : ReadOptions(kOptionTable, arguments)) {
    if (item.Kind == TKind::Positional) {
      positional.push_back(item.Text);
    } else if (item.Kind == TKind::Unknown) {
      error = "unknown option " + Narrow(item.Text);
      return false;
    } else if (item.Kind == TKind::MissingValue) {
      error = Narrow(item.Text) + " needs a value";
      return false;
    } else if (!ReadOption(item, command, loadOnly, error)) {
      return false;
    }
  }
  return true;
}

bool IsArchive(const std::wstring& target, bool (*fileExists)(const std::wstring&)) {
  return !LooksLikeUrl(target) && (EndsWithNoCase(target, L".mht") || EndsWithNoCase(target, L".eml") ||
                                   (fileExists && fileExists(WindowsPath(target))));
}

}  // namespace

std::string Usage() {
  std::string text =
      "usage: iexplore.exe [--capture OUT.mht [--hotkey]] [--load-only] [--windows N] [--rounds R]\n"
      "                    [--no-addons] [--timeout S] [--click-gap MS] [--session LIST] [--pull] URL\n"
      "       iexplore.exe ARCHIVE.mht\n" +
      kOptionTable.Help();
  text.pop_back();  // the caller ends the line
  return text;
}

bool ParseHostCommandLine(const std::vector<std::wstring>& arguments, bool (*fileExists)(const std::wstring&),
                          THostCommandLine& command, std::string& error) {
  command = THostCommandLine{};
  std::vector<std::wstring> positional;
  bool loadOnly = false;
  if (!ReadArguments(arguments, command, loadOnly, positional, error)) return false;
  if (positional.size() != 1) {
    error = positional.empty() ? "no URL given" : "more than one URL given";
    return false;
  }
  command.Target = positional[0];
  const bool archive = IsArchive(command.Target, fileExists);
  if (!command.CapturePath.empty() && loadOnly) {
    error = "--capture and --load-only exclude each other";
    return false;
  }
  if (archive) {
    if (!command.CapturePath.empty() || loadOnly) {
      error = "an archive is listed, not captured";
      return false;
    }
    command.Mode = THostCommandLine::TMode::ListArchive;
    command.Target = WindowsPath(command.Target);
    return true;
  }
  if (command.Hotkey && command.CapturePath.empty()) {
    error = "--hotkey needs --capture";
    return false;
  }
  if (!command.SessionPath.empty()) command.SessionPath = WindowsPath(command.SessionPath);
  if (!command.CapturePath.empty()) {
    command.Mode = THostCommandLine::TMode::Capture;
    command.CapturePath = WindowsPath(command.CapturePath);
  } else if (loadOnly) {
    command.Mode = THostCommandLine::TMode::LoadOnly;
  }
  return true;
}

std::wstring WindowsPath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return path;
  std::wstring out = L"Z:" + path;
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

std::wstring ArchivePathFor(const std::wstring& path, int window, int round, bool numbered) {
  if (!numbered) return path;
  const size_t slash = path.find_last_of(L"\\/");
  const size_t dot = path.rfind(L'.');
  const bool hasExtension = dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash + 1);
  const std::wstring stem = hasExtension ? path.substr(0, dot) : path;
  const std::wstring extension = hasExtension ? path.substr(dot) : L"";
  return stem + L"-w" + std::to_wstring(window) + L"-r" + std::to_wstring(round) + extension;
}

}  // namespace tarvik::host
