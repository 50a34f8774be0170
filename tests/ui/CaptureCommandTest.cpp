// The capture button's two clicks, the save and its failures, on a real form
// with a real runtime, store and ini file.
#include <windows.h>
#include <commdlg.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "framework/WinText.h"
#include "support/TraceRecorder.h"
#include "support/ui/ToolbarFormTestSupport.h"

namespace tarvik::test {
namespace {

using Form = TTarvikToolbarForm;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void ExpectIdle(const Form& form) {
  EXPECT_FALSE(form.CaptureChecked());
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::IdleFace);
  EXPECT_FALSE(form.TimerEnabled());
  EXPECT_FALSE(form.MenuItemEnabled(Form::miCancel));
}

void ExpectCapturing(const Form& form) {
  EXPECT_TRUE(form.CaptureChecked());
  EXPECT_TRUE(form.TimerEnabled());
  EXPECT_TRUE(form.MenuItemEnabled(Form::miCancel));
  EXPECT_GT(form.CaptureMark(), 0);
}

// The files of a folder, names only.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  UniqueFindHandle find(::FindFirstFileA((folder + "*").c_str(), &found));
  if (!find) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (::FindNextFileA(find.Get(), &found));
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ToolbarFormTest, FullCaptureWritesTheArchiveReportsAndRemembersIt) {
  Form& form = NewForm();
  ExpectIdle(form);
  VisitPage();

  form.ClickCapture();
  ExpectCapturing(form);
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::ActiveFace);
  const int32_t mark = form.CaptureMark();

  const std::string path = FFolder.File("My Page.mht");
  FServices->DialogAnswers.push_back(TScriptedUiServices::Chosen(path));
  FServices->SuccessAnswers.push_back(false);  // OK
  form.ClickCapture();

  ASSERT_TRUE(FServices->Errors.empty()) << FServices->Errors.front();
  ASSERT_EQ(FServices->DialogRequests.size(), 1u);
  const TSaveDialogRequest& request = FServices->DialogRequests[0];
  EXPECT_EQ(request.Title, "Save Web Archive To");
  constexpr char filter[] = "Web Archive, single file (.mht)\0*.mht\0Email Archive, single file (.eml)\0*.eml\0";
  EXPECT_EQ(request.Filter, std::string(filter, sizeof filter - 1));
  EXPECT_EQ(request.FilterIndex, 1);
  EXPECT_EQ(request.DefaultExt, "mht");
  EXPECT_EQ(request.InitialFolder, "");
  EXPECT_EQ(request.Flags & (OFN_OVERWRITEPROMPT | OFN_NOREADONLYRETURN | OFN_ENABLESIZING),
            static_cast<DWORD>(OFN_OVERWRITEPROMPT | OFN_NOREADONLYRETURN | OFN_ENABLESIZING));

  const std::string archive = ReadWholeFile(path);
  EXPECT_TRUE(Contains(archive, "Subject: My Page\r\n"));
  EXPECT_TRUE(Contains(archive, "Content-Location: http://h/index.html\r\n"));
  EXPECT_TRUE(Contains(archive, "Content-Location: http://h/logo.png\r\n"));
  EXPECT_TRUE(Contains(archive, "Content-Type: image/png"));
  EXPECT_EQ(FilesIn(FFolder.Path()), (std::vector<std::string>{"My Page.mht", "Tarvik.ini"}));

  ASSERT_EQ(FServices->SuccessTexts.size(), 1u);
  EXPECT_EQ(FServices->SuccessTexts[0],
            "Successfully saved to " + path + ".\r\rDo you want to open it in a new window now?");
  EXPECT_TRUE(FServices->Launches.empty());  // OK opens nothing

  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU1"), path);
  EXPECT_EQ(IniValue("MRU.SaveLocations", "MRU1"), FFolder.Path());
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU2"), "<missing>");
  // The save folders are stored first: their section comes first in a new file.
  const std::string ini = ReadWholeFile(FFolder.File("Tarvik.ini"));
  ASSERT_NE(ini.find("[MRU.RecentArchives]"), std::string::npos) << ini;
  EXPECT_LT(ini.find("[MRU.SaveLocations]"), ini.find("[MRU.RecentArchives]")) << ini;
  EXPECT_EQ(form.SavedArchives().Items(), std::vector<std::string>{path});
  ExpectIdle(form);
  EXPECT_EQ(form.CaptureMark(), mark);  // a completed save keeps the mark

  // A second save puts the new archive on top of both sections.
  const std::string other = FFolder.File("Other.eml");
  CaptureAndSave(other);
  EXPECT_EQ(FServices->DialogRequests[1].FileName, path);  // the dialog kept the previous path
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU1"), other);
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU2"), path);
  EXPECT_EQ(IniValue("MRU.SaveLocations", "MRU2"), "<missing>");  // same folder once
}

