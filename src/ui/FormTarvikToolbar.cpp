#include "ui/FormTarvikToolbar.h"

#include <commctrl.h>
#include <cderr.h>
#include <commdlg.h>
#include <mshtml.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "archive/CoTarvikEngine.h"
#include "archive/WebArchive.h"
#include "ui/Hotkeys.h"
#include "core/ClassTarvikRuntime.h"
#include "core/TarvikTimeline.h"
#include "framework/WinText.h"
#include "ui/ArchiveFile.h"
#include "ui/LateBound.h"
#include "ui/NameRules.h"
#include "ui/ToolbarImages.h"
#include "ui/resources/UiModule.h"

namespace tarvik {

namespace {

constexpr char kFormClassName[] = "TTarvikToolbarForm";
constexpr char kCaptureCaption[] = "Tarvik";
constexpr char kCaptureHint[] = "Click for capturing and again for saving";
constexpr char kOptionsHint[] = "Recent archives and save folders";
constexpr char kHelpCaption[] = "Help && Support";

constexpr char kSaveTitle[] = "Save Web Archive To";
// The platform's filter: description and pattern pairs, each ended by a zero.
constexpr char kSaveFilter[] =
    "Web Archive, single file (.mht)\0*.mht\0Email Archive, single file (.eml)\0*.eml\0";
constexpr char kSaveDefaultExt[] = "mht";
constexpr char kPageNotCapturedText[] =
    "The page itself was not captured: its own bytes did not pass through Tarvik Express (it may still be "
    "loading, or it came from a source that is not captured). Nothing was saved. Reload the page and capture "
    "it again.";
// A proposed name leaves room in the dialog's buffer for the folder the user picks.
constexpr size_t kProposedNameChars = 128;

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

TTarvikToolbarForm::MessageHook& GlobalMessageHook() {
  static TTarvikToolbarForm::MessageHook hook;
  return hook;
}

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

std::string HResultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The description the composer left for a failed composition, if any.
std::string ComposeErrorText(HRESULT hr, const std::string& path) {
  std::string reason;
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.Put()) == S_OK && info) {
    UniqueBstr description;
    if (SUCCEEDED(info->GetDescription(description.Put())) && description) reason = WideToAnsi(description.Get());
  }
  if (reason.empty()) reason = SystemErrorText(static_cast<DWORD>(hr));
  return "Cannot write the archive \"" + path + "\" (" + HResultText(hr) + "). " + reason;
}

TIniFile* SettingsIni() { return TarvikSettings ? TarvikSettings->IniFile() : nullptr; }

void CheckResult(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw ELateBoundError(what, hr);
}

}  // namespace

// ---------------------------------------------------------------- creation

TTarvikToolbarForm::TTarvikToolbarForm(HWND parent, std::shared_ptr<TUiServices> services)
    : FServices(services ? std::move(services) : DefaultUiServices()),
      FSavedArchives([](const std::string& path) { return FileTitleText(path, ShellHidesExtensions()); },
                     &FullPathName),
      FRecentSaveFolder(&TRecentList::FullText, &FullPathName) {
  const HINSTANCE instance = UiModule();
  TUiActivation themed;  // the form's controls are made in it
  static std::once_flag registered;
  std::call_once(registered, [instance] {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TTarvikToolbarForm::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kFormClassName;
    ::RegisterClassExA(&wc);
  });
  FHandle = ::CreateWindowExA(WS_EX_CONTROLPARENT, kFormClassName, "", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS,
                              0, 0, 0, 0, parent, nullptr, instance, this);
  if (!FHandle) {
    const DWORD code = ::GetLastError();
    throw std::runtime_error("Cannot create the toolbar window. " + SystemErrorText(code));
  }
  try {
    // FormCreate: the toolbar and its menus, the size of the toolbar, the
    // uninstaller's item, then the process-wide list.
    CreateToolbar();
    CreateMenus();
    FitToToolbar();
  } catch (...) {
    ReleaseWindow();
    throw;
  }
  ToolbarForms().Add(this);
}

TTarvikToolbarForm::~TTarvikToolbarForm() {
  // FormDestroy: no hot key may reach a form on its way out.
  ToolbarForms().Remove(this);
  ReleaseWindow();
}

