#include "HostCommandLine.h"

#include <cwctype>

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

}  // namespace

std::string Usage() {
  return "usage: iexplore.exe [--capture OUT.mht [--hotkey]] [--load-only] [--windows N] [--rounds R]\n"
         "                    [--no-addons] [--timeout S] [--click-gap MS] [--session LIST] URL\n"
         "       iexplore.exe ARCHIVE.mht";
}

bool ParseHostCommandLine(const std::vector<std::wstring>& arguments, bool (*fileExists)(const std::wstring&),
                          THostCommandLine& command, std::string& error) {
  command = THostCommandLine{};
  std::vector<std::wstring> positional;
  bool loadOnly = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& a = arguments[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= arguments.size()) {
        error = Narrow(a) + " needs a value";
        return false;
      }
      out = arguments[++i];
      return true;
    };
    auto number = [&](int low, int high, int& out) {
      std::wstring text;
      if (!value(text)) return false;
      if (ReadNumber(text, low, high, out)) return true;
      error = Narrow(a) + " takes a number from " + std::to_string(low) + " to " + std::to_string(high);
      return false;
    };
    if (a == L"--capture") {
      if (!value(command.CapturePath)) return false;
      if (command.CapturePath.empty()) {
        error = "--capture needs a file name";
        return false;
      }
    } else if (a == L"--session") {
      if (!value(command.SessionPath)) return false;
    } else if (a == L"--hotkey") {
      command.Hotkey = true;
    } else if (a == L"--load-only") {
      loadOnly = true;
    } else if (a == L"--no-addons") {
      command.LoadAddons = false;
    } else if (a == L"--windows") {
      if (!number(1, 16, command.Windows)) return false;
    } else if (a == L"--rounds") {
      if (!number(1, 10000, command.Rounds)) return false;
    } else if (a == L"--timeout") {
      if (!number(1, 86400, command.TimeoutSeconds)) return false;
    } else if (a == L"--click-gap") {
      if (!number(0, 60000, command.ClickGapMs)) return false;
    } else if (a.size() > 1 && a[0] == L'-' && a[1] == L'-') {
      error = "unknown option " + Narrow(a);
      return false;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 1) {
    error = positional.empty() ? "no URL given" : "more than one URL given";
    return false;
  }
  command.Target = positional[0];
  const bool archive = !LooksLikeUrl(command.Target) &&
                       (EndsWithNoCase(command.Target, L".mht") || EndsWithNoCase(command.Target, L".eml") ||
                        (fileExists && fileExists(WindowsPath(command.Target))));
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
