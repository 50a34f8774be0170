// The form as the user sees it: its real toolbar, menus, save dialog,
// success box and About box, found by their windows and answered as a user
// would. Screenshots land beside the test program as artifacts.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "framework/WinText.h"
#include "support/ui/ScreenShot.h"
#include "support/ui/ToolbarFormTestSupport.h"
#include "ui/NameRules.h"
#include "ui/YesOkBox.h"

namespace tarvik::test {
namespace {

using Form = TTarvikToolbarForm;
using namespace std::chrono_literals;

std::string WindowText(HWND window) {
  char text[1024] = {};
  ::GetWindowTextA(window, text, sizeof text);
  return text;
}

// The real dialogs, boxes and About box; launches and beeps stay scripted.
class TRealDialogServices final : public TScriptedUiServices {
 public:
  using TScriptedUiServices::TScriptedUiServices;
  TSaveDialogResult RunSaveDialog(const TSaveDialogRequest& request) override {
    DialogRequests.push_back(request);
    return FReal->RunSaveDialog(request);
  }
  bool AskOpenSavedArchive(HWND owner, const std::string& text) override {
    SuccessTexts.push_back(text);
    return FReal->AskOpenSavedArchive(owner, text);
  }
  void ShowError(HWND owner, const std::string& message) override {
    Errors.push_back(message);
    FReal->ShowError(owner, message);
  }
  void ShowAbout(HWND owner) override {
    ++AboutBoxes;
    FReal->ShowAbout(owner);
  }

 private:
  std::shared_ptr<TUiServices> FReal = DefaultUiServices();
};

BOOL CALLBACK CloseDialogsOf(HWND window, LPARAM) {
  char name[32] = {};
  ::GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "#32770") ::PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
  return TRUE;
}

// Runs steps on a thread of its own while this thread is busy in a modal
// loop; each step waits for its window. When a window does not come, the
// dialogs of the UI thread are cancelled so the test never hangs.
class TUser {
 public:
  using Step = std::function<void(HWND)>;
  TUser() : FUiThread(::GetCurrentThreadId()) {}
  ~TUser() { Finish(); }
  void Then(std::string className, std::string title, Step step) {
    FSteps.push_back({std::move(className), std::move(title), std::move(step)});
  }
  void Start() {
    FThread = std::thread([this] {
      for (const TStep& s : FSteps) {
        HWND window = nullptr;
        for (int i = 0; i < 200 && !window && !FStop; ++i) {
          std::this_thread::sleep_for(50ms);
          window = ::FindWindowA(s.Class.c_str(), s.Title.empty() ? nullptr : s.Title.c_str());
          if (window && !::IsWindowVisible(window)) window = nullptr;
        }
        if (!window) {
          ADD_FAILURE() << "no window \"" << s.Title << "\" of class " << s.Class;
          ::EnumThreadWindows(FUiThread, &CloseDialogsOf, 0);
          return;
        }
        std::this_thread::sleep_for(300ms);  // let it paint
        s.Action(window);
        // The next step's window may reuse the class: wait for this one to go.
        for (int i = 0; i < 100 && ::IsWindow(window) && ::IsWindowVisible(window); ++i)
          std::this_thread::sleep_for(50ms);
      }
    });
  }
  void Finish() {
    FStop = true;
    if (FThread.joinable()) FThread.join();
  }

