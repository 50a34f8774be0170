#include "CaptureDriver.h"

#include <commctrl.h>
#include <dlgs.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "PageText.h"
#include "framework/Handles.h"

namespace tarvik::host {

namespace {

constexpr wchar_t kSaveDialogTitle[] = L"Save Web Archive To";
constexpr wchar_t kSuccessText[] = L"Successfully saved to";

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The save dialog and the success box are watched closely: the figures time
// the save by these steps, and a coarse poll adds up to its interval to each.
constexpr int kStepWatchMs = 10;

// A message to a window of the browser's thread, which may be busy saving:
// the driver never waits on it for long.
LRESULT Ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT fallback = 0) {
  DWORD_PTR answer = 0;
  if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &answer)) return fallback;
  return static_cast<LRESULT>(answer);
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  Ask(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  return name;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
  if (::IsWindowVisible(window) && ClassOf(window) == L"#32770")
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  ::EnumChildWindows(parent, CollectWindow, reinterpret_cast<LPARAM>(&children));
  return children;
}

std::wstring WithoutAccelerator(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text)
    if (c != L'&') out += c;
  return out;
}

// The file dialog, as opposed to boxes it raises with its own title.
bool IsSaveDialog(HWND dialog) {
  return WindowText(dialog) == kSaveDialogTitle && (::GetDlgItem(dialog, cmb13) || ::GetDlgItem(dialog, edt1));
}

bool FileComplete(const std::wstring& path, unsigned long long& size) {
  // The form keeps the file open and exclusive until its save step ends.
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  LARGE_INTEGER length;
  if (!::GetFileSizeEx(file.Get(), &length)) return false;
  size = static_cast<unsigned long long>(length.QuadPart);
  return true;
}

}  // namespace