TEST_F(ToolbarFormTest, YesOpensTheArchiveInANewBrowserWithTheTargetQuoted) {
  NewForm();
  VisitPage();
  const std::string path = FFolder.File("two words.mht");
  CaptureAndSave(path, true);
  ASSERT_EQ(FServices->Launches.size(), 1u);
  EXPECT_EQ(FServices->Launches[0], (TLaunch{ExeFolder() + "IEXPLORE.EXE", "\"" + path + "\"", ""}));
  // The file is complete and closed when the new window may read it.
  UniqueHandle reader(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(reader.Valid());
}

TEST_F(ToolbarFormTest, TheBrowserReadsBackTheExactTarget) {
  Form& form = NewForm();
  for (const std::string target : {"C:\\a b\\", "C:\\a b\\\\", "\\\\server\\share\\", "C:\\a b\\x.mht"}) {
    form.OpenInNewWindow(target, false);
    ASSERT_FALSE(FServices->Launches.empty());
    EXPECT_EQ(ParsedArguments(FServices->Launches.back().Parameters), std::vector<std::wstring>{AnsiToWide(target)})
        << FServices->Launches.back().Parameters;
  }
}

// Notes, when the success box shows and when the browser is launched,
// whether the archive is complete in its place: it opens without sharing
// (closed), holds its last part, and no work file is left beside it.
class TArchiveWatchingServices final : public TScriptedUiServices {
 public:
  using TScriptedUiServices::TScriptedUiServices;
  bool AskOpenSavedArchive(HWND owner, const std::string& text) override {
    Seen.push_back("box: " + State());
    return TScriptedUiServices::AskOpenSavedArchive(owner, text);
  }
  void ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory) override {
    Seen.push_back("launch: " + State());
    TScriptedUiServices::ShellOpen(file, parameters, directory);
  }
  std::string Path, Folder;
  std::vector<std::string> Seen;

 private:
  std::string State() const {
    UniqueHandle file(::CreateFileA(Path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "not closed or not there";
    file.Reset();
    if (!Contains(ReadWholeFile(Path), "Content-Location: http://h/logo.png")) return "incomplete";
    for (const std::string& name : FilesIn(Folder))
      if (name != "Tarvik.ini" && Folder + name != Path) return "work file " + name;
    return "in place";
  }
};

TEST_F(ToolbarFormTest, TheArchiveIsInPlaceBeforeTheBoxAndTheNewWindow) {
  auto watching = std::make_shared<TArchiveWatchingServices>(FLibraryFolder.Path());
  FServices = watching;
  NewForm();
  VisitPage();
  watching->Path = FFolder.File("watched.mht");
  watching->Folder = FFolder.Path();
  CaptureAndSave(watching->Path, true);
  EXPECT_EQ(watching->Seen, (std::vector<std::string>{"box: in place", "launch: in place"}));
}

TEST_F(ToolbarFormTest, TheBlinkTimerStopsAfterCancelAndAfterASave) {
  Form& form = NewForm();
  VisitPage();
  form.ClickCapture();
  form.ClickMenuItem(Form::miCancel);
  FServices->Beeps.clear();
  PumpMessages(1300);  // the window's own timer would have ticked
  EXPECT_TRUE(FServices->Beeps.empty());
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::IdleFace);

  CaptureAndSave(FFolder.File("a.mht"));
  FServices->Beeps.clear();
  PumpMessages(1300);
  EXPECT_TRUE(FServices->Beeps.empty());
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::IdleFace);
}

