#include "ui/FormTarvikAbout.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "core/ClassTarvikRuntime.h"
#include "support/ui/ScreenShot.h"
#include "ui/resources/TarvikUiResources.h"
#include "ui/resources/UiModule.h"

namespace tarvik {
namespace {

constexpr char AboutCaption[] = "About Tarvik Express";

// What the About box showed, read through its real window from another thread.
struct TSeenBox {
  bool Found = false;
  std::string Caption, Product, Version, Button, ProductFont;
  LONG Style = 0, ButtonStyle = 0, PictureStyle = 0;
  RECT Box{}, Picture{};
  HWND Owner = nullptr;
  bool HasPicture = false;
  LONG ProductHeight = 0, VersionHeight = 0;
  bool Shot = false;
};

std::string WindowText(HWND window) {
  char text[512] = {};
  ::GetWindowTextA(window, text, sizeof(text));
  return text;
}

LOGFONTA FontOf(HWND control) {
  LOGFONTA font{};
  const auto handle = reinterpret_cast<HFONT>(::SendMessageA(control, WM_GETFONT, 0, 0));
  if (handle) ::GetObjectA(handle, sizeof(font), &font);
  return font;
}

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM) {
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  return TRUE;
}

// A visible top-level window to own the box.
struct TOwnerWindow {
  HWND Handle = ::CreateWindowExA(0, "STATIC", "About owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 300, 200,
                                  nullptr, nullptr, nullptr, nullptr);
  ~TOwnerWindow() { ::DestroyWindow(Handle); }
};

// Shows the box on this thread while another thread reads it, optionally
// takes a screenshot, and closes it with its OK button as a user would.
INT_PTR ShowAndAnswer(HWND owner, TSeenBox& seen, const std::string& shotPath = {}) {
  const DWORD uiThread = ::GetCurrentThreadId();
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    HWND box = nullptr;
    for (int i = 0; i < 200 && !box && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      box = ::FindWindowA("#32770", AboutCaption);
    }
    if (!box) {
      // Never leave the test blocked in a box that did not show as expected.
      ::EnumThreadWindows(uiThread, &CloseWindowOf, 0);
      return;
    }
    seen.Found = true;
    seen.Caption = WindowText(box);
    seen.Style = ::GetWindowLongA(box, GWL_STYLE);
    seen.Owner = ::GetWindow(box, GW_OWNER);
    ::GetWindowRect(box, &seen.Box);
    HWND picture = ::GetDlgItem(box, IDC_ABOUT_PICTURE);
    ::GetWindowRect(picture, &seen.Picture);
    seen.PictureStyle = ::GetWindowLongA(picture, GWL_EXSTYLE);
    seen.HasPicture = ::SendMessageA(picture, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
    seen.Product = WindowText(::GetDlgItem(box, IDC_ABOUT_PRODUCT));
    seen.Version = WindowText(::GetDlgItem(box, IDC_ABOUT_VERSION));
    const LOGFONTA product = FontOf(::GetDlgItem(box, IDC_ABOUT_PRODUCT));
    seen.ProductFont = product.lfFaceName;
    seen.ProductHeight = product.lfHeight < 0 ? -product.lfHeight : product.lfHeight;
    const LOGFONTA version = FontOf(::GetDlgItem(box, IDC_ABOUT_VERSION));
    seen.VersionHeight = version.lfHeight < 0 ? -version.lfHeight : version.lfHeight;
    HWND ok = ::GetDlgItem(box, IDOK);
    seen.Button = WindowText(ok);
    seen.ButtonStyle = ::GetWindowLongA(ok, GWL_STYLE);
    if (!shotPath.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let it paint
      seen.Shot = test::SaveScreenShot(box, shotPath);
    }
    ::PostMessageA(ok, BM_CLICK, 0, 0);
  });
  INT_PTR result = -1;
  try {
    result = TAboutForm(owner).ShowModal();
  } catch (...) {
    done = true;
    watcher.join();
    throw;
  }
  done = true;
  watcher.join();
  return result;
}