void TReporter::Line(const std::string& text) {
  std::lock_guard lock(FLock);
  std::fputs((text + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void TReporter::Error(const std::string& step, const std::string& reason) {
  std::lock_guard lock(FLock);
  const std::string line = "error: " + step + ": " + reason + "\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

TCaptureButton FindCaptureButton(HWND bandArea) {
  TCaptureButton fallback;
  for (HWND child : Children(bandArea)) {
    if (ClassOf(child) != TOOLBARCLASSNAMEW) continue;
    const int count = static_cast<int>(Ask(child, TB_BUTTONCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      TBBUTTON button = {};
      if (!Ask(child, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&button))) continue;
      wchar_t text[256] = {};
      const LRESULT length = Ask(child, TB_GETBUTTONTEXTW, button.idCommand, 0);
      if (length > 0 && length < 256) Ask(child, TB_GETBUTTONTEXTW, button.idCommand, reinterpret_cast<LPARAM>(text));
      if (WithoutAccelerator(text) == L"Tarvik") return {child, button.idCommand};
      if (!fallback.Toolbar && (button.fsStyle & BTNS_CHECK)) fallback = {child, button.idCommand};
    }
  }
  return fallback;
}

bool IsButtonChecked(const TCaptureButton& button) {
  return Ask(button.Toolbar, TB_ISBUTTONCHECKED, button.Command, 0) != 0;
}

std::vector<HWND> ThreadDialogs(DWORD threadId) {
  std::vector<HWND> windows;
  ::EnumThreadWindows(threadId, CollectDialog, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

std::string DialogText(HWND dialog) {
  std::wstring text;
  for (HWND child : Children(dialog)) {
    if (::GetParent(child) != dialog || ClassOf(child) != L"Static") continue;
    const std::wstring part = WindowText(child);
    if (part.empty()) continue;
    if (!text.empty()) text += L' ';
    text += part;
  }
  for (wchar_t& c : text)
    if (c == L'\r' || c == L'\n') c = L' ';
  return Utf8(text);
}

bool PressDialogButton(HWND dialog, std::initializer_list<int> ids) {
  for (int id : ids) {
    HWND button = ::GetDlgItem(dialog, id);
    if (!button || !::IsWindowVisible(button)) continue;
    return ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) != FALSE;
  }
  return false;
}

TBoxKind ClassifyBox(HWND box, const std::string& text) {
  if (text.rfind(Utf8(kSuccessText), 0) == 0) return TBoxKind::Success;
  // The save dialog's own question: the only box of its with a Yes button.
  HWND yes = ::GetDlgItem(box, IDYES);
  if (yes && ::IsWindowVisible(yes)) return TBoxKind::ReplaceQuestion;
  return TBoxKind::Other;
}

bool TCaptureDriver::Fail(const std::string& step, const std::string& reason) {
  FReporter.Error(FLabel + step, reason);
  Dismiss();
  return false;
}

// Leaves no dialog open, so that the window can close.
void TCaptureDriver::Dismiss() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const std::vector<HWND> dialogs = ThreadDialogs(FWindow.ThreadId());
    if (dialogs.empty()) return;
    for (HWND dialog : dialogs) {
      if (!PressDialogButton(dialog, {IDCANCEL, IDNO, IDOK}))
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
    Pause(100);
  }
}

bool TCaptureDriver::Press(const TCaptureButton& button, bool hotkey) {
  if (hotkey) {
    // The hot key acts on the browser window in front: bring this one there first.
    HWND frame = FWindow.Frame();
    // In front and staying there: a box of another window that just closed
    // may still hand the activation back to its own window.
    auto steadySince = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < 200; ++attempt) {
      const auto now = std::chrono::steady_clock::now();
      if (::GetForegroundWindow() != frame) {
        FWindow.Run([frame] {
          ::BringWindowToTop(frame);
          ::SetForegroundWindow(frame);
          ::SetActiveWindow(frame);
          ::SetFocus(frame);
        });
        steadySince = now;
      } else if (now - steadySince >= std::chrono::milliseconds(400)) {
        break;
      }
      Pause(50);
    }
    if (::GetForegroundWindow() != frame) return false;
    INPUT keys[4] = {};
    for (INPUT& key : keys) key.type = INPUT_KEYBOARD;
    keys[0].ki.wVk = VK_CONTROL;
    keys[1].ki.wVk = 'W';
    keys[2].ki.wVk = 'W';
    keys[2].ki.dwFlags = KEYEVENTF_KEYUP;
    keys[3].ki.wVk = VK_CONTROL;
    keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
    return ::SendInput(4, keys, sizeof(INPUT)) == 4;
  }
  // A click on the button's main part, left of its drop-down arrow.
  RECT rect = {};
  if (!Ask(button.Toolbar, TB_GETRECT, button.Command, reinterpret_cast<LPARAM>(&rect))) return false;
  const LPARAM at = MAKELPARAM(rect.left + (rect.right - rect.left) / 3, (rect.top + rect.bottom) / 2);
  ::PostMessageW(button.Toolbar, WM_MOUSEMOVE, 0, at);
  ::PostMessageW(button.Toolbar, WM_LBUTTONDOWN, MK_LBUTTON, at);
  return ::PostMessageW(button.Toolbar, WM_LBUTTONUP, 0, at) != FALSE;
}

bool TCaptureDriver::Poll(int intervalMs, const std::function<TLook()>& look) {
  for (;;) {
    const TLook found = look();
    if (found != TLook::Again) return found == TLook::Done;
    Pause(intervalMs);
  }
}

bool TCaptureDriver::WaitFor(const std::function<bool()>& holds, int intervalMs, const std::string& step,
                             const std::string& reason, TDeadline until) {
  return Poll(intervalMs, [&] {
    if (holds()) return TLook::Done;
    if (std::chrono::steady_clock::now() >= until || TimedOut()) {
      Fail(step, reason);
      return TLook::Failed;
    }
    return TLook::Again;
  });
}

TCaptureButton TCaptureDriver::FindToolbar() {
  TCaptureButton button;
  WaitFor([&] { return (button = FindCaptureButton(FWindow.BandArea())).Toolbar != nullptr; }, 100, "find toolbar",
          "no toolbar in the window (is TarvikCore.dll registered?)");
  return button;
}

bool TCaptureDriver::FirstClick(const TCaptureButton& button, bool hotkey) {
  FReporter.Step(FLabel + (hotkey ? "first Ctrl+W" : "first click"));
  const bool wasChecked = IsButtonChecked(button);
  if (!Press(button, hotkey))
    return Fail("first click", "the input could not be sent or the window not brought to the front");
  if (!WaitFor([&] { return IsButtonChecked(button) != wasChecked; }, 50, "first click",
               "the capture button did not change its state",
               std::chrono::steady_clock::now() + std::chrono::seconds(10)))
    return false;
  if (!IsButtonChecked(button)) return Fail("first click", "the capture button was already checked");
  return true;
}

HWND TCaptureDriver::SecondClick(const TCaptureButton& button, bool hotkey) {
  FReporter.Step(FLabel + (hotkey ? "second Ctrl+W" : "second click"));
  if (!Press(button, hotkey)) {
    Fail("second click", "the input could not be sent or the window not brought to the front");
    return nullptr;
  }
  const DWORD thread = FWindow.ThreadId();
  HWND dialog = nullptr;
  const auto clicked = std::chrono::steady_clock::now();
  const bool shown = Poll(kStepWatchMs, [&] {
    for (HWND candidate : ThreadDialogs(thread))
      if (IsSaveDialog(candidate)) dialog = candidate;
    if (dialog) return TLook::Done;
    for (HWND box : ThreadDialogs(thread)) {
      Fail("second click", "a message instead of the save dialog: " + DialogText(box));
      return TLook::Failed;
    }
    if (TimedOut()) {
      Fail("save dialog", "no dialog \"Save Web Archive To\" appeared");
      return TLook::Failed;
    }
    if (!IsButtonChecked(button) && std::chrono::steady_clock::now() - clicked > std::chrono::seconds(5)) {
      Fail("save dialog", "no save dialog: the add-on found nothing captured for this window");
      return TLook::Failed;
    }
    return TLook::Again;
  });
  if (!shown) return nullptr;
  FReporter.Step(FLabel + "save dialog");
  return dialog;
}

void TCaptureDriver::TypePath(HWND dialog, const std::wstring& path) {
  HWND name = ::GetDlgItem(dialog, cmb13);
  if (!name) name = ::GetDlgItem(dialog, edt1);
  FReporter.Step(FLabel + "type path " + Utf8(path));
  Ask(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  PressDialogButton(dialog, {IDOK});
}

bool TCaptureDriver::AnswerSuccessBox(HWND dialog) {
  const DWORD thread = FWindow.ThreadId();
  std::map<HWND, std::chrono::steady_clock::time_point> seen;  // boxes and when they first showed
  std::set<HWND> handled;
  return Poll(kStepWatchMs, [&] {
    if (TimedOut()) {
      Fail("timeout", "no success box in time");
      return TLook::Failed;
    }
    const bool dialogOpen = ::IsWindow(dialog) && ::IsWindowVisible(dialog);
    for (HWND box : ThreadDialogs(thread)) {
      if (IsSaveDialog(box) || handled.count(box)) continue;
      const std::string text = DialogText(box);
      const auto now = std::chrono::steady_clock::now();
      // A box just created may not show its text yet.
      if (text.empty() && now - seen.emplace(box, now).first->second < std::chrono::seconds(3)) continue;
      // Buttons by their identifiers: their captions follow the system's language.
      const TBoxKind kind = ClassifyBox(box, text);
      if (kind == TBoxKind::Success) {
        // OK, or No where the box offers Yes and No: the archive is not opened now.
        FReporter.Step(FLabel + "success box");
        if (!PressDialogButton(box, {IDOK, IDNO})) {
          Fail("success box", "the box has neither OK nor No");
          return TLook::Failed;
        }
        return TLook::Done;
      }
      if (dialogOpen && kind == TBoxKind::ReplaceQuestion) {
        FReporter.Step(FLabel + "replace the existing file");
        PressDialogButton(box, {IDYES});
        handled.insert(box);
        continue;
      }
      const std::string shown = text.empty() ? "a box without text titled \"" + Utf8(WindowText(box)) + "\"" : text;
      Fail(dialogOpen ? "save dialog" : "save", dialogOpen ? "the dialog refused the path: " + shown : shown);
      return TLook::Failed;
    }
    return TLook::Again;
  });
}

bool TCaptureDriver::AwaitArchive(const std::wstring& path) {
  // The box answered, the save step closes the file; then it must be there and not empty.
  const DWORD thread = FWindow.ThreadId();
  if (!WaitFor([&] { return FileComplete(path, FBytes) && ThreadDialogs(thread).empty(); }, 50, "archive",
               "the archive " + Utf8(path) + " was not written"))
    return false;
  if (FBytes == 0) return Fail("archive", "the archive " + Utf8(path) + " is empty");
  return true;
}

bool TCaptureDriver::AwaitWindowIdle() {
  // The capture has ended only when the window's thread has: a box that
  // closed hands the activation back to its browser window from there, and
  // under Wine without a window manager that thread first waits up to 2 s
  // for the box to be unmapped. A hot key pressed for another window before
  // then would find this one in front again when it is handled.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FDeadline - std::chrono::steady_clock::now());
  if (!FWindow.WaitIdle(static_cast<DWORD>(std::max<long long>(0, left.count()))))
    return Fail("archive", "the window did not come back from its save in time");
  return true;
}

// A user's steps, one after the other; a step that fails has reported why.
bool TCaptureDriver::Capture(const std::wstring& path, bool hotkey, int clickGapMs) {
  FBytes = 0;
  const TCaptureButton button = FindToolbar();
  if (!button.Toolbar || !FirstClick(button, hotkey)) return false;
  Pause(clickGapMs);
  HWND dialog = SecondClick(button, hotkey);
  if (!dialog) return false;
  TypePath(dialog, path);
  if (!AnswerSuccessBox(dialog) || !AwaitArchive(path) || !AwaitWindowIdle()) return false;
  FReporter.Line("archive: " + Utf8(path) + " " + std::to_string(FBytes) + " bytes");
  return true;
}

}  // namespace tarvik::host