TEST_F(ToolbarFormTest, OpenInNewWindowChoosesShellOrBrowser) {
  Form& form = NewForm();
  form.OpenInNewWindow("mailto:a@b", true);
  form.OpenInNewWindow("C:\\a b\\x.mht", false);
  FDocument->SetLocation(L"about:blank");
  form.OpenInNewWindow("C:\\a b\\x.mht", false);
  FDocument->SetLocationResult(E_FAIL);  // a failed probe is not blank
  form.OpenInNewWindow("http://h/", false);
  form.SetWebBrowser(nullptr);
  form.OpenInNewWindow("http://h/\"q\"", false);
  const std::string browser = ExeFolder() + "IEXPLORE.EXE";
  EXPECT_EQ(FServices->Launches, (std::vector<TLaunch>{{"mailto:a@b", "", ""},
                                                       {browser, "\"C:\\a b\\x.mht\"", ""},
                                                       {"C:\\a b\\x.mht", "", ""},
                                                       {browser, "\"http://h/\"", ""},
                                                       {browser, "\"http://h/%22q%22\"", ""}}));
}

TEST_F(ToolbarFormTest, EmptyUrlListEndsSilentlyInIdle) {
  Form& form = NewForm();
  form.ClickCapture();  // no navigation before the mark
  form.ClickCapture();
  EXPECT_TRUE(FServices->DialogRequests.empty());
  EXPECT_TRUE(FServices->Messages.empty());
  EXPECT_TRUE(FServices->Errors.empty());
  ExpectIdle(form);
}

TEST_F(ToolbarFormTest, CancelledDialogResumesTheCaptureWithTheSameMark) {
  Form& form = NewForm();
  VisitPage();
  form.ClickCapture();
  const int32_t mark = form.CaptureMark();
  FServices->DialogAnswers.push_back(TScriptedUiServices::Cancelled());
  form.ClickCapture();
  ExpectCapturing(form);
  EXPECT_EQ(form.CaptureMark(), mark);
  EXPECT_TRUE(FServices->Errors.empty());

  // A dialog that fails is told from a cancel: an error box, the capture goes on.
  FServices->DialogAnswers.push_back({TDialogOutcome::Failed, {}, 1, 0xFFFF});  // CDERR_DIALOGFAILURE
  form.ClickCapture();
  ExpectCapturing(form);
  ASSERT_EQ(FServices->Errors.size(), 1u);
  EXPECT_TRUE(Contains(FServices->Errors[0], "save dialog failed")) << FServices->Errors[0];

  // The next click opens the dialog again and saves from the same mark.
  FServices->DialogAnswers.push_back(TScriptedUiServices::Chosen(FFolder.File("a.mht")));
  FServices->SuccessAnswers.push_back(false);
  form.ClickCapture();
  EXPECT_EQ(FServices->DialogRequests.size(), 3u);
  EXPECT_TRUE(FileExists(FFolder.File("a.mht")));
  ExpectIdle(form);
}

TEST_F(ToolbarFormTest, CancelCapturingReturnsToIdle) {
  Form& form = NewForm();
  form.ClickCapture();
  ASSERT_TRUE(form.TimerEnabled());
  form.ClickMenuItem(Form::miCancel);
  ExpectIdle(form);
  EXPECT_EQ(form.CaptureMark(), 0);
  // A disabled item has no click: nothing changes.
  form.ClickMenuItem(Form::miCancel);
  ExpectIdle(form);
}

TEST_F(ToolbarFormTest, TimerBlinksAndBeepsByThePreference) {
  Form& form = NewForm();
  form.ClickCapture();
  // The real timer: one tick after a second.
  PumpMessages(1300);
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::IdleFace);
  ASSERT_EQ(FServices->Beeps.size(), 1u);
  EXPECT_EQ(FServices->Beeps[0], (std::pair<DWORD, DWORD>{8000, 25}));

  struct Case {
    const char* Value;  // nullptr: no key
    bool Beeps;
  };
  for (const Case& c : {Case{"False", false}, Case{"fALSE", false}, Case{"0", false}, Case{"yes", true},
                        Case{"True", true}, Case{"2", true}, Case{nullptr, true}}) {
    if (c.Value)
      Ini().WriteString("Preferences", "BeepNotification", c.Value);
    else
      Ini().DeleteKey("Preferences", "BeepNotification");
    FServices->Beeps.clear();
    const int face = form.CaptureFace();
    form.Timer1Timer();
    EXPECT_EQ(FServices->Beeps.size(), c.Beeps ? 1u : 0u) << (c.Value ? c.Value : "missing");
    EXPECT_EQ(form.CaptureFace(), 1 - face);
  }
}