 private:
  struct TStep {
    std::string Class, Title;
    Step Action;
  };
  DWORD FUiThread;
  std::vector<TStep> FSteps;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

struct TChildSearch {
  std::string Prefix;
  HWND Found = nullptr;
};

BOOL CALLBACK FindChildWithText(HWND child, LPARAM p) {
  auto* search = reinterpret_cast<TChildSearch*>(p);
  if (WindowText(child).rfind(search->Prefix, 0) != 0) return TRUE;
  search->Found = child;
  return FALSE;
}

// The first child whose text starts with prefix.
HWND ChildWithText(HWND parent, const std::string& prefix) {
  TChildSearch search{prefix};
  ::EnumChildWindows(parent, &FindChildWithText, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

class ToolbarWindowTest : public ToolbarFormTest {
 protected:
  void SetUp() override {
    ToolbarFormTest::SetUp();
    FServices = std::make_shared<TRealDialogServices>(FLibraryFolder.Path());
  }
  std::string ButtonText(UINT id) {
    char text[128] = {};
    ::SendMessageA(FForm->ToolbarHandle(), TB_GETBUTTONTEXTA, id, reinterpret_cast<LPARAM>(text));
    return text;
  }
  BYTE ButtonStyle(UINT id) {
    TBBUTTONINFOA info{};
    info.cbSize = sizeof info;
    info.dwMask = TBIF_STYLE;
    ::SendMessageA(FForm->ToolbarHandle(), TB_GETBUTTONINFOA, id, reinterpret_cast<LPARAM>(&info));
    return info.fsStyle;
  }
  std::string Hint(UINT id) {
    NMTTDISPINFOA info{};
    info.hdr.hwndFrom = FForm->ToolbarHandle();
    info.hdr.idFrom = id;
    info.hdr.code = TTN_GETDISPINFOA;
    ::SendMessageA(FForm->Handle(), WM_NOTIFY, id, reinterpret_cast<LPARAM>(&info));
    return info.lpszText ? info.lpszText : "";
  }
  // A user's click on the arrow of a button.
  void ClickArrow(UINT id) {
    RECT r{};
    ::SendMessageA(FForm->ToolbarHandle(), TB_GETRECT, id, reinterpret_cast<LPARAM>(&r));
    const LPARAM at = MAKELPARAM(r.right - 4, (r.top + r.bottom) / 2);
    ::PostMessageA(FForm->ToolbarHandle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    ::PostMessageA(FForm->ToolbarHandle(), WM_LBUTTONUP, 0, at);
  }
};

TEST_F(ToolbarWindowTest, ToolbarLooksAsDesignedIdleCapturingAndWithItsMenus) {
  Form& form = NewForm();
  PumpMessages(300);
  HWND toolbar = form.ToolbarHandle();
  SIZE size{};
  ::SendMessageA(toolbar, TB_GETMAXSIZE, 0, reinterpret_cast<LPARAM>(&size));
  EXPECT_EQ(form.Width(), size.cx);
  EXPECT_EQ(form.Height(), size.cy);
  EXPECT_GE(form.Height(), 24);
  EXPECT_LT(form.Height(), 48);
  EXPECT_TRUE(form.Visible());
  EXPECT_EQ(::GetParent(form.Handle()), FHost->Handle());
  EXPECT_FALSE(::GetWindowLongA(form.Handle(), GWL_STYLE) & (WS_BORDER | WS_CAPTION | WS_THICKFRAME));

  EXPECT_EQ(::SendMessageA(toolbar, TB_BUTTONCOUNT, 0, 0), 3);
  EXPECT_EQ(ButtonText(Form::btnCapture), "Tarvik");
  EXPECT_EQ(ButtonText(Form::btnHelp), "Help && Support");
  EXPECT_EQ(ButtonStyle(Form::btnCapture) & (BTNS_DROPDOWN | BTNS_CHECK | BTNS_SHOWTEXT),
            BTNS_DROPDOWN | BTNS_CHECK | BTNS_SHOWTEXT);
  EXPECT_EQ(ButtonStyle(Form::btnOptions) & (BTNS_WHOLEDROPDOWN | BTNS_SHOWTEXT), BTNS_WHOLEDROPDOWN);
  EXPECT_EQ(ButtonStyle(Form::btnHelp) & BTNS_WHOLEDROPDOWN, BTNS_WHOLEDROPDOWN);
  EXPECT_TRUE(::SendMessageA(toolbar, TB_GETEXTENDEDSTYLE, 0, 0) & TBSTYLE_EX_DRAWDDARROWS);
  EXPECT_EQ(Hint(Form::btnCapture), "Click for capturing and again for saving");
  LOGFONTA font{};
  ::GetObjectA(reinterpret_cast<HFONT>(::SendMessageA(toolbar, WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_STREQ(font.lfFaceName, "Verdana");
  int faceWidth = 0, faceHeight = 0;
  HIMAGELIST faces = form.CaptureFaces();
  ASSERT_TRUE(::ImageList_GetIconSize(faces, &faceWidth, &faceHeight));
  EXPECT_EQ(faceWidth, 72);
  EXPECT_EQ(faceHeight, 24);
  EXPECT_EQ(::ImageList_GetImageCount(faces), 2);
  EXPECT_TRUE(SaveScreenShot(FHost->Handle(), "toolbar_idle.bmp"));

  form.ClickCapture();
  PumpMessages(300);
  EXPECT_TRUE(::SendMessageA(toolbar, TB_ISBUTTONCHECKED, Form::btnCapture, 0));
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::ActiveFace);
  EXPECT_TRUE(SaveScreenShot(FHost->Handle(), "toolbar_capturing.bmp"));

  // A user opens the help menu with the button's arrow; the real menu shows it.
  HMENU shown = nullptr;
  TUser user;
  user.Then("#32768", "", [&](HWND menu) {
    shown = reinterpret_cast<HMENU>(::SendMessageA(menu, MN_GETHMENU, 0, 0));
    EXPECT_TRUE(SaveScreenShot(nullptr, "toolbar_help_menu.bmp"));
    ::PostMessageA(form.Handle(), WM_CANCELMODE, 0, 0);
  });
  user.Start();
  ClickArrow(Form::btnHelp);
  PumpMessages(2500);
  user.Finish();
  EXPECT_EQ(shown, form.HelpMenu());

  form.ClickMenuItem(Form::miCancel);
}

TEST_F(ToolbarWindowTest, TheBeepMarkShowsWhatAnotherWindowStoredWhenTheMenuOpens) {
  Form& form = NewForm();
  ASSERT_TRUE(form.MenuItemChecked(Form::TBItem10));
  // Another browser window turns the beep off after this form was made.
  Form other(FHost->Handle(), FServices);
  other.ClickMenuItem(Form::TBItem10);
  ASSERT_EQ(IniValue("Preferences", "BeepNotification"), "False");

  UINT shownState = 0;
  TUser user;
  user.Then("#32768", "", [&](HWND menu) {
    HMENU shown = reinterpret_cast<HMENU>(::SendMessageA(menu, MN_GETHMENU, 0, 0));
    shownState = ::GetMenuState(shown, Form::TBItem10, MF_BYCOMMAND);
    ::PostMessageA(form.Handle(), WM_CANCELMODE, 0, 0);
  });
  user.Start();
  ClickArrow(Form::btnCapture);
  PumpMessages(2500);
  user.Finish();
  EXPECT_FALSE(shownState & MF_CHECKED);
  // This window's user, seeing it off, turns it on.
  form.ClickMenuItem(Form::TBItem10);
  EXPECT_EQ(IniValue("Preferences", "BeepNotification"), "True");
}

TEST_F(ToolbarWindowTest, AboutBoxOpensFromTheHelpMenu) {
  Form& form = NewForm();
  std::string version;
  TUser user;
  user.Then("#32770", "About Tarvik Express", [&](HWND box) {
    version = WindowText(ChildWithText(box, "Version: "));
    EXPECT_TRUE(SaveScreenShot(box, "toolbar_about_box.bmp"));
    ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  });
  user.Start();
  form.ClickMenuItem(Form::miAbout);
  user.Finish();
  EXPECT_EQ(version, "Version: " + VersionInfo.FileVersion);
  EXPECT_TRUE(FServices->Errors.empty());
}

TEST_F(ToolbarWindowTest, RealSaveDialogAndSuccessBoxAnsweredAsAUser) {
  Form& form = NewForm();
  VisitPage();
  // A selection far longer than the dialog's buffer: the dialog still shows.
  FDocument->SetSelectedText(L"Long " + std::wstring(10000, L'x'));
  const std::string path = FFolder.File("Chosen by the user.mht");
  std::string proposed, content;
  std::vector<std::string> buttons;
  TUser user;
  user.Then("#32770", "Save Web Archive To", [&](HWND dialog) {
    char name[MAX_PATH * 2] = {};
    ::GetDlgItemTextA(dialog, 0x47c /* cmb13 */, name, sizeof name);
    proposed = name;
    EXPECT_TRUE(SaveScreenShot(dialog, "toolbar_save_dialog.bmp"));
    ::SetDlgItemTextA(dialog, 0x47c, path.c_str());
    ::PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  user.Then("#32770", "Information", [&](HWND box) {
    content = WindowText(ChildWithText(box, "Successfully saved to "));
    for (const char* label : {"&Yes", "Yes", "OK"})
      if (ChildWithText(box, label)) buttons.push_back(label);
    EXPECT_TRUE(SaveScreenShot(box, "toolbar_success_box.bmp"));
    ::PostMessageA(ChildWithText(box, "OK"), BM_CLICK, 0, 0);
  });
  user.Start();
  form.ClickCapture();
  form.ClickCapture();
  user.Finish();

  EXPECT_EQ(proposed.rfind("Long xxx", 0), 0u) << proposed;
  EXPECT_EQ(proposed.substr(proposed.size() - 4), ".mht");
  EXPECT_TRUE(FServices->Errors.empty());
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(content.rfind("Successfully saved to " + path + ".", 0), 0u) << content;
  EXPECT_TRUE(buttons.size() >= 2u && buttons.back() == "OK");
  EXPECT_TRUE(FServices->Launches.empty());  // OK opens nothing

  // Yes, through the real box, opens the archive.
  TUser again;
  const std::string second = FFolder.File("second.mht");
  again.Then("#32770", "Save Web Archive To", [&](HWND dialog) {
    ::SetDlgItemTextA(dialog, 0x47c, second.c_str());
    ::PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  again.Then("#32770", "Information", [&](HWND box) {
    HWND yes = ChildWithText(box, "&Yes");
    ::PostMessageA(yes ? yes : ChildWithText(box, "Yes"), BM_CLICK, 0, 0);
  });
  FDocument->SetSelectedText(L"");
  FDocument->SetTitle(L"");
  again.Start();
  form.ClickCapture();
  form.ClickCapture();
  again.Finish();
  ASSERT_EQ(FServices->Launches.size(), 1u);
  EXPECT_EQ(FServices->Launches[0].Parameters, "\"" + second + "\"");
}

// The save dialog proposing a name of the system's code page, the save to
// such a folder and name, the recent-archives menu showing it (screenshots
// of both), and the browser reading back targets ending in such characters.
TEST_F(ToolbarWindowTest, ANameInTheSystemsCodePageInTheDialogAndTheRecentMenu) {
  const TCodePageNames names = SystemsCodePageNames();
  if (::GetACP() == 932 || ::GetACP() == 950) {
    ASSERT_NE((names.Folder + names.File + names.Title).find('\\'), std::string::npos);
  }
  Form& form = NewForm();
  VisitPage();
  FDocument->SetTitle(AnsiToWide(names.Title));
  const std::string folder = FFolder.File(names.Folder) + "\\";
  ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
  const std::string path = folder + names.File + ".mht";
  std::wstring proposed;
  TUser user;
  user.Then("#32770", "Save Web Archive To", [&](HWND dialog) {
    wchar_t name[MAX_PATH] = {};
    ::GetDlgItemTextW(dialog, 0x47c /* cmb13 */, name, MAX_PATH);
    proposed = name;
    EXPECT_TRUE(SaveScreenShot(dialog, "toolbar_save_dialog_cp" + std::to_string(::GetACP()) + ".bmp"));
    ::SetDlgItemTextW(dialog, 0x47c, AnsiToWide(path).c_str());
    ::PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  // The success box's buttons are captioned in the system's language: OK by its identifier.
  user.Then("#32770", "Information", [&](HWND box) { ::PostMessageA(box, WM_COMMAND, IDOK, 0); });
  user.Start();
  form.ClickCapture();
  form.ClickCapture();
  user.Finish();
  // The title's characters are proposed whole.
  EXPECT_EQ(proposed, AnsiToWide(names.Title + ".mht"));
  ASSERT_TRUE(FServices->Errors.empty()) << FServices->Errors.front();
  EXPECT_NE(ReadWholeFile(path).find("Subject: " + names.File + "\r\n"), std::string::npos);
  EXPECT_EQ(form.RecentSaveFolders().Items(), std::vector<std::string>{folder});

  std::wstring firstItem;
  TUser menuUser;
  menuUser.Then("#32768", "", [&](HWND menu) {
    HMENU shown = reinterpret_cast<HMENU>(::SendMessageA(menu, MN_GETHMENU, 0, 0));
    wchar_t text[MAX_PATH] = {};
    ::GetMenuStringW(shown, 0, text, MAX_PATH, MF_BYPOSITION);
    firstItem = text;
    EXPECT_TRUE(SaveScreenShot(nullptr, "toolbar_recent_menu_cp" + std::to_string(::GetACP()) + ".bmp"));
    ::PostMessageA(form.Handle(), WM_CANCELMODE, 0, 0);
  });
  menuUser.Start();
  ClickArrow(Form::btnOptions);
  PumpMessages(2500);
  menuUser.Finish();
  EXPECT_EQ(firstItem, AnsiToWide("&1 " + names.File));
  form.ClickMenuItem(Form::miCancel);

  // The recent archive, the folder (ending in "\\") and a target ending in
  // a character whose second byte may be 0x5C, as the new browser reads them.
  for (const std::string& target : {path, folder, FFolder.File(names.File)}) {
    form.OpenInNewWindow(target, false);
    ASSERT_FALSE(FServices->Launches.empty());
    EXPECT_EQ(ParsedArguments(FServices->Launches.back().Parameters), std::vector<std::wstring>{AnsiToWide(target)})
        << FServices->Launches.back().Parameters;
  }
}

TEST_F(ToolbarWindowTest, OwnYesOkBoxWhereThereIsNoTaskDialog) {
  // The longest question it asks: a save that names parts too large to keep.
  const std::string text = SuccessText("C:\\a b\\page.mht", 2);
  for (const char* answer : {"&Yes", "OK", ""}) {
    std::string shown;
    bool both = false;
    TUser user;
    user.Then("#32770", "Information", [&](HWND box) {
      shown = WindowText(ChildWithText(box, "Successfully"));
      both = ChildWithText(box, "&Yes") && ChildWithText(box, "OK");
      if (*answer == '\0') {
        EXPECT_TRUE(SaveScreenShot(box, "toolbar_yes_ok_box.bmp"));
        // The box's own area can come out black under Xvfb: the whole screen shows it.
        EXPECT_TRUE(SaveScreenShot(nullptr, "toolbar_yes_ok_screen.bmp"));
        ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);  // Escape or the close box
      } else {
        ::PostMessageA(ChildWithText(box, answer), BM_CLICK, 0, 0);
      }
    });
    user.Start();
    const bool yes = ShowYesOkBox(FHost->Handle(), text, "Information");
    user.Finish();
    EXPECT_EQ(yes, std::string(answer) == "&Yes") << answer;
    EXPECT_EQ(shown, text);
    EXPECT_TRUE(both);
  }
}

}  // namespace
}  // namespace tarvik::test
