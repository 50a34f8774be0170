#pragma once
// Everything the toolbar does that blocks or leaves the process: the save
// dialog, the message boxes, the shell launcher, the beep and the About box.
// The form reaches them only through this seam; the platform implementation
// makes the real calls and tests fill it with scripted answers.
#include <windows.h>

#include <memory>
#include <string>

namespace tarvik {

struct TSaveDialogRequest {
  HWND Owner = nullptr;
  std::string Title;
  // Pairs of description and pattern, as the platform's filter string.
  std::string Filter;
  int FilterIndex = 1;
  std::string DefaultExt;
  std::string InitialFolder;  // empty: the platform chooses
  std::string FileName;       // proposed name or the previous path
  DWORD Flags = 0;
  // Size in characters of the buffer that receives the chosen path.
  DWORD BufferChars = 0;
};

enum class TDialogOutcome { Chosen, Cancelled, Failed };

struct TSaveDialogResult {
  TDialogOutcome Outcome = TDialogOutcome::Cancelled;
  std::string Path;
  int FilterIndex = 1;
  DWORD ErrorCode = 0;  // the common dialog's extended error when it failed
};

class TUiServices {
 public:
  virtual ~TUiServices() = default;

  virtual TSaveDialogResult RunSaveDialog(const TSaveDialogRequest& request) = 0;
  // A standard message box; answers IDYES, IDNO, IDOK, IDCANCEL...
  virtual int ShowMessage(HWND owner, const std::string& text, const std::string& caption, UINT type) = 0;
  // The information box after a save, with the buttons Yes and OK; true for Yes.
  virtual bool AskOpenSavedArchive(HWND owner, const std::string& text) = 0;
  // ShellExecute with the verb "open" and a normal window; never reports failure.
  virtual void ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory) = 0;
  virtual void Beep(DWORD frequency, DWORD duration) = 0;
  // The default error display: a message box naming the error.
  virtual void ShowError(HWND owner, const std::string& message) = 0;
  // The About box, modal, owned by owner.
  virtual void ShowAbout(HWND owner) = 0;
  // The folder of the library's own file, with its trailing backslash: where
  // the guide and the uninstaller are looked for.
  virtual std::string LibraryFolder() = 0;
};

// The platform's calls.
std::shared_ptr<TUiServices> DefaultUiServices();

// Captions of the boxes the toolbar shows.
inline constexpr const char* kConfirmCaption = "Confirm";
inline constexpr const char* kWarningCaption = "Warning";
inline constexpr const char* kInformationCaption = "Information";
inline constexpr const char* kErrorCaption = "Error";

}  // namespace tarvik