TEST(TAboutForm, ShowsProductVersionAndPictureCentredAndClosesWithOk) {
  VersionInfo.FileVersion = "1.2.3.456 beta & co";
  TOwnerWindow owner;
  ASSERT_TRUE(owner.Handle);
  TSeenBox seen;
  EXPECT_EQ(ShowAndAnswer(owner.Handle, seen, "about_box.bmp"), IDOK);
  VersionInfo.FileVersion.clear();
  ASSERT_TRUE(seen.Found);

  EXPECT_EQ(seen.Caption, AboutCaption);
  EXPECT_EQ(seen.Owner, owner.Handle);
  EXPECT_EQ(seen.Product, "Tarvik Express");
  EXPECT_EQ(seen.Version, "Version: 1.2.3.456 beta & co");  // exactly as stored
  EXPECT_EQ(seen.Button, "OK");
  EXPECT_EQ(seen.ButtonStyle & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  // Fixed size, only the system menu.
  EXPECT_TRUE(seen.Style & WS_SYSMENU);
  EXPECT_FALSE(seen.Style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));
  // Centred on the screen (within a pixel of rounding).
  const int screenWidth = ::GetSystemMetrics(SM_CXSCREEN), screenHeight = ::GetSystemMetrics(SM_CYSCREEN);
  EXPECT_NEAR(seen.Box.left + seen.Box.right, screenWidth, 1);
  EXPECT_NEAR(seen.Box.top + seen.Box.bottom, screenHeight, 1);
  // A sunken square frame with the picture in it.
  EXPECT_EQ(seen.Picture.right - seen.Picture.left, seen.Picture.bottom - seen.Picture.top);
  EXPECT_GT(seen.Picture.right - seen.Picture.left, 64);
  EXPECT_TRUE(seen.PictureStyle & WS_EX_CLIENTEDGE);
  EXPECT_TRUE(seen.HasPicture);
  EXPECT_EQ(seen.ProductFont, "Arial");
  EXPECT_GT(seen.ProductHeight, seen.VersionHeight);
  EXPECT_TRUE(seen.Shot);
}

TEST(TAboutForm, WithoutVersionRecordShowsVersionAndNothingElse) {
  VersionInfo.FileVersion.clear();
  TSeenBox seen;
  EXPECT_EQ(ShowAndAnswer(nullptr, seen), IDOK);
  ASSERT_TRUE(seen.Found);
  EXPECT_EQ(seen.Version, "Version: ");
}

TEST(UiResources, EveryPictureAndIconLoadsFromTheCodesModule) {
  const HMODULE module = UiModule();
  ASSERT_EQ(module, ::GetModuleHandleA(nullptr));  // linked into this test program

  HANDLE faces = ::LoadImageA(module, MAKEINTRESOURCEA(IDB_CAPTURE_FACES), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION);
  ASSERT_TRUE(faces);
  BITMAP info{};
  ::GetObjectA(faces, sizeof(info), &info);
  EXPECT_EQ(info.bmWidth, 2 * TARVIK_CAPTURE_FACE_WIDTH);
  EXPECT_EQ(info.bmHeight, TARVIK_CAPTURE_FACE_HEIGHT);
  EXPECT_EQ(info.bmBitsPixel, 32);
  ::DeleteObject(faces);

  for (int id : {IDI_OPTIONS, IDI_HELP, IDI_ABOUT, IDI_GETTING_STARTED, IDI_HELP_ONLINE, IDI_ONLINE_FORUM,
                 IDI_FEEDBACK_MAIL, IDI_SUPPORT_ONLINE, IDI_UNINSTALL, IDI_CANCEL_CAPTURE, IDI_BEEP}) {
    for (int size : {16, 24}) {
      auto icon = static_cast<HICON>(::LoadImageA(module, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, 0));
      ASSERT_TRUE(icon) << id << " at " << size;
      ICONINFO parts{};
      ASSERT_TRUE(::GetIconInfo(icon, &parts));
      BITMAP colour{};
      ::GetObjectA(parts.hbmColor, sizeof(colour), &colour);
      EXPECT_EQ(colour.bmWidth, size) << id;
      ::DeleteObject(parts.hbmColor);
      ::DeleteObject(parts.hbmMask);
      ::DestroyIcon(icon);
    }
  }
}

TEST(UiResources, AreBuiltIntoTheLibrary) {
  const HMODULE library = ::LoadLibraryExA(TARVIK_DLL_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(library);
  EXPECT_TRUE(::FindResourceA(library, MAKEINTRESOURCEA(IDD_ABOUT), MAKEINTRESOURCEA(5)));          // RT_DIALOG
  EXPECT_TRUE(::FindResourceA(library, MAKEINTRESOURCEA(IDB_CAPTURE_FACES), MAKEINTRESOURCEA(2)));  // RT_BITMAP
  EXPECT_TRUE(::FindResourceA(library, MAKEINTRESOURCEA(IDI_UNINSTALL), MAKEINTRESOURCEA(14)));     // RT_GROUP_ICON
  EXPECT_TRUE(::FindResourceA(library, MAKEINTRESOURCEA(2), MAKEINTRESOURCEA(24)));                 // the manifest
  ::FreeLibrary(library);
}

// The file that "comctl32.dll" resolves to in the current activation context,
// in lower case.
std::string CommonControlsFile() {
  HMODULE comctl = ::LoadLibraryA("comctl32.dll");
  if (!comctl) return {};
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(comctl, path, MAX_PATH);
  ::FreeLibrary(comctl);
  std::string file = path;
  for (char& c : file) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return file;
}

TEST(UiResources, ActivationBringsCommonControlsSix) {
  // This program has no manifest of its own: only the activation can bring version 6.
  const std::string v6 = "microsoft.windows.common-controls_6595b64144ccf1df_6.";
  TUiActivation activation;
  ASSERT_TRUE(activation.Active());
  EXPECT_NE(CommonControlsFile().find(v6), std::string::npos) << CommonControlsFile();
}

}  // namespace
}  // namespace tarvik
