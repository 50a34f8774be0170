#include "ui/FormTarvikAbout.h"

#include <stdexcept>
#include <string>

#include "core/ClassTarvikRuntime.h"
#include "ui/resources/TarvikUiResources.h"
#include "ui/resources/UiModule.h"

namespace tarvik {

namespace {

HFONT MakeArial(HWND window, int points, int weight) {
  int pixelsPerInch = 96;
  if (const UniqueWindowDc dc(window); dc) pixelsPerInch = ::GetDeviceCaps(dc.Get(), LOGPIXELSY);
  return ::CreateFontA(-::MulDiv(points, pixelsPerInch, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial");
}

// Centre of the monitor that shows the owner (the primary one without an owner).
void CentreOnScreen(HWND window, HWND owner) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (!::GetMonitorInfoA(::MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
  RECT box{};
  ::GetWindowRect(window, &box);
  const RECT& screen = monitor.rcMonitor;
  const int width = box.right - box.left, height = box.bottom - box.top;
  ::SetWindowPos(window, nullptr, screen.left + (screen.right - screen.left - width) / 2,
                 screen.top + (screen.bottom - screen.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR TAboutForm::ShowModal() {
  FError = nullptr;
  INT_PTR result;
  {
    TUiActivation activation;
    result = ::DialogBoxParamA(UiModule(), MAKEINTRESOURCEA(IDD_ABOUT), FOwner, &TAboutForm::DialogProc,
                               reinterpret_cast<LPARAM>(this));
  }
  if (FError) std::rethrow_exception(FError);
  if (result == -1 || result == 0)
    throw std::runtime_error("The About box could not be shown (error " + std::to_string(::GetLastError()) + ").");
  return result;
}

void TAboutForm::FormCreate(HWND window) {
  ::SetDlgItemTextA(window, IDC_ABOUT_VERSION, ("Version: " + VersionInfo.FileVersion).c_str());

  FProductFont.Reset(MakeArial(window, 18, FW_BOLD));
  FVersionFont.Reset(MakeArial(window, 10, FW_NORMAL));
  ::SendDlgItemMessageA(window, IDC_ABOUT_PRODUCT, WM_SETFONT, reinterpret_cast<WPARAM>(FProductFont.Get()), FALSE);
  ::SendDlgItemMessageA(window, IDC_ABOUT_VERSION, WM_SETFONT, reinterpret_cast<WPARAM>(FVersionFont.Get()), FALSE);

  // Dialog units are not square: make the frame square in pixels.
  HWND frame = ::GetDlgItem(window, IDC_ABOUT_PICTURE);
  RECT bounds{};
  ::GetWindowRect(frame, &bounds);
  const int side = bounds.bottom - bounds.top;
  ::SetWindowPos(frame, nullptr, 0, 0, side, side, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  FPicture.Reset(static_cast<HBITMAP>(
      ::LoadImageA(UiModule(), MAKEINTRESOURCEA(IDB_ABOUT_PICTURE), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR)));
  ::SendMessageA(frame, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(FPicture.Get()));

  CentreOnScreen(window, FOwner);
}

INT_PTR CALLBACK TAboutForm::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<TAboutForm*>(::GetWindowLongPtrA(window, DWLP_USER));
  try {
    switch (message) {
      case WM_INITDIALOG:
        self = reinterpret_cast<TAboutForm*>(lParam);
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
        self->FormCreate(window);
        return TRUE;  // focus on the default button
      case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
          ::EndDialog(window, LOWORD(wParam));
          return TRUE;
        }
        break;
    }
  } catch (...) {
    // Carried out of the dialog and rethrown by ShowModal.
    if (self) self->FError = std::current_exception();
    ::EndDialog(window, IDABORT);
    return TRUE;
  }
  return FALSE;
}

}  // namespace tarvik