TEST_F(ToolbarFormTest, BeepNotificationItemWritesThePreferenceAndFollowsIt) {
  Form& form = NewForm();
  EXPECT_TRUE(form.MenuItemChecked(Form::TBItem10));  // no key: on
  form.ClickMenuItem(Form::TBItem10);
  EXPECT_FALSE(form.MenuItemChecked(Form::TBItem10));
  EXPECT_EQ(IniValue("Preferences", "BeepNotification"), "False");
  FServices->Beeps.clear();
  form.Timer1Timer();
  EXPECT_TRUE(FServices->Beeps.empty());

  // A new window shows the stored preference.
  Form second(FHost->Handle(), FServices);
  EXPECT_FALSE(second.MenuItemChecked(Form::TBItem10));
  second.ClickMenuItem(Form::TBItem10);
  EXPECT_TRUE(second.MenuItemChecked(Form::TBItem10));
  EXPECT_EQ(IniValue("Preferences", "BeepNotification"), "True");

  // An ini file that cannot be written: the error is shown and the mark stays as stored.
  TScopedSettings unwritable(FFolder.File("no such folder\\Tarvik.ini"));
  second.ClickMenuItem(Form::TBItem10);
  ASSERT_EQ(FServices->Errors.size(), 1u);
  EXPECT_TRUE(Contains(FServices->Errors[0], "no such folder")) << FServices->Errors[0];
  EXPECT_TRUE(second.MenuItemChecked(Form::TBItem10));
}

class ProposedNameTest : public ToolbarFormTest {
 protected:
  // The file name the save dialog was given, after one capture.
  std::string Proposed() {
    if (!FForm) NewForm();
    FServices->DialogRequests.clear();
    FForm->ClickCapture();
    FServices->DialogAnswers.push_back(TScriptedUiServices::Cancelled());
    FForm->ClickCapture();
    FForm->ClickMenuItem(TTarvikToolbarForm::miCancel);
    return FServices->DialogRequests.empty() ? "<no dialog>" : FServices->DialogRequests.back().FileName;
  }
  size_t FetchFailures() {
    size_t n = 0;
    for (const TraceLine& line : FTrace.Lines())
      if (line.Source == "Save MHTML" && line.Message == "EXCEPTION: Fetch selected text." && line.Extra == 0 &&
          line.Level == 50)
        ++n;
    return n;
  }
  void SetUp() override {
    ToolbarFormTest::SetUp();
    VisitPage();
  }
  TraceRecorder FTrace;
};

TEST_F(ProposedNameTest, FromTheSelectionOrTheTitle) {
  FDocument->SetTitle(L"Title");
  FDocument->SetSelectedText(L"  two  words \t\r\n ");
  EXPECT_EQ(Proposed(), "two  words.mht");
  FDocument->SetSelectedText(L"a\tb\r\nc\x1b\x1f\x00e9");
  EXPECT_EQ(Proposed(), std::string("a_b__c__\xe9.mht"));
  // A title the platform keeps for a device would make the save fail after the composition.
  FDocument->SetSelectedText(L"");
  FDocument->SetTitle(L"com1");
  EXPECT_EQ(Proposed(), "com1_.mht");
  FDocument->SetSelectedText(L" \r\n");
  FDocument->SetTitle(L"News: a/b?");
  EXPECT_EQ(Proposed(), "News_ a_b_.mht");
  EXPECT_EQ(FetchFailures(), 0u);
}

