#pragma once
// The toolbar form shown in each browser window: a borderless child window
// holding one comctl32 toolbar (capture, recent lists, help), its three
// drop-down menus and the one-second blink timer. It lives on the thread of
// the browser window that shows it; every member runs on that thread except
// where said otherwise.
#include <windows.h>
#include <commctrl.h>
#include <exdisp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "ui/RecentList.h"
#include "ui/ToolbarForms.h"
#include "ui/UiServices.h"

namespace tarvik {

class TTarvikToolbarForm {
 public:
  // Command ids of the toolbar's buttons and menu items.
  enum : UINT {
    btnCapture = 101,
    btnOptions = 102,
    btnHelp = 103,
    miCancel = 201,
    TBItem10 = 202,  // "Beep Notification"
    miAbout = 301,
    tbiGettingStarted = 302,
    miHelpOnline = 303,
    miOnlineForum = 304,
    miFeedbackMail = 305,
    miSupportOnline = 306,
    miUninstall = 307,
    TBSubmenuItem1 = 401,             // "My Web Archives", disabled and empty
    mruiSavedArchivesFirst = 1000,    // + entry index
    mruiRecentSaveFolderFirst = 1100  // + entry index
  };

  static constexpr UINT Timer1Id = 1;
  static constexpr UINT Timer1Interval = 1000;
  // Characters of the save dialog's file name buffer: room for any folder
  // the user picks beside a proposed name, which is cut far shorter.
  static constexpr DWORD SaveDialogBufferChars = 4096;

  // Creates the window as a borderless child of parent (hidden), on the
  // calling thread, and appends the form to ToolbarForms. Throws
  // std::runtime_error when the window cannot be created.
  explicit TTarvikToolbarForm(HWND parent, std::shared_ptr<TUiServices> services = DefaultUiServices());
  // Destroys the window and removes the form from ToolbarForms.
  virtual ~TTarvikToolbarForm();
  TTarvikToolbarForm(const TTarvikToolbarForm&) = delete;
  TTarvikToolbarForm& operator=(const TTarvikToolbarForm&) = delete;

  HWND Handle() const noexcept { return FHandle; }
  HWND ToolbarHandle() const noexcept { return FToolbar; }
  int Width() const;
  int Height() const;
  // The form's caption: empty, as designed.
  std::string Caption() const;
  void SetParentWindow(HWND parent);
  // Showing runs FormShow every time the form becomes visible.
  void Show(bool show);
  bool Visible() const;

  void SetWebBrowser(IWebBrowser2* browser);
  IWebBrowser2* WebBrowser() const noexcept { return FWebBrowser.Get(); }

  // A click on btnCapture exactly as a user's: its check state flips, then
  // btnCaptureClick runs. On the form's thread only.
  void ClickCapture();
  // A click on a menu item as a user's: a check item flips first, a recent
  // entry moves to the top of its list; then the item's handler runs. Errors
  // go to the default error display, as for a real click.
  void ClickMenuItem(UINT id);

  // The handlers of the form's components. They throw what their command
  // cannot handle; the window procedure shows it in the default error display.
  void btnCaptureClick();
  void Timer1Timer();
  void miCancelClick();
  void TBItem10Click();
  void mruSavedArchivesClick(const std::string& fileName);
  void mruRecentSaveFolderClick(const std::string& fileName);
  void miAboutClick();
  void tbiGettingStartedClick();
  void miHelpOnlineClick();
  void miOnlineForumClick();
  void miFeedbackMailClick();
  void miSupportOnlineClick();
  void miUninstallClick();
  void FormShow();
  // The automatic first-run guide opens once per process; this forgets that
  // it did (a test starting a new session).
  static void ForgetFirstRunGuide() noexcept;

  // Opens target in a new browser window, or through the shell's handler for
  // it when viaShell is set or the current page is blank. Never fails.
  void OpenInNewWindow(const std::string& target, bool viaShell);

