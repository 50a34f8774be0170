#include "ui/FormTarvikToolbar.h"

#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "archive/WebArchive.h"
#include "core/UrlText.h"
#include "framework/WinText.h"
#include "ui/FormTarvikToolbarParts.h"
#include "ui/LateBound.h"
#include "ui/NameRules.h"
#include "ui/ToolbarImages.h"

// The toolbar form's menus: recent archives and save folders, the beep
// preference, help, About and uninstall, and opening what they point to.

namespace tarvik {

namespace {

using toolbar_form::SettingsIni;

constexpr char kGuideFileName[] = "Getting Started.mht";
constexpr char kUninstallerFileName[] = "Uninstall.exe";
constexpr char kUninstallQuestion[] = "Are you sure to uninstall Tarvik Express?";
constexpr char kUninstallWarning[] =
    "To avoid been prompted for a restart, close all your IE windows before uninstalling.";

const std::string kHelpOnlineAddress = std::string(VendorAddress) + "express/getting-started.html";
const std::string kSupportOnlineAddress = std::string(VendorAddress) + "express/support.html";
constexpr char kOnlineForumAddress[] = "news://news.tarvik.com/tarvik.express";
constexpr char kFeedbackMailAddress[] = "mailto:support@tarvik.com";

// The automatic first-run guide opens at most once in a process.
std::atomic<bool> GFirstRunGuideOpened{false};

bool FileExists(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// The whole parameter string of the browser: one argument, so a path with
// blanks opens as one file. Backslashes before the closing quotation mark
// are doubled, or the platform's parser reads them as escaping it (a folder
// ends in "\\").
std::string QuoteArgument(const std::string& target) {
  std::string quoted = "\"";
  size_t backslashes = 0;  // real ones ending the text, not second bytes of characters
  for (size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    if (IsSystemLeadByte(static_cast<unsigned char>(c)) && i + 1 < target.size()) {
      quoted.append(target, i++, 2);
      backslashes = 0;
      continue;
    }
    backslashes = c == '\\' ? backslashes + 1 : 0;
    if (c == '"')
      quoted += "%22";  // no path holds a quotation mark; in a URL it is %22
    else
      quoted += c;
  }
  quoted.append(backslashes, '\\');
  return quoted + "\"";
}

}  // namespace

// ---------------------------------------------------------------- menus

void TTarvikToolbarForm::CreateMenus() {
  auto addItem = [](HMENU menu, UINT id, const char* text, int icon) {
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE | MIIM_BITMAP | MIIM_DATA;
    item.fType = MFT_STRING;
    item.wID = id;
    item.dwTypeData = const_cast<char*>(text);
    // The icon is drawn from the menu image list on WM_DRAWITEM.
    item.hbmpItem = HBMMENU_CALLBACK;
    item.dwItemData = static_cast<ULONG_PTR>(icon);
    ::InsertMenuItemA(menu, ::GetMenuItemCount(menu), TRUE, &item);
  };
  auto addSeparator = [](HMENU menu) { ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr); };

  FCaptureMenu.Reset(::CreatePopupMenu());
  HMENU capture = FCaptureMenu.Get();
  addItem(capture, miCancel, "Cancel Capturing", CancelIconIndex);
  addSeparator(capture);
  addItem(capture, TBItem10, "Beep Notification", BeepIconIndex);
  EnableMenuItemId(miCancel, false);
  ShowStoredBeepPreference();

  FHelpMenu.Reset(::CreatePopupMenu());
  HMENU help = FHelpMenu.Get();
  addItem(help, miAbout, "About...", AboutIconIndex);
  addSeparator(help);
  addItem(help, tbiGettingStarted, "Getting Started", GettingStartedIconIndex);
  addItem(help, miHelpOnline, "Online Help", HelpOnlineIconIndex);
  addItem(help, miOnlineForum, "Online Forum", OnlineForumIconIndex);
  addItem(help, miFeedbackMail, "Send Mail for Support", FeedbackMailIconIndex);
  addItem(help, miSupportOnline, "More Online Support Info", SupportOnlineIconIndex);
  addSeparator(help);
  addItem(help, miUninstall, "Uninstall", UninstallIconIndex);
  EnableMenuItemId(miUninstall, FileExists(UninstallerPath()));

