#pragma once
// Captures the page of a browser window as a user does: a click on the
// toolbar's capture button (or the hot key), a second one, the save dialog
// answered with a path typed into it, and the success box answered. It
// finds every window by its thread, class, control identifiers and the
// add-on's own texts, never by the add-on's internals nor by the system's
// captions (they follow its language), and reports each step.
#include <windows.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "BrowserWindow.h"

namespace tarvik::host {

// The host's output: one line at a time from any thread, flushed at once.
class TReporter {
 public:
  void Line(const std::string& text);
  void Step(const std::string& text) { Line("step: " + text); }
  // "error: <step>: <reason>" on standard output and standard error.
  void Error(const std::string& step, const std::string& reason);

 private:
  std::mutex FLock;
};

using TDeadline = std::chrono::steady_clock::time_point;

struct TCaptureButton {
  HWND Toolbar = nullptr;
  int Command = 0;
};

// The form's capture button in a window's band area ("Tarvik"; else the
// first check button of the first toolbar).
TCaptureButton FindCaptureButton(HWND bandArea);
bool IsButtonChecked(const TCaptureButton& button);

// Visible dialog boxes (class "#32770") that a thread owns.
std::vector<HWND> ThreadDialogs(DWORD threadId);
// The texts of a dialog's static controls, joined by blanks.
std::string DialogText(HWND dialog);
// Presses the first visible button of the dialog with one of the
// identifiers (IDOK, IDYES, ...); false when it has none of them. Never by
// caption: captions follow the system's language.
bool PressDialogButton(HWND dialog, std::initializer_list<int> ids);

// A box of the browser's thread during a save: the add-on's success box
// (by its own text), the save dialog's question whether to replace a file
// (a box with a Yes button), or anything else (an error).
enum class TBoxKind { Success, ReplaceQuestion, Other };
TBoxKind ClassifyBox(HWND box, const std::string& text);

class TCaptureDriver {
 public:
  TCaptureDriver(TBrowserWindow& window, TReporter& reporter, TDeadline deadline, std::string label)
      : FWindow(window), FReporter(reporter), FDeadline(deadline), FLabel(std::move(label)) {}

  // Writes path; true when the archive exists and is not empty (its size in Bytes()).
  bool Capture(const std::wstring& path, bool hotkey, int clickGapMs);
  unsigned long long Bytes() const noexcept { return FBytes; }

 private:
  // What one look of a wait finds; a look that fails has reported why.
  enum class TLook { Again, Done, Failed };
  // Looks every intervalMs until a look is done (true) or has failed.
  bool Poll(int intervalMs, const std::function<TLook()>& look);
  // Polls until holds(); at the capture's deadline, or at until, fails step with reason.
  bool WaitFor(const std::function<bool()>& holds, int intervalMs, const std::string& step, const std::string& reason,
               TDeadline until = TDeadline::max());

  // The steps of a capture; each reports its own failure. A button without
  // a toolbar, or no dialog, is a failure.
  TCaptureButton FindToolbar();
  bool FirstClick(const TCaptureButton& button, bool hotkey);
  HWND SecondClick(const TCaptureButton& button, bool hotkey);
  void TypePath(HWND dialog, const std::wstring& path);
  bool AnswerSuccessBox(HWND dialog);
  bool AwaitArchive(const std::wstring& path);
  bool AwaitWindowIdle();

  bool Fail(const std::string& step, const std::string& reason);
  bool Press(const TCaptureButton& button, bool hotkey);
  bool TimedOut() const { return std::chrono::steady_clock::now() >= FDeadline; }
  void Dismiss();

  TBrowserWindow& FWindow;
  TReporter& FReporter;
  TDeadline FDeadline;
  std::string FLabel;
  unsigned long long FBytes = 0;
};

}  // namespace tarvik::host