TEST_F(ProposedNameTest, FailedFetchesTraceAndKeepThePreviousName) {
  FDocument->SetTitle(L"Title");
  FDocument->Selection().SelectsObject = true;  // no text: the title is not tried
  EXPECT_EQ(Proposed(), "");
  EXPECT_EQ(FetchFailures(), 1u);

  FDocument->Selection().SelectsObject = false;
  FDocument->Selection().TextResult = E_ACCESSDENIED;
  EXPECT_EQ(Proposed(), "");
  FDocument->Selection().TextResult = S_OK;
  FDocument->SetTitleResult(E_FAIL);
  EXPECT_EQ(Proposed(), "");
  FDocument->SetTitleResult(S_OK);
  FDocument->SetSelectionResult(E_FAIL);
  EXPECT_EQ(Proposed(), "");
  EXPECT_EQ(FetchFailures(), 4u);

  // A document that is not HTML: a failed fetch, and the save goes on.
  FBrowser->SetDocument(TFakePlainDocument::Create().Get());
  EXPECT_EQ(Proposed(), "");
  EXPECT_EQ(FetchFailures(), 5u);

  // No document, no browser: no name and no trace line.
  FBrowser->SetDocument(nullptr);
  EXPECT_EQ(Proposed(), "");
  FForm->SetWebBrowser(nullptr);
  EXPECT_EQ(Proposed(), "");
  EXPECT_EQ(FetchFailures(), 5u);
}

TEST_F(ProposedNameTest, DialogKeepsTheLastPathWhenNothingIsProposed) {
  NewForm();
  FDocument->SetSelectedText(L"first");
  const std::string path = FFolder.File("chosen.mht");
  CaptureAndSave(path);
  FDocument->SetSelectedText(L"");
  FDocument->SetTitle(L"");
  EXPECT_EQ(Proposed(), path);
}

TEST_F(ProposedNameTest, ALongSelectionIsCutToFitTheDialog) {
  FDocument->SetSelectedText(std::wstring(10000, L'x'));
  const std::string name = Proposed();
  ASSERT_GE(name.size(), 5u);
  EXPECT_LT(name.size(), TTarvikToolbarForm::SaveDialogBufferChars);
  EXPECT_EQ(name.substr(name.size() - 4), ".mht");
  EXPECT_EQ(name.find_first_not_of('x'), name.size() - 4);
  // Text the code page cannot represent: "?" then "_", never a crash.
  FDocument->SetSelectedText(L"\x4e2d\x6587 text");
  const std::string foreign = Proposed();
  EXPECT_TRUE(Contains(foreign, " text.mht")) << foreign;
  EXPECT_EQ(foreign.find('?'), std::string::npos);
}

TEST_F(ToolbarFormTest, TwoDotsKeepTheFirstDotInTheTitle) {
  NewForm();
  VisitPage();
  const std::string path = FFolder.File("v1.2.mht");
  CaptureAndSave(path);
  EXPECT_TRUE(Contains(ReadWholeFile(path), "Subject: v1.2\r\n"));
  EXPECT_EQ(FServices->SuccessTexts.at(0),
            "Successfully saved to " + path + ".\r\rDo you want to open it in a new window now?");

  const std::string bare = FFolder.File("noext");
  CaptureAndSave(bare);
  EXPECT_FALSE(Contains(ReadWholeFile(bare), "Subject:"));
}

TEST_F(ToolbarFormTest, AFileThatCannotBeCreatedShowsTheErrorAndChangesNothing) {
  Form& form = NewForm();
  VisitPage();
  const std::string path = FFolder.File("no such folder\\page.mht");
  form.ClickCapture();
  FServices->DialogAnswers.push_back(TScriptedUiServices::Chosen(path));
  form.ClickCapture();
  ASSERT_EQ(FServices->Errors.size(), 1u);
  EXPECT_TRUE(Contains(FServices->Errors[0], path)) << FServices->Errors[0];
  EXPECT_TRUE(FServices->SuccessTexts.empty());
  EXPECT_EQ(form.SavedArchives().Count(), 0u);
  EXPECT_EQ(IniValue("MRU.RecentArchives", "MRU1"), "<missing>");
  // The state of a failed save.
  EXPECT_FALSE(form.CaptureChecked());
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::ActiveFace);
  EXPECT_FALSE(form.TimerEnabled());
  EXPECT_TRUE(form.MenuItemEnabled(Form::miCancel));
  // The next click starts a new capture.
  form.ClickCapture();
  ExpectCapturing(form);
}

