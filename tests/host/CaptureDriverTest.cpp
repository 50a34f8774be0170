// How the capture driver finds and answers what the browser's thread shows:
// message boxes by the add-on's text and their buttons' identifiers (never
// their captions), the capture button in a toolbar.
#include <windows.h>
#include <commctrl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CaptureDriver.h"

namespace tarvik::host {
namespace {

using ::testing::StartsWith;

// Waits for the first dialog box of a thread.
HWND WaitForDialog(DWORD thread) {
  for (int i = 0; i < 200; ++i) {
    const std::vector<HWND> dialogs = ThreadDialogs(thread);
    if (!dialogs.empty()) return dialogs.front();
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return nullptr;
}

// A box on a thread of its own, its buttons captioned in another language
// as the system's boxes are under a Chinese locale.
class TForeignBox {
 public:
  TForeignBox(const std::wstring& text, UINT type) {
    FThread = std::thread([this, text, type] {
      FThreadId = ::GetCurrentThreadId();
      FAnswer = ::MessageBoxW(nullptr, text.c_str(), L"\x4FE1\x606F", type);
    });
    while (!FThreadId) std::this_thread::yield();
    FDialog = WaitForDialog(FThreadId);
    for (int i = 0; i < 100 && FDialog && DialogText(FDialog).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::pair<int, const wchar_t*> captions[] = {
        {IDYES, L"\x662F(&Y)"}, {IDNO, L"\x5426(&N)"}, {IDOK, L"\x78BA\x5B9A"}, {IDCANCEL, L"\x53D6\x6D88"}};
    for (const auto& [id, caption] : captions)
      if (HWND button = ::GetDlgItem(FDialog, id)) ::SetWindowTextW(button, caption);
  }
  ~TForeignBox() {
    if (FThread.joinable()) {
      if (FDialog) ::PostMessageW(FDialog, WM_CLOSE, 0, 0);
      FThread.join();
    }
  }
  HWND Dialog() const { return FDialog; }
  DWORD ThreadId() const { return FThreadId; }
  int Answer() {
    FThread.join();
    return FAnswer;
  }

 private:
  std::thread FThread;
  std::atomic<DWORD> FThreadId{0};
  std::atomic<int> FAnswer{0};
  HWND FDialog = nullptr;
};

TEST(CaptureDriver, AnswersTheSuccessBoxByItsTextAndButtonIdentifiers) {
  TForeignBox box(L"Successfully saved to C:\\a b.mht.\r\rDo you want to open it in a new window now?",
                  MB_YESNO | MB_ICONINFORMATION);
  ASSERT_NE(box.Dialog(), nullptr);
  const std::string text = DialogText(box.Dialog());
  // The text as one line; the box declined with No, as the driver answers the success box.
  EXPECT_THAT(text, StartsWith("Successfully saved to C:\\a b.mht.  Do you want"));
  EXPECT_EQ(ClassifyBox(box.Dialog(), text), TBoxKind::Success);
  EXPECT_TRUE(PressDialogButton(box.Dialog(), {IDOK, IDNO}));
  EXPECT_EQ(box.Answer(), IDNO);
  EXPECT_TRUE(ThreadDialogs(box.ThreadId()).empty());
}

TEST(CaptureDriver, TellsTheReplaceQuestionFromAnErrorInAnyLanguage) {
  {
    // "The file exists already. Replace it?" in Chinese.
    TForeignBox question(L"\x6587\x4EF6\x5DF2\x5B58\x5728\x3002\x8981\x66FF\x63DB\x55CE\xFF1F",
                         MB_YESNO | MB_ICONWARNING);
    ASSERT_NE(question.Dialog(), nullptr);
    EXPECT_EQ(ClassifyBox(question.Dialog(), DialogText(question.Dialog())), TBoxKind::ReplaceQuestion);
    EXPECT_TRUE(PressDialogButton(question.Dialog(), {IDYES}));
    EXPECT_EQ(question.Answer(), IDYES);
  }
  TForeignBox error(L"\x8DEF\x5F91\x7121\x6548", MB_OK | MB_ICONERROR);  // "invalid path"
  ASSERT_NE(error.Dialog(), nullptr);
  EXPECT_EQ(ClassifyBox(error.Dialog(), DialogText(error.Dialog())), TBoxKind::Other);
  // A button the box does not have is not pressed; the next one is.
  EXPECT_FALSE(PressDialogButton(error.Dialog(), {IDYES}));
  EXPECT_TRUE(PressDialogButton(error.Dialog(), {IDNO, IDOK}));
  EXPECT_EQ(error.Answer(), IDOK);
}

TEST(CaptureDriver, FindsTheCaptureButtonAmongTheToolbarsButtons) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
  ASSERT_TRUE(::InitCommonControlsEx(&controls));
  HWND area = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 400, 40, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(area, nullptr);
  HWND toolbar = ::CreateWindowExW(0, TOOLBARCLASSNAMEW, L"", WS_CHILD | TBSTYLE_LIST, 0, 0, 400, 30, area, nullptr,
                                   nullptr, nullptr);
  ASSERT_NE(toolbar, nullptr);
  ::SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  TBBUTTON buttons[2] = {};
  buttons[0] = {
      I_IMAGENONE, 7, TBSTATE_ENABLED, BTNS_BUTTON | BTNS_SHOWTEXT, {}, 0, reinterpret_cast<INT_PTR>(L"Help")};
  buttons[1] = {
      I_IMAGENONE, 9, TBSTATE_ENABLED, BTNS_CHECK | BTNS_SHOWTEXT, {}, 0, reinterpret_cast<INT_PTR>(L"&Tarvik")};
  ASSERT_TRUE(::SendMessageW(toolbar, TB_ADDBUTTONSW, 2, reinterpret_cast<LPARAM>(buttons)));

  const TCaptureButton found = FindCaptureButton(area);
  EXPECT_EQ(found.Toolbar, toolbar);
  EXPECT_EQ(found.Command, 9);
  EXPECT_FALSE(IsButtonChecked(found));
  ::SendMessageW(toolbar, TB_CHECKBUTTON, 9, TRUE);
  EXPECT_TRUE(IsButtonChecked(found));
  // A window without a toolbar has no capture button.
  EXPECT_EQ(FindCaptureButton(toolbar).Toolbar, nullptr);
  ::DestroyWindow(area);
}

}  // namespace
}  // namespace tarvik::host