void TTarvikToolbarForm::ReleaseWindow() noexcept {
  if (FHandle) {
    ::KillTimer(FHandle, Timer1Id);
    ::SetWindowLongPtrA(FHandle, GWLP_USERDATA, 0);
    ::DestroyWindow(FHandle);
    FHandle = nullptr;
  }
  // Only now that the toolbar is gone: it drew with them.
  for (UniqueHMenu* menu : {&FCaptureMenu, &FOptionsMenu, &FHelpMenu}) menu->Reset();
  for (UniqueImageList* list : {&FFaces, &FImages, &FMenuIcons}) list->Reset();
  FFont.Reset();
}

void TTarvikToolbarForm::CreateToolbar() {
  FToolbar = ::CreateWindowExA(0, TOOLBARCLASSNAMEA, nullptr,
                               WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_LIST | TBSTYLE_TOOLTIPS |
                                   TBSTYLE_TRANSPARENT | CCS_NODIVIDER | CCS_NORESIZE | CCS_NOPARENTALIGN,
                               0, 0, 0, 0, FHandle, nullptr, UiModule(), nullptr);
  if (!FToolbar) throw std::runtime_error("Cannot create the toolbar. " + SystemErrorText(::GetLastError()));
  ::SendMessageA(FToolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  ::SendMessageA(FToolbar, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);

  LOGFONTA font{};
  font.lfHeight = -11;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  lstrcpynA(font.lfFaceName, "Verdana", LF_FACESIZE);
  FFont.Reset(::CreateFontIndirectA(&font));
  if (FFont) ::SendMessageA(FToolbar, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

  TToolbarImages images = LoadToolbarImages(UiModule());
  FFaces = std::move(images.Faces);
  FImages = std::move(images.Icons);
  FMenuIcons = std::move(images.MenuIcons);
  ::SendMessageA(FToolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(ToolbarIconSize, ToolbarIconSize));
  ::SendMessageA(FToolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(FImages.Get()));

  // The capture button's wide face is wider than the toolbar's images: the
  // form draws that button itself (NM_CUSTOMDRAW), at a width that holds
  // the face, the caption and the arrow.
  TBBUTTON buttons[3] = {};
  buttons[0].iBitmap = I_IMAGENONE;
  buttons[0].idCommand = btnCapture;
  buttons[0].fsState = TBSTATE_ENABLED;
  buttons[0].fsStyle = BTNS_DROPDOWN | BTNS_CHECK | BTNS_SHOWTEXT;
  buttons[0].iString = reinterpret_cast<INT_PTR>(kCaptureCaption);
  buttons[1].iBitmap = OptionsIconIndex;
  buttons[1].idCommand = btnOptions;
  buttons[1].fsState = TBSTATE_ENABLED;
  buttons[1].fsStyle = BTNS_WHOLEDROPDOWN | BTNS_AUTOSIZE;
  buttons[1].iString = -1;
  buttons[2].iBitmap = HelpIconIndex;
  buttons[2].idCommand = btnHelp;
  buttons[2].fsState = TBSTATE_ENABLED;
  buttons[2].fsStyle = BTNS_WHOLEDROPDOWN | BTNS_SHOWTEXT | BTNS_AUTOSIZE;
  buttons[2].iString = reinterpret_cast<INT_PTR>(kHelpCaption);
  if (!::SendMessageA(FToolbar, TB_ADDBUTTONSA, 3, reinterpret_cast<LPARAM>(buttons)))
    throw std::runtime_error("Cannot add the toolbar's buttons.");
  TBBUTTONINFOA capture{};
  capture.cbSize = sizeof capture;
  capture.dwMask = TBIF_SIZE;
  capture.cx = static_cast<WORD>(CaptureButtonWidth());
  ::SendMessageA(FToolbar, TB_SETBUTTONINFOA, btnCapture, reinterpret_cast<LPARAM>(&capture));
  ::SendMessageA(FToolbar, TB_AUTOSIZE, 0, 0);
}

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

void TTarvikToolbarForm::FitToToolbar() {
  SIZE size{};
  ::SendMessageA(FToolbar, TB_GETMAXSIZE, 0, reinterpret_cast<LPARAM>(&size));
  ::SetWindowPos(FToolbar, nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  ::SetWindowPos(FHandle, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// ---------------------------------------------------------------- window

int TTarvikToolbarForm::Width() const {
  RECT r{};
  ::GetWindowRect(FHandle, &r);
  return r.right - r.left;
}

int TTarvikToolbarForm::Height() const {
  RECT r{};
  ::GetWindowRect(FHandle, &r);
  return r.bottom - r.top;
}

std::string TTarvikToolbarForm::Caption() const {
  char text[256] = {};
  ::GetWindowTextA(FHandle, text, sizeof text);
  return text;
}

void TTarvikToolbarForm::SetParentWindow(HWND parent) { ::SetParent(FHandle, parent); }

bool TTarvikToolbarForm::Visible() const { return ::IsWindowVisible(FHandle) != FALSE; }

void TTarvikToolbarForm::Show(bool show) {
  const bool wasShown = (::GetWindowLongA(FHandle, GWL_STYLE) & WS_VISIBLE) != 0;
  ::ShowWindow(FHandle, show ? SW_SHOWNA : SW_HIDE);
  if (show && !wasShown) WithErrorBox([this] { FormShow(); });
}

void TTarvikToolbarForm::SetWebBrowser(IWebBrowser2* browser) { FWebBrowser = browser; }

void TTarvikToolbarForm::SetMessageHook(MessageHook hook) { GlobalMessageHook() = std::move(hook); }

LRESULT CALLBACK TTarvikToolbarForm::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    auto* form = static_cast<TTarvikToolbarForm*>(create->lpCreateParams);
    form->FHandle = hwnd;
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TTarvikToolbarForm*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!form) return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  // Destroyed from outside (the form's own release detaches first): the
  // hot key moves on now, and the form forgets the window.
  if (msg == WM_DESTROY) ToolbarWindowDestroyed(*form);
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    form->FHandle = nullptr;
    form->FToolbar = nullptr;
    return ::DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  LRESULT result = 0;
  try {
    if (const MessageHook& hook = GlobalMessageHook(); hook && hook(*form, msg, wParam, lParam, result)) return result;
    return form->HandleMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    form->FServices->ShowError(hwnd, e.what());
  } catch (...) {
    form->FServices->ShowError(hwnd, "An unknown error occurred.");
  }
  return 0;
}

LRESULT TTarvikToolbarForm::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      if (lParam == reinterpret_cast<LPARAM>(FToolbar) && LOWORD(wParam) == btnCapture) {
        WithErrorBox([this] { btnCaptureClick(); });
        return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == Timer1Id) {
        WithErrorBox([this] { Timer1Timer(); });
        return 0;
      }
      break;
    case WM_HOTKEY:  // WMHotKey lives with the hot keys (ui/Hotkeys.cpp)
      WMHotKey(wParam, lParam);
      return 0;
    case WM_TARVIK_HOTKEYS:  // the hot key moves to or from this window
      ApplyHotkeyRegistration(*this);
      return 0;
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->hwndFrom == FToolbar && header->code == NM_CUSTOMDRAW) {
        const auto* draw = reinterpret_cast<const NMTBCUSTOMDRAW*>(lParam);
        if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
        if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT && draw->nmcd.dwItemSpec == btnCapture) {
          DrawCaptureButton(*draw);
          return CDRF_SKIPDEFAULT;
        }
        return CDRF_DODEFAULT;
      }
      if (header->hwndFrom == FToolbar && header->code == TBN_DROPDOWN) {
        const UINT button = reinterpret_cast<const NMTOOLBARA*>(lParam)->iItem;
            ::PostMessageA(FHandle, WM_TARVIK_DROPDOWN, button, 0);
        return TBDDRET_DEFAULT;
      }
      if (header->code == TTN_GETDISPINFOA || header->code == TTN_GETDISPINFOW) {
        const char* hint = header->idFrom == btnCapture   ? kCaptureHint
                           : header->idFrom == btnOptions ? kOptionsHint
                           : header->idFrom == btnHelp    ? "Help && Support"
                                                          : nullptr;
        if (!hint) break;
        if (header->code == TTN_GETDISPINFOA) {
          auto* info = reinterpret_cast<NMTTDISPINFOA*>(lParam);
          info->lpszText = const_cast<char*>(hint);
        } else {
          static thread_local std::wstring wide;
          wide = AnsiToWide(hint);
          reinterpret_cast<NMTTDISPINFOW*>(lParam)->lpszText = wide.data();
        }
        return 0;
      }
      break;
    }
    case WM_TARVIK_DROPDOWN:
      DropDown(static_cast<UINT>(wParam));
      return 0;
    case WM_MEASUREITEM: {
      auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
      if (measure->CtlType != ODT_MENU) break;
      measure->itemWidth = MenuIconSize;
      measure->itemHeight = MenuIconSize;
      return TRUE;
    }
    case WM_DRAWITEM: {
      const auto* draw = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (draw->CtlType != ODT_MENU) break;
      const int top = draw->rcItem.top + (draw->rcItem.bottom - draw->rcItem.top - MenuIconSize) / 2;
      ::ImageList_Draw(FMenuIcons.Get(), static_cast<int>(draw->itemData), draw->hDC, draw->rcItem.left, top,
                       ILD_TRANSPARENT);
      return TRUE;
    }
    default:
      break;
  }
  return ::DefWindowProcA(FHandle, msg, wParam, lParam);
}