  // The hot key reaches the form here (WM_HOTKEY).
  void WMHotKey(WPARAM wParam, LPARAM lParam);
  // Other code may take messages of the form's window before it does: a
  // hook returning true has handled the message and set result. Process-wide;
  // set it before forms exist.
  using MessageHook =
      std::function<bool(TTarvikToolbarForm& form, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result)>;
  static void SetMessageHook(MessageHook hook);

  // The capture button's faces, by their place in its pictures: idle, and
  // capturing (it blinks between the two while a capture waits to be saved).
  enum TCaptureFace : int { IdleFace = 0, ActiveFace = 1 };

  // State, as the user sees it.
  bool CaptureChecked() const;
  TCaptureFace CaptureFace() const noexcept { return FCaptureFace; }
  bool TimerEnabled() const noexcept { return FTimerEnabled; }
  bool MenuItemEnabled(UINT id) const;
  bool MenuItemChecked(UINT id) const;
  int32_t CaptureMark() const noexcept { return FCaptureMark; }
  const std::string& LastSaveFolder() const noexcept { return FLastSaveFolder; }
  // The save dialog's file name, kept between saves.
  const TRecentList& SavedArchives() const noexcept { return FSavedArchives; }
  const TRecentList& RecentSaveFolders() const noexcept { return FRecentSaveFolder; }

  // The drop-down menus (owned by the form). The options menu is rebuilt
  // from the recent lists each time it is asked for.
  HMENU CaptureMenu() const noexcept { return FCaptureMenu.Get(); }
  HMENU HelpMenu() const noexcept { return FHelpMenu.Get(); }
  // The two faces of btnCapture (72x24).
  HIMAGELIST CaptureFaces() const noexcept { return FFaces.Get(); }
  HMENU OptionsMenu();

  // The window procedure's own handling of a message.
  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Destroys the window and frees the menus, pictures and font.
  void ReleaseWindow() noexcept;
  void CreateToolbar();
  void CreateMenus();
  void ShowStoredBeepPreference();
  void FitToToolbar();
  void SetCaptureChecked(bool checked);
  void ShowFace(TCaptureFace face);
  // Back to idle, with nothing left to cancel.
  void ShowIdle();
  int CaptureButtonWidth() const;
  void DrawCaptureButton(const NMTBCUSTOMDRAW& draw) const;
  void SetTimer1(bool enabled);
  void EnableMenuItemId(UINT id, bool enabled);
  void DropDown(UINT buttonId);
  void RunCommand(UINT id);
  // Runs action; a C++ exception leaving it goes to the default error display.
  void WithErrorBox(const std::function<void()>& action) noexcept;
  // The second click: choose the path (none: the capture goes on), compose,
  // and remember the archive and its folder in the recent lists.
  void SaveCapture();
  std::optional<std::string> ChooseArchivePath();
  void RememberSavedArchive(const std::string& path);
  std::string ProposeName();
  bool CurrentPageIsBlank();
  void MaybeOpenGuideAtFirstShow();
  std::string GuidePath() const;
  std::string UninstallerPath() const;

  std::shared_ptr<TUiServices> FServices;
  HWND FHandle = nullptr;
  HWND FToolbar = nullptr;
  // The toolbar only borrows the font and the image lists: they outlive its window.
  UniqueHFont FFont;
  UniqueImageList FImages;
  UniqueImageList FMenuIcons;
  UniqueImageList FFaces;
  UniqueHMenu FCaptureMenu;
  UniqueHMenu FOptionsMenu;
  UniqueHMenu FHelpMenu;
  HMENU FWebArchivesMenu = nullptr;  // a submenu of FOptionsMenu, destroyed with it
  ComPtr<IWebBrowser2> FWebBrowser;
  int32_t FCaptureMark = 0;
  TCaptureFace FCaptureFace = IdleFace;
  bool FTimerEnabled = false;
  std::string FLastSaveFolder;
  std::string FSaveFileName;
  int FSaveFilterIndex = 1;
  TRecentList FSavedArchives;
  TRecentList FRecentSaveFolder;
};

}  // namespace tarvik
