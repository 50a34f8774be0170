// The platform's side of the toolbar's seam: the common save dialog, message
// boxes, the task dialog, ShellExecute, Beep and the About box.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>

#include <vector>

#include "core/TarvikVersionInfo.h"
#include "framework/WinText.h"
#include "ui/FormTarvikAbout.h"
#include "ui/NameRules.h"
#include "ui/UiServices.h"
#include "ui/YesOkBox.h"
#include "ui/resources/UiModule.h"

namespace tarvik {

namespace {

// Boxes belong to the browser window, not to the toolbar inside it.
HWND TopLevel(HWND owner) { return owner ? ::GetAncestor(owner, GA_ROOT) : nullptr; }

using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

class TPlatformUiServices final : public TUiServices {
 public:
  TSaveDialogResult RunSaveDialog(const TSaveDialogRequest& request) override {
    TUiActivation themed;
    std::vector<char> buffer(std::max<DWORD>(request.BufferChars, MAX_PATH), '\0');
    lstrcpynA(buffer.data(), request.FileName.c_str(), static_cast<int>(buffer.size()));
    std::string filter = request.Filter;
    filter.push_back('\0');  // the list ends with an empty pair
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = TopLevel(request.Owner);
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = static_cast<DWORD>(request.FilterIndex);
    dialog.lpstrFile = buffer.data();
    dialog.nMaxFile = static_cast<DWORD>(buffer.size());
    dialog.lpstrInitialDir = request.InitialFolder.empty() ? nullptr : request.InitialFolder.c_str();
    dialog.lpstrTitle = request.Title.c_str();
    dialog.lpstrDefExt = request.DefaultExt.empty() ? nullptr : request.DefaultExt.c_str();
    dialog.Flags = request.Flags;
    TSaveDialogResult result;
    if (::GetSaveFileNameA(&dialog)) {
      result.Outcome = TDialogOutcome::Chosen;
      result.Path = buffer.data();
      result.FilterIndex = static_cast<int>(dialog.nFilterIndex);
      return result;
    }
    result.ErrorCode = ::CommDlgExtendedError();
    result.Outcome = result.ErrorCode == 0 ? TDialogOutcome::Cancelled : TDialogOutcome::Failed;
    return result;
  }

  int ShowMessage(HWND owner, const std::string& text, const std::string& caption, UINT type) override {
    TUiActivation themed;
    return ::MessageBoxA(TopLevel(owner), text.c_str(), caption.c_str(), type);
  }

  bool AskOpenSavedArchive(HWND owner, const std::string& text) override {
    TUiActivation themed;
    auto taskDialog = reinterpret_cast<TaskDialogIndirectFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("comctl32.dll"), "TaskDialogIndirect")));
    if (taskDialog) {
      const std::wstring content = AnsiToWide(text);
      const std::wstring title = AnsiToWide(kInformationCaption);
      TASKDIALOGCONFIG config{};
      config.cbSize = sizeof config;
      config.hwndParent = TopLevel(owner);
      config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
      config.dwCommonButtons = TDCBF_YES_BUTTON | TDCBF_OK_BUTTON;
      config.pszWindowTitle = title.c_str();
      config.pszMainIcon = TD_INFORMATION_ICON;
      config.pszContent = content.c_str();
      config.nDefaultButton = IDYES;
      int button = 0;
      if (SUCCEEDED(taskDialog(&config, &button, nullptr, nullptr))) return button == IDYES;
    }
    // Without task dialogs (older common controls), a box of our own.
    return ShowYesOkBox(TopLevel(owner), text, kInformationCaption);
  }

  void ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory) override {
    ::ShellExecuteA(nullptr, "open", file.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                    directory.empty() ? nullptr : directory.c_str(), SW_SHOWNORMAL);
  }

  void Beep(DWORD frequency, DWORD duration) override { ::Beep(frequency, duration); }

  void ShowError(HWND owner, const std::string& message) override {
    TUiActivation themed;
    ::MessageBoxA(TopLevel(owner), message.c_str(), kErrorCaption, MB_OK | MB_ICONERROR);
  }

  void ShowAbout(HWND owner) override {
    TUiActivation themed;
    TAboutForm(TopLevel(owner)).ShowModal();
  }

  std::string LibraryFolder() override { return FolderOf(OwnModulePath()); }
};

}  // namespace

std::shared_ptr<TUiServices> DefaultUiServices() { return std::make_shared<TPlatformUiServices>(); }

}  // namespace tarvik
