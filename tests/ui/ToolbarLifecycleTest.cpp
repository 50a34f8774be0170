// The form's life, its recent lists and help menu, the first-run guide and
// the process-wide list of forms.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/ui/ToolbarFormTestSupport.h"

namespace tarvik::test {
namespace {

using Form = TTarvikToolbarForm;

TEST_F(ToolbarFormTest, MenusHoldTheirItemsInOrderAndState) {
  Form& form = NewForm();
  EXPECT_EQ(MenuTexts(form.CaptureMenu()), (std::vector<std::string>{"Cancel Capturing", "-", "Beep Notification"}));
  EXPECT_FALSE(form.MenuItemEnabled(Form::miCancel));
  EXPECT_EQ(MenuTexts(form.HelpMenu()),
            (std::vector<std::string>{"About...", "-", "Getting Started", "Online Help", "Online Forum",
                                      "Send Mail for Support", "More Online Support Info", "-", "Uninstall"}));
  EXPECT_FALSE(form.MenuItemEnabled(Form::miUninstall));  // no uninstaller beside the library
  EXPECT_EQ(MenuTexts(form.OptionsMenu()), (std::vector<std::string>{"-", "-", "My Web Archives"}));
  EXPECT_FALSE(form.MenuItemEnabled(Form::TBSubmenuItem1));
  EXPECT_EQ(form.Caption(), "");
}

TEST_F(ToolbarFormTest, RecentListsLoadAtShowAndTheirClicksOpenAndMove) {
  Ini().WriteString("MRU.RecentArchives", "MRU1", "");
  for (int i = 2; i <= 6; ++i)
    Ini().WriteString("MRU.RecentArchives", "MRU" + std::to_string(i), "C:\\a\\page" + std::to_string(i) + ".mht");
  Ini().WriteString("MRU.RecentArchives", "MRU7", "C:\\a\\page6.mht");  // duplicates load as they stand
  Ini().WriteString("MRU.SaveLocations", "MRU1", "C:\\a b\\");
  Form& form = NewForm();
  ASSERT_EQ(form.SavedArchives().Count(), 6u);
  EXPECT_EQ(form.SavedArchives().Items()[4], "C:\\a\\page6.mht");
  EXPECT_EQ(form.SavedArchives().Items()[5], "C:\\a\\page6.mht");
  const std::vector<std::string> menu = MenuTexts(form.OptionsMenu());
  ASSERT_EQ(menu.size(), 10u);
  EXPECT_EQ(menu[0], "&1 page2");
  EXPECT_EQ(menu[7], "&1 C:\\a b\\");
  EXPECT_EQ(menu[9], "My Web Archives");

  // The fifth archive: opened, moved to the top of the menu at once; the ini file keeps its order.
  form.ClickMenuItem(Form::mruiSavedArchivesFirst + 4);
  const std::string browser = ExeFolder() + "IEXPLORE.EXE";
  EXPECT_EQ(FServices->Launches.back(), (TLaunch{browser, "\"C:\\a\\page6.mht\"", ""}));
  EXPECT_EQ(MenuTexts(form.OptionsMenu())[0], "&1 page6");
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU6"), "C:\\a\\page6.mht");
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU2"), "C:\\a\\page2.mht");

  // A folder: opened, and the next dialog of this form only starts there.
  form.ClickMenuItem(Form::mruiRecentSaveFolderFirst);
  EXPECT_EQ(FServices->Launches.back(), (TLaunch{browser, "\"C:\\a b\\\\\"", ""}));
  EXPECT_EQ(form.LastSaveFolder(), "C:\\a b\\");
  VisitPage();
  form.ClickCapture();
  FServices->DialogAnswers.push_back(TScriptedUiServices::Cancelled());
  form.ClickCapture();
  EXPECT_EQ(FServices->DialogRequests.back().InitialFolder, "C:\\a b\\");
  Form other(FHost->Handle(), FServices);
  EXPECT_EQ(other.LastSaveFolder(), "");

  // Garbage and values of the profile functions' full length load unchanged.
  const std::string longValue = "C:\\" + std::string(2040, 'z') + ".mht";
  Ini().WriteString("MRU.RecentArchives", "MRU1", longValue);
  Ini().WriteString("MRU.RecentArchives", "garbage", "\x01\x02=");
  form.Show(false);
  form.Show(true);
  EXPECT_EQ(form.SavedArchives().Items().front(), longValue);
}

TEST_F(ToolbarFormTest, HelpLinksOpenOurAddresses) {
  Form& form = NewForm();
  form.ClickMenuItem(Form::miHelpOnline);
  form.ClickMenuItem(Form::miOnlineForum);
  form.ClickMenuItem(Form::miFeedbackMail);
  form.ClickMenuItem(Form::miSupportOnline);
  form.ClickMenuItem(Form::miAbout);
  const std::string browser = ExeFolder() + "IEXPLORE.EXE";
  ASSERT_EQ(FServices->Launches.size(), 4u);
  EXPECT_EQ(FServices->Launches[0].File, browser);
  EXPECT_EQ(FServices->Launches[0].Parameters.rfind("\"http://www.tarvik.com/", 0), 0u);
  EXPECT_EQ(FServices->Launches[1].File.rfind("news://", 0), 0u);
  EXPECT_EQ(FServices->Launches[2].File.rfind("mailto:", 0), 0u);
  EXPECT_EQ(FServices->Launches[3].File, browser);
  EXPECT_NE(FServices->Launches[3].Parameters, FServices->Launches[0].Parameters);
  EXPECT_EQ(FServices->AboutBoxes, 1);
}

TEST_F(ToolbarFormTest, GuideAndUninstallerAreOptionalFilesBesideTheLibrary) {
  Form& form = NewForm();
  form.ClickMenuItem(Form::tbiGettingStarted);
  EXPECT_TRUE(FServices->Launches.empty());  // no guide: nothing visible
  const std::string guide = FLibraryFolder.File("Getting Started.mht");
  WriteWholeFile(guide, "guide");
  form.ClickMenuItem(Form::tbiGettingStarted);
  ASSERT_EQ(FServices->Launches.size(), 1u);
  EXPECT_EQ(FServices->Launches[0].Parameters, "\"" + guide + "\"");

  // The uninstaller: enabled only when present at creation.
  const std::string uninstaller = FLibraryFolder.File("Uninstall.exe");
  WriteWholeFile(uninstaller, "MZ");
  Form withUninstaller(FHost->Handle(), FServices);
  EXPECT_TRUE(withUninstaller.MenuItemEnabled(Form::miUninstall));
  FServices->Launches.clear();
  for (int answer : {IDNO, IDCANCEL}) {
    FServices->MessageAnswers.push_back(answer);
    withUninstaller.ClickMenuItem(Form::miUninstall);
  }
  ASSERT_EQ(FServices->Messages.size(), 2u);  // no second box
  EXPECT_EQ(FServices->Messages[0].Text, "Are you sure to uninstall Tarvik Express?");
  EXPECT_EQ(FServices->Messages[0].Type, static_cast<UINT>(MB_YESNOCANCEL | MB_ICONQUESTION));
  EXPECT_TRUE(FServices->Launches.empty());

  FServices->MessageAnswers = {IDYES, IDOK};
  withUninstaller.ClickMenuItem(Form::miUninstall);
  ASSERT_EQ(FServices->Messages.size(), 4u);
  EXPECT_EQ(FServices->Messages[3].Text,
            "To avoid been prompted for a restart, close all your IE windows before uninstalling.");
  EXPECT_EQ(FServices->Messages[3].Type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
  EXPECT_EQ(FServices->Launches, (std::vector<TLaunch>{{uninstaller, "", FLibraryFolder.Path()}}));

  // Deleted after creation: still enabled, and a click does nothing.
  ::DeleteFileA(uninstaller.c_str());
  withUninstaller.ClickMenuItem(Form::miUninstall);
  EXPECT_TRUE(withUninstaller.MenuItemEnabled(Form::miUninstall));
  EXPECT_EQ(FServices->Messages.size(), 4u);
}

TEST_F(ToolbarFormTest, FirstRunGuideOpensOncePerProcessAndNeverFromTheGuide) {
  WriteWholeFile(FLibraryFolder.File("Getting Started.mht"), "guide");
  Ini().DeleteKey("OOBE", "ToolbarShowed");
  // A window that shows the guide itself does not open it again.
  FDocument->SetLocation(L"file:///C:/Program%20Files/Tarvik/Getting%20Started.mht");
  NewForm();
  EXPECT_TRUE(FServices->Launches.empty());

  FDocument->SetLocation(L"http://h/index.html");
  Form first(FHost->Handle(), FServices);
  first.SetWebBrowser(FBrowser.Get());
  first.Show(true);
  EXPECT_EQ(FServices->Launches.size(), 1u);
  // The ini file is never written (a folder the user may not write): still only once.
  Form second(FHost->Handle(), FServices);
  second.Show(true);
  first.Show(false);
  first.Show(true);
  EXPECT_EQ(FServices->Launches.size(), 1u);
  // A click always works.
  second.ClickMenuItem(Form::tbiGettingStarted);
  EXPECT_EQ(FServices->Launches.size(), 2u);
}

TEST_F(ToolbarFormTest, ToolbarFormsHoldsTheLiveFormsInCreationOrder) {
  const size_t before = ToolbarForms().Count();
  auto a = std::make_unique<Form>(FHost->Handle(), FServices);
  auto b = std::make_unique<Form>(FHost->Handle(), FServices);
  std::vector<Form*> snapshot = ToolbarForms().Snapshot();
  ASSERT_EQ(snapshot.size(), before + 2);
  EXPECT_EQ(snapshot[before], a.get());
  EXPECT_EQ(snapshot[before + 1], b.get());
  a.reset();
  EXPECT_EQ(ToolbarForms().Count(), before + 1);
  EXPECT_EQ(ToolbarForms().Snapshot().back(), b.get());

  // Forms of other browser windows come and go on their own threads while this one reads.
  std::atomic<int> created{0};
  std::vector<std::thread> windows;
  for (int t = 0; t < 2; ++t) {
    windows.emplace_back([&] {
      ScopedComInit com;
      THostWindow host("other window");
      for (int i = 0; i < 20; ++i) {
        Form form(host.Handle(), FServices);
        ++created;
      }
    });
  }
  while (created < 40) {
    ToolbarForms().WithLock([&](const std::vector<Form*>& forms) {
      for (Form* form : forms) EXPECT_NE(form, nullptr);
    });
    EXPECT_GE(ToolbarForms().Count(), before + 1);
  }
  for (std::thread& t : windows) t.join();
  EXPECT_EQ(ToolbarForms().Count(), before + 1);
  b.reset();
  EXPECT_EQ(ToolbarForms().Count(), before);
}

}  // namespace
}  // namespace tarvik::test
