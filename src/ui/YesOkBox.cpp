#include "ui/YesOkBox.h"

#include <algorithm>
#include <string>
#include <vector>

#include "framework/Handles.h"
#include "framework/WinText.h"
#include "ui/resources/UiModule.h"

namespace tarvik {

namespace {

constexpr int kIconId = 100;
constexpr int kTextId = 101;
constexpr int kMargin = 12;
constexpr int kIconSize = 32;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kMaxTextWidth = 420;

// A dialog template built in memory: words, aligned as the platform wants.
class TDialogTemplate {
 public:
  TDialogTemplate(const std::string& caption, WORD items) {
    Align();
    const DWORD style = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    Dword(style);
    Dword(0);  // extended style
    Word(items);
    Word(0);
    Word(0);
    Word(200);
    Word(80);  // x, y, cx, cy: laid out in pixels at WM_INITDIALOG
    Word(0);
    Word(0);  // no menu, the standard class
    Text(caption);
    Word(8);
    Text("MS Shell Dlg");
  }
  void Item(WORD atom, WORD id, DWORD style, const std::string& text) {
    Align();
    Dword(WS_CHILD | WS_VISIBLE | style);
    Dword(0);
    Word(0);
    Word(0);
    Word(10);
    Word(10);
    Word(id);
    Word(0xFFFF);
    Word(atom);
    Text(text);
    Word(0);  // no creation data
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(FWords.data()); }

 private:
  void Word(WORD w) { FWords.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Align() {
    if (FWords.size() % 2) Word(0);
  }
  void Text(const std::string& text) {
    for (wchar_t c : AnsiToWide(text)) Word(static_cast<WORD>(c));
    Word(0);
  }
  std::vector<WORD> FWords;
};

void Place(HWND box, int id, int x, int y, int width, int height) {
  ::SetWindowPos(::GetDlgItem(box, id), nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Layout(HWND box) {
  ::SendDlgItemMessageA(box, kIconId, STM_SETICON, reinterpret_cast<WPARAM>(::LoadIcon(nullptr, IDI_INFORMATION)), 0);
  char text[4096] = {};
  ::GetDlgItemTextA(box, kTextId, text, sizeof text);
  RECT measured{0, 0, kMaxTextWidth, 0};
  {
    const UniqueWindowDc dc(box);
    const ScopedSelectObject font(dc.Get(), reinterpret_cast<HFONT>(::SendMessageA(box, WM_GETFONT, 0, 0)));
    // Measured with every lone CR as CR LF: the box shows each as a line break,
    // but some DrawText implementations size only the first such line.
    std::string lines;
    for (const char* c = text; *c; ++c) {
      lines += *c;
      if (*c == '\r' && c[1] != '\n') lines += '\n';
    }
    ::DrawTextA(dc.Get(), lines.c_str(), -1, &measured, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  }
  const int textX = kMargin + kIconSize + kMargin;
  // Slack: a static control may lay a line out a little wider than it measures.
  measured.right += 12;
  const int textHeight = std::max<int>(measured.bottom, kIconSize);
  const int buttonsWidth = 2 * kButtonWidth + kMargin / 2;
  const int clientWidth = std::max<int>(textX + measured.right, buttonsWidth) + kMargin;
  const int buttonsY = kMargin + textHeight + kMargin;
  const int clientHeight = buttonsY + kButtonHeight + kMargin;
  Place(box, kIconId, kMargin, kMargin, kIconSize, kIconSize);
  Place(box, kTextId, textX, kMargin, measured.right, textHeight);
  Place(box, IDYES, clientWidth - kMargin - buttonsWidth, buttonsY, kButtonWidth, kButtonHeight);
  Place(box, IDOK, clientWidth - kMargin - kButtonWidth, buttonsY, kButtonWidth, kButtonHeight);

  RECT frame{0, 0, clientWidth, clientHeight};
  ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongA(box, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongA(box, GWL_EXSTYLE)));
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  RECT around{0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
  if (HWND owner = ::GetWindow(box, GW_OWNER)) ::GetWindowRect(owner, &around);
  ::SetWindowPos(box, nullptr, (around.left + around.right - width) / 2, (around.top + around.bottom - height) / 2,
                 width, height, SWP_NOZORDER);
}

INT_PTR CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      Layout(box);
      ::SetFocus(::GetDlgItem(box, IDYES));
      return FALSE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDYES || LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(box, LOWORD(wParam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

bool ShowYesOkBox(HWND owner, const std::string& text, const std::string& caption) {
  TDialogTemplate dialog(caption, 4);
  dialog.Item(0x0082, kIconId, SS_ICON, "");
  dialog.Item(0x0082, kTextId, SS_LEFT | SS_NOPREFIX, text);
  dialog.Item(0x0080, IDYES, WS_TABSTOP | BS_DEFPUSHBUTTON, "&Yes");
  dialog.Item(0x0080, IDOK, WS_TABSTOP | BS_PUSHBUTTON, "OK");
  return ::DialogBoxIndirectParamA(UiModule(), dialog.Get(), owner, &BoxProc, 0) == IDYES;
}

}  // namespace tarvik