  OptionsMenu();
}

void TTarvikToolbarForm::ShowStoredBeepPreference() {
  // The check mark follows the stored preference, so it never disagrees with
  // the ticks, nor with what another window stored meanwhile.
  bool beep = true;
  if (TIniFile* ini = SettingsIni()) beep = ReadBeepNotification(TIniFileStore(*ini));
  ::CheckMenuItem(FCaptureMenu.Get(), TBItem10, MF_BYCOMMAND | (beep ? MF_CHECKED : MF_UNCHECKED));
}

HMENU TTarvikToolbarForm::OptionsMenu() {
  FOptionsMenu.Reset();  // the old one goes first, with its submenu
  FOptionsMenu.Reset(::CreatePopupMenu());
  HMENU options = FOptionsMenu.Get();
  const std::vector<std::string> archives = FSavedArchives.MenuTexts();
  for (size_t i = 0; i < archives.size(); ++i)
    ::AppendMenuA(options, MF_STRING, mruiSavedArchivesFirst + i, archives[i].c_str());
  ::AppendMenuA(options, MF_SEPARATOR, 0, nullptr);
  const std::vector<std::string> folders = FRecentSaveFolder.MenuTexts();
  for (size_t i = 0; i < folders.size(); ++i)
    ::AppendMenuA(options, MF_STRING, mruiRecentSaveFolderFirst + i, folders[i].c_str());
  ::AppendMenuA(options, MF_SEPARATOR, 0, nullptr);
  FWebArchivesMenu = ::CreatePopupMenu();
  MENUITEMINFOA item{};
  item.cbSize = sizeof item;
  item.fMask = MIIM_ID | MIIM_STRING | MIIM_SUBMENU | MIIM_STATE;
  item.wID = TBSubmenuItem1;
  item.hSubMenu = FWebArchivesMenu;
  item.fState = MFS_DISABLED;
  item.dwTypeData = const_cast<char*>("My Web Archives");
  ::InsertMenuItemA(options, ::GetMenuItemCount(options), TRUE, &item);
  return options;
}

void TTarvikToolbarForm::DropDown(UINT buttonId) {
  // Another window may have changed the beep preference since this menu was made.
  if (buttonId == btnCapture) ShowStoredBeepPreference();
  HMENU menu = buttonId == btnCapture   ? FCaptureMenu.Get()
               : buttonId == btnOptions ? OptionsMenu()
               : buttonId == btnHelp    ? FHelpMenu.Get()
                                        : nullptr;
  if (!menu) return;
  RECT r{};
  ::SendMessageA(FToolbar, TB_GETRECT, buttonId, reinterpret_cast<LPARAM>(&r));
  ::MapWindowPoints(FToolbar, HWND_DESKTOP, reinterpret_cast<POINT*>(&r), 2);
  ::SendMessageA(FToolbar, TB_PRESSBUTTON, buttonId, TRUE);
  const UINT command = static_cast<UINT>(
      ::TrackPopupMenuEx(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RETURNCMD | TPM_NONOTIFY | TPM_VERTICAL, r.left,
                         r.bottom, FHandle, nullptr));
  ::SendMessageA(FToolbar, TB_PRESSBUTTON, buttonId, FALSE);
  if (buttonId == btnCapture) ::SendMessageA(FToolbar, TB_CHECKBUTTON, btnCapture, CaptureChecked());
  if (command) ClickMenuItem(command);
}

void TTarvikToolbarForm::EnableMenuItemId(UINT id, bool enabled) {
  HMENU menu = (id == miCancel || id == TBItem10) ? FCaptureMenu.Get() : FHelpMenu.Get();
  ::EnableMenuItem(menu, id, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
}

bool TTarvikToolbarForm::MenuItemEnabled(UINT id) const {
  for (HMENU menu : {FCaptureMenu.Get(), FHelpMenu.Get(), FOptionsMenu.Get()}) {
    const UINT state = ::GetMenuState(menu, id, MF_BYCOMMAND);
    if (state != static_cast<UINT>(-1)) return !(state & (MF_GRAYED | MF_DISABLED));
  }
  return false;
}

bool TTarvikToolbarForm::MenuItemChecked(UINT id) const {
  for (HMENU menu : {FCaptureMenu.Get(), FHelpMenu.Get(), FOptionsMenu.Get()}) {
    const UINT state = ::GetMenuState(menu, id, MF_BYCOMMAND);
    if (state != static_cast<UINT>(-1)) return (state & MF_CHECKED) != 0;
  }
  return false;
}

// ---------------------------------------------------------------- commands

void TTarvikToolbarForm::ClickMenuItem(UINT id) {
  WithErrorBox([this, id] { RunCommand(id); });
}

void TTarvikToolbarForm::RunCommand(UINT id) {
  if (!MenuItemEnabled(id) && id != TBItem10) return;  // a disabled item has no click
  switch (id) {
    case miCancel:
      miCancelClick();
      return;
    case TBItem10: {
      const bool was = MenuItemChecked(TBItem10);
      ::CheckMenuItem(FCaptureMenu.Get(), TBItem10, MF_BYCOMMAND | (was ? MF_UNCHECKED : MF_CHECKED));
      try {
        TBItem10Click();
      } catch (...) {
        // Not stored: the mark goes back to what the ticks will follow.
        ::CheckMenuItem(FCaptureMenu.Get(), TBItem10, MF_BYCOMMAND | (was ? MF_CHECKED : MF_UNCHECKED));
        throw;
      }
      return;
    }
    case miAbout:
      miAboutClick();
      return;
    case tbiGettingStarted:
      tbiGettingStartedClick();
      return;
    case miHelpOnline:
      miHelpOnlineClick();
      return;
    case miOnlineForum:
      miOnlineForumClick();
      return;
    case miFeedbackMail:
      miFeedbackMailClick();
      return;
    case miSupportOnline:
      miSupportOnlineClick();
      return;
    case miUninstall:
      miUninstallClick();
      return;
    default:
      break;
  }
  if (id >= mruiSavedArchivesFirst && id < mruiSavedArchivesFirst + FSavedArchives.Count()) {
    mruSavedArchivesClick(FSavedArchives.Click(id - mruiSavedArchivesFirst));
  } else if (id >= mruiRecentSaveFolderFirst && id < mruiRecentSaveFolderFirst + FRecentSaveFolder.Count()) {
    mruRecentSaveFolderClick(FRecentSaveFolder.Click(id - mruiRecentSaveFolderFirst));
  }
}

bool TTarvikToolbarForm::CurrentPageIsBlank() {
  try {
    if (!FWebBrowser) return false;
    ComPtr<IDispatch> document;
    if (FAILED(FWebBrowser->get_Document(document.Put())) || !document) return false;
    ComPtr<IDispatch> location = GetObjectProperty(document.Get(), L"location");
    return GetTextProperty(location.Get(), L"href") == L"about:blank";
  } catch (const std::exception&) {
    return false;  // a failed probe counts as not blank
  }
}

void TTarvikToolbarForm::OpenInNewWindow(const std::string& target, bool viaShell) {
  if (viaShell || CurrentPageIsBlank()) {
    FServices->ShellOpen(target, "", "");
  } else {
    FServices->ShellOpen(FolderOf(ModuleFileName(nullptr)) + "IEXPLORE.EXE", QuoteArgument(target), "");
  }
}

void TTarvikToolbarForm::TBItem10Click() {
  TIniFile* ini = SettingsIni();
  if (!ini) return;
  TIniFileStore store(*ini);
  WriteBeepNotification(store, MenuItemChecked(TBItem10));
}

void TTarvikToolbarForm::mruSavedArchivesClick(const std::string& fileName) { OpenInNewWindow(fileName, false); }

void TTarvikToolbarForm::mruRecentSaveFolderClick(const std::string& fileName) {
  OpenInNewWindow(fileName, false);
  FLastSaveFolder = fileName;
}

void TTarvikToolbarForm::FormShow() {
  MaybeOpenGuideAtFirstShow();
  TIniFile* ini = SettingsIni();
  if (!ini) return;
  const TIniFileStore store(*ini);
  FRecentSaveFolder.Load(store, "MRU.SaveLocations");
  FSavedArchives.Load(store, "MRU.RecentArchives");
}

void TTarvikToolbarForm::MaybeOpenGuideAtFirstShow() {
  TIniFile* ini = SettingsIni();
  if (!ini || ini->ValueExists("OOBE", "ToolbarShowed")) return;
  // A window opened to show the guide must not open it again, or an ini
  // file that cannot be written would chain guide windows without end.
  const std::string commandLine = LowerAscii(::GetCommandLineA());
  if (commandLine.find("getting started.mht") != std::string::npos) return;
  if (FWebBrowser) {
    try {
      ComPtr<IDispatch> document;
      if (SUCCEEDED(FWebBrowser->get_Document(document.Put())) && document) {
        // Read as every address entering the library is: a folder name outside
        // the code page neither becomes "?" nor hides the guide's own name.
        const std::string href =
            LowerAscii(AsciiUrl(GetTextProperty(GetObjectProperty(document.Get(), L"location").Get(), L"href")));
        if (href.find("getting started.mht") != std::string::npos ||
            href.find("getting%20started.mht") != std::string::npos)
          return;
      }
    } catch (const std::exception&) {
      // No address to read: the window shows nothing yet.
    }
  }
  if (GFirstRunGuideOpened.exchange(true)) return;
  tbiGettingStartedClick();
}

void TTarvikToolbarForm::ForgetFirstRunGuide() noexcept { GFirstRunGuideOpened = false; }

std::string TTarvikToolbarForm::GuidePath() const { return FServices->LibraryFolder() + kGuideFileName; }

std::string TTarvikToolbarForm::UninstallerPath() const { return FServices->LibraryFolder() + kUninstallerFileName; }

void TTarvikToolbarForm::miAboutClick() { FServices->ShowAbout(FHandle); }

void TTarvikToolbarForm::tbiGettingStartedClick() {
  const std::string guide = GuidePath();
  if (FileExists(guide)) OpenInNewWindow(guide, false);
}

void TTarvikToolbarForm::miHelpOnlineClick() { OpenInNewWindow(kHelpOnlineAddress, false); }

void TTarvikToolbarForm::miOnlineForumClick() { OpenInNewWindow(kOnlineForumAddress, true); }

void TTarvikToolbarForm::miFeedbackMailClick() { OpenInNewWindow(kFeedbackMailAddress, true); }

void TTarvikToolbarForm::miSupportOnlineClick() { OpenInNewWindow(kSupportOnlineAddress, false); }

void TTarvikToolbarForm::miUninstallClick() {
  const std::string uninstaller = UninstallerPath();
  if (!FileExists(uninstaller)) return;
  if (FServices->ShowMessage(FHandle, kUninstallQuestion, kConfirmCaption, MB_YESNOCANCEL | MB_ICONQUESTION) != IDYES)
    return;
  FServices->ShowMessage(FHandle, kUninstallWarning, kWarningCaption, MB_OK | MB_ICONWARNING);
  FServices->ShellOpen(uninstaller, "", FServices->LibraryFolder());
}

}  // namespace tarvik