void TTarvikToolbarForm::WithErrorBox(const std::function<void()>& action) noexcept {
  try {
    action();
  } catch (const std::exception& e) {
    FServices->ShowError(FHandle, e.what());
  } catch (...) {
    FServices->ShowError(FHandle, "An unknown error occurred.");
  }
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
  const UINT command = static_cast<UINT>(::TrackPopupMenuEx(
      menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RETURNCMD | TPM_NONOTIFY | TPM_VERTICAL, r.left, r.bottom, FHandle,
      nullptr));
  ::SendMessageA(FToolbar, TB_PRESSBUTTON, buttonId, FALSE);
  if (buttonId == btnCapture) ::SendMessageA(FToolbar, TB_CHECKBUTTON, btnCapture, CaptureChecked());
  if (command) ClickMenuItem(command);
}

// ---------------------------------------------------------------- state

bool TTarvikToolbarForm::CaptureChecked() const {
  return ::SendMessageA(FToolbar, TB_ISBUTTONCHECKED, btnCapture, 0) != 0;
}

void TTarvikToolbarForm::SetCaptureChecked(bool checked) {
  ::SendMessageA(FToolbar, TB_CHECKBUTTON, btnCapture, MAKELPARAM(checked ? TRUE : FALSE, 0));
}

void TTarvikToolbarForm::ShowFace(int face) {
  FCaptureFace = face;
  RECT r{};
  if (::SendMessageA(FToolbar, TB_GETRECT, btnCapture, reinterpret_cast<LPARAM>(&r))) ::InvalidateRect(FToolbar, &r, TRUE);
}

