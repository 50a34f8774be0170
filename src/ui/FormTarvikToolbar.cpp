#include "ui/FormTarvikToolbar.h"

#include <commctrl.h>

#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>

#include "archive/ArchiveIOWin.h"
#include "framework/WinText.h"
#include "ui/Hotkeys.h"
#include "ui/ToolbarImages.h"
#include "ui/resources/UiModule.h"

// The toolbar form's window and its drawing; the capture command is in
// FormTarvikToolbarCapture.cpp, the menus and their commands in
// FormTarvikToolbarMenus.cpp.

namespace tarvik {

namespace {

constexpr char kFormClassName[] = "TTarvikToolbarForm";
constexpr char kCaptureCaption[] = "Tarvik";
constexpr char kCaptureHint[] = "Click for capturing and again for saving";
constexpr char kOptionsHint[] = "Recent archives and save folders";
constexpr char kHelpCaption[] = "Help && Support";

TTarvikToolbarForm::MessageHook& GlobalMessageHook() {
  static TTarvikToolbarForm::MessageHook hook;
  return hook;
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
  FHandle = ::CreateWindowExA(WS_EX_CONTROLPARENT, kFormClassName, "", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0,
                              0, 0, 0, parent, nullptr, instance, this);
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

// ---------------------------------------------------------------- state

bool TTarvikToolbarForm::CaptureChecked() const {
  return ::SendMessageA(FToolbar, TB_ISBUTTONCHECKED, btnCapture, 0) != 0;
}

void TTarvikToolbarForm::SetCaptureChecked(bool checked) {
  ::SendMessageA(FToolbar, TB_CHECKBUTTON, btnCapture, MAKELPARAM(checked ? TRUE : FALSE, 0));
}

void TTarvikToolbarForm::ShowFace(TCaptureFace face) {
  FCaptureFace = face;
  RECT r{};
  if (::SendMessageA(FToolbar, TB_GETRECT, btnCapture, reinterpret_cast<LPARAM>(&r)))
    ::InvalidateRect(FToolbar, &r, TRUE);
}

void TTarvikToolbarForm::ShowIdle() {
  ShowFace(IdleFace);
  EnableMenuItemId(miCancel, false);
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

}  // namespace tarvik