TEST_F(ToolbarFormTest, AFailureWithoutADescriptionNeverShowsAnEarlierCallsReason) {
  Form& form = NewForm();
  VisitPage();
  form.ClickCapture();
  // A description left on the thread by an earlier call, then a composer
  // failure that sets none (no store to read).
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(::CreateErrorInfo(create.Put()), S_OK);
  create->SetDescription(const_cast<LPOLESTR>(L"stale reason of the document"));
  ::SetErrorInfo(0, create.As<IErrorInfo>().Get());
  std::unique_ptr<TTarvikDataBuffer> store = std::move(TarvikDataBuffer);
  FServices->DialogAnswers.push_back(TScriptedUiServices::Chosen(FFolder.File("page.mht")));
  form.ClickCapture();
  TarvikDataBuffer = std::move(store);
  ASSERT_EQ(FServices->Errors.size(), 1u);
  EXPECT_FALSE(Contains(FServices->Errors[0], "stale reason")) << FServices->Errors[0];
  EXPECT_TRUE(Contains(FServices->Errors[0], "0x8000FFFF")) << FServices->Errors[0];
}

// Both clicks of a capture whose save fails at path, where an earlier archive
// stands: one error box (its text returned), no success box, the earlier
// archive untouched.
std::string SaveThatFails(Form& form, const std::string& path, TScriptedUiServices& services) {
  WriteWholeFile(path, "the earlier archive");
  form.ClickCapture();
  services.DialogAnswers.push_back(TScriptedUiServices::Chosen(path));
  form.ClickCapture();
  EXPECT_EQ(services.Errors.size(), 1u);
  EXPECT_TRUE(services.SuccessTexts.empty());
  EXPECT_EQ(ReadWholeFile(path), "the earlier archive");
  return services.Errors.empty() ? std::string() : services.Errors[0];
}

TEST_F(ToolbarFormTest, AFailedCompositionKeepsTheEarlierArchiveAndLeavesNoPartialFile) {
  Form& form = NewForm();
  VisitPage();
  // The image's cache file exists but cannot be read while the test holds it.
  const std::string cache = FFolder.File("logo.png");
  WriteWholeFile(cache, "cached");
  TarvikDataBuffer->GetURLContent("http://h/logo.png")->SetLocalFilename(cache);
  UniqueHandle locked(::CreateFileA(cache.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(locked.Valid());

  const std::string path = FFolder.File("kept.mht");
  EXPECT_TRUE(Contains(SaveThatFails(form, path, *FServices), path));
  EXPECT_EQ(FilesIn(FFolder.Path()), (std::vector<std::string>{"Tarvik.ini", "kept.mht", "logo.png"}));

  // Once the cache file can be read, the same name is replaced by a whole archive.
  locked.Reset();
  CaptureAndSave(path);
  EXPECT_TRUE(Contains(ReadWholeFile(path), "Content-Location: http://h/logo.png"));
  EXPECT_EQ(FilesIn(FFolder.Path()).size(), 3u);
}

TEST_F(ToolbarFormTest, APageWhoseOwnBytesWereNotCapturedIsNotSavedAsASuccess) {
  Form& form = NewForm();
  VisitPage("http://h/still-loading.html");
  TarvikDataBuffer->GetURLContent("http://h/still-loading.html")->SetContent(std::string(), 0);
  EXPECT_TRUE(Contains(SaveThatFails(form, FFolder.File("kept.mht"), *FServices), "The page itself was not captured"));
  EXPECT_EQ(form.SavedArchives().Count(), 0u);
}

TEST_F(ToolbarFormTest, WithoutARuntimeTheCommandIsInert) {
  Form& form = NewForm();
  TScopedRuntime none(nullptr);
  form.ClickCapture();
  // Not even the first click blinks or beeps.
  ExpectIdle(form);
  PumpMessages(1300);
  EXPECT_EQ(form.CaptureFace(), TTarvikToolbarForm::IdleFace);
  EXPECT_TRUE(FServices->Beeps.empty());
  form.ClickCapture();
  EXPECT_TRUE(FServices->DialogRequests.empty());
  EXPECT_TRUE(FServices->Errors.empty());
  ExpectIdle(form);
}

}  // namespace
}  // namespace tarvik::test