namespace {
constexpr int kFaceMargin = 3;     // left of the face
constexpr int kCaptionGap = 4;     // between the face and the caption
constexpr int kCaptionMargin = 6;  // right of the caption
constexpr int kArrowWidth = 14;    // the split button's arrow part

HGDIOBJ FontOrDefault(HFONT font) { return font ? font : ::GetStockObject(DEFAULT_GUI_FONT); }
}  // namespace

int TTarvikToolbarForm::CaptureButtonWidth() const {
  SIZE text{};
  {
    const UniqueWindowDc dc(FToolbar);
    const ScopedSelectObject font(dc.Get(), FontOrDefault(FFont.Get()));
    ::GetTextExtentPoint32A(dc.Get(), kCaptureCaption, static_cast<int>(sizeof kCaptureCaption - 1), &text);
  }
  return kFaceMargin + CaptureFaceWidth + kCaptionGap + text.cx + kCaptionMargin + kArrowWidth;
}

void TTarvikToolbarForm::DrawCaptureButton(const NMTBCUSTOMDRAW& draw) const {
  HDC dc = draw.nmcd.hdc;
  const UINT state = draw.nmcd.uItemState;
  RECT main = draw.nmcd.rc;
  main.right -= kArrowWidth;
  RECT arrow = draw.nmcd.rc;
  arrow.left = main.right;
  const bool down = (state & (CDIS_CHECKED | CDIS_SELECTED)) != 0;
  if (down || (state & CDIS_HOT)) {
    ::DrawEdge(dc, &main, down ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
    ::DrawEdge(dc, &arrow, (state & CDIS_SELECTED) ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
  }
  const int shift = down ? 1 : 0;
  const int height = main.bottom - main.top;
  ::ImageList_Draw(FFaces.Get(), FCaptureFace, dc, main.left + kFaceMargin + shift,
                   main.top + (height - CaptureFaceHeight) / 2 + shift, ILD_TRANSPARENT);
  RECT caption = main;
  caption.left += kFaceMargin + CaptureFaceWidth + kCaptionGap + shift;
  caption.top += shift;
  caption.bottom += shift;
  {
    const ScopedSelectObject font(dc, FontOrDefault(FFont.Get()));
    const int oldMode = ::SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColor = ::SetTextColor(dc, ::GetSysColor(COLOR_BTNTEXT));
    ::DrawTextA(dc, kCaptureCaption, -1, &caption, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX);
    ::SetTextColor(dc, oldColor);
    ::SetBkMode(dc, oldMode);
  }
  // The arrow: a small triangle pointing down.
  const int cx = (arrow.left + arrow.right) / 2, cy = (arrow.top + arrow.bottom) / 2;
  POINT triangle[3] = {{cx - 3, cy - 1}, {cx + 3, cy - 1}, {cx, cy + 2}};
  const ScopedSelectObject brush(dc, ::GetSysColorBrush(COLOR_BTNTEXT));
  const ScopedSelectObject pen(dc, ::GetStockObject(NULL_PEN));
  ::Polygon(dc, triangle, 3);
}

void TTarvikToolbarForm::SetTimer1(bool enabled) {
  FTimerEnabled = enabled;
  if (enabled)
    ::SetTimer(FHandle, Timer1Id, Timer1Interval, nullptr);
  else
    ::KillTimer(FHandle, Timer1Id);
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

void TTarvikToolbarForm::ClickCapture() {
  SetCaptureChecked(!CaptureChecked());
  WithErrorBox([this] { btnCaptureClick(); });
}

void TTarvikToolbarForm::ClickMenuItem(UINT id) { WithErrorBox([this, id] { RunCommand(id); }); }

void TTarvikToolbarForm::RunCommand(UINT id) {
  if (!MenuItemEnabled(id) && id != TBItem10) return;  // a disabled item has no click
  switch (id) {
    case miCancel: miCancelClick(); return;
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
    case miAbout: miAboutClick(); return;
    case tbiGettingStarted: tbiGettingStartedClick(); return;
    case miHelpOnline: miHelpOnlineClick(); return;
    case miOnlineForum: miOnlineForumClick(); return;
    case miFeedbackMail: miFeedbackMailClick(); return;
    case miSupportOnline: miSupportOnlineClick(); return;
    case miUninstall: miUninstallClick(); return;
    default: break;
  }
  if (id >= mruiSavedArchivesFirst && id < mruiSavedArchivesFirst + FSavedArchives.Count()) {
    mruSavedArchivesClick(FSavedArchives.Click(id - mruiSavedArchivesFirst));
  } else if (id >= mruiRecentSaveFolderFirst && id < mruiRecentSaveFolderFirst + FRecentSaveFolder.Count()) {
    mruRecentSaveFolderClick(FRecentSaveFolder.Click(id - mruiRecentSaveFolderFirst));
  }
}

void TTarvikToolbarForm::btnCaptureClick() {
  // Outside the browser's process there is no runtime and nothing to capture.
  if (!Runtime) {
    SetCaptureChecked(false);
    return;
  }
  if (CaptureChecked()) {
    FCaptureMark = NextSID();
    ShowFace(1);
    SetTimer1(true);
    EnableMenuItemId(miCancel, true);
  } else {
    SaveCapture();
  }
}

void TTarvikToolbarForm::Timer1Timer() {
  ShowFace(FCaptureFace == 0 ? 1 : 0);
  bool beep = true;
  if (TIniFile* ini = SettingsIni()) beep = ReadBeepNotification(TIniFileStore(*ini));
  if (beep) FServices->Beep(8000, 25);
}

void TTarvikToolbarForm::miCancelClick() {
  FCaptureMark = 0;
  SetCaptureChecked(false);
  ShowFace(0);
  EnableMenuItemId(miCancel, false);
  SetTimer1(false);
}

void TTarvikToolbarForm::SaveCapture() {
  SetTimer1(false);
  ShowFace(1);
  std::vector<std::string> urls, bases;
  // Outside the browser's process there is no runtime: nothing was captured.
  if (Runtime) Runtime->GenerateList(static_cast<int32_t>(::GetCurrentThreadId()), FCaptureMark, &urls, &bases);
  if (urls.empty()) {
    // Nothing to save: back to idle, with nothing left to cancel.
    ShowFace(0);
    EnableMenuItemId(miCancel, false);
    return;
  }
  ComPtr<ITarvikEngine> engine = TInterfacedObject::Create<TTarvikEngine>();

  TSaveDialogRequest request;
  request.Owner = FHandle;
  request.Title = kSaveTitle;
  request.Filter.assign(kSaveFilter, sizeof kSaveFilter - 1);
  request.FilterIndex = FSaveFilterIndex;
  request.DefaultExt = kSaveDefaultExt;
  request.InitialFolder = FLastSaveFolder;
  request.Flags = OFN_OVERWRITEPROMPT | OFN_NOREADONLYRETURN | OFN_ENABLESIZING | OFN_EXPLORER | OFN_HIDEREADONLY;
  request.BufferChars = SaveDialogBufferChars;
  const std::string proposed = ProposeName();
  if (!proposed.empty()) FSaveFileName = proposed;
  request.FileName = FSaveFileName;

  const TSaveDialogResult chosen = FServices->RunSaveDialog(request);
  if (chosen.Outcome != TDialogOutcome::Chosen) {
    // The capture goes on with the same mark.
    SetTimer1(true);
    SetCaptureChecked(true);
    if (chosen.Outcome == TDialogOutcome::Failed)
      throw std::runtime_error(chosen.ErrorCode == FNERR_BUFFERTOOSMALL
                                   ? std::string("The file name chosen in the save dialog is too long.")
                                   : "The save dialog failed (common dialog error " +
                                         HResultText(static_cast<HRESULT>(chosen.ErrorCode)) + ").");
    return;
  }
  const std::string path = chosen.Path;
  FSaveFileName = path;
  FSaveFilterIndex = chosen.FilterIndex;

  // An archive without the page's own bytes would open blank: say so, and
  // leave whatever is at that path as it is.
  // (Without a store the composer answers for itself.)
  if (TarvikDataBuffer && !PartHasBytes(*TarvikDataBuffer, urls.front(), WindowsArchiveEnvironment()))
    throw std::runtime_error(kPageNotCapturedText);

  {
    TArchiveFile file(path);
    ComPtr<IURLStrings> adaptor = TInterfacedObject::Create<TStringsToURLStrings>(urls.front(), urls, bases);
    // The composer does not describe every failure: a description left by an
    // earlier call (the document's, during the name fetch) must not pass for its.
    ::SetErrorInfo(0, nullptr);
    const HRESULT hr = engine->ComposeWebArchive(urls.front(), adaptor.Get(), nullptr, &file,
                                                 ArchiveTitleFromPath(path));
    if (FAILED(hr)) throw std::runtime_error(ComposeErrorText(hr, path));
    // Closed and in place before anyone is offered to open it.
    file.Commit();
  }

  if (FServices->AskOpenSavedArchive(FHandle, SuccessText(path))) OpenInNewWindow(path, false);

  FSavedArchives.Add(path);
  FRecentSaveFolder.Add(FolderOf(path));
  if (TIniFile* ini = SettingsIni()) {
    TIniFileStore store(*ini);
    FRecentSaveFolder.Store(store, "MRU.SaveLocations");
    FSavedArchives.Store(store, "MRU.RecentArchives");
  }
  ShowFace(0);
  EnableMenuItemId(miCancel, false);
}

std::string TTarvikToolbarForm::ProposeName() {
  if (!FWebBrowser) return {};
  ComPtr<IDispatch> document;
  if (FAILED(FWebBrowser->get_Document(document.Put())) || !document) return {};
  try {
    // A document that is not HTML has no selection or title: a failed fetch.
    ComPtr<IHTMLDocument2> html;
    CheckResult(document.As(html), "The document is not an HTML document.");
    ComPtr<IHTMLSelectionObject> selection;
    CheckResult(html->get_selection(selection.Put()), "No selection.");
    if (!selection) throw ELateBoundError("No selection.", E_POINTER);
    ComPtr<IDispatch> range;
    CheckResult(selection->createRange(range.Put()), "No range.");
    std::string text = Trim(WideToAnsi(GetTextProperty(range.Get(), L"text")));
    if (text.empty()) {
      UniqueBstr title;
      CheckResult(html->get_title(title.Put()), "No title.");
      text = Trim(SafeFileName(WideToAnsi(title.Get())));
    }
    return ProposedFileName(text, kProposedNameChars, &IsSystemLeadByte);
  } catch (const std::exception&) {
    RuntimeTrace("Save MHTML", "EXCEPTION: Fetch selected text.", 0, 50);
    return {};
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
        const std::string href =
            LowerAscii(WideToAnsi(GetTextProperty(GetObjectProperty(document.Get(), L"location").Get(), L"href")));
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
