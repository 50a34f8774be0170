// How the capture driver finds and answers what the browser's thread shows:
// message boxes by their text and buttons, the capture button in a toolbar.
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

TEST(CaptureDriver, ReadsAndAnswersMessageBoxesOfAThread) {
  std::atomic<DWORD> thread{0};
  std::atomic<int> answer{0};
  std::thread box([&] {
    thread = ::GetCurrentThreadId();
    answer = ::MessageBoxW(nullptr, L"Successfully saved to C:\\a b.mht.\r\rDo you want to open it in a new window now?",
                           L"Information", MB_YESNO | MB_ICONINFORMATION);
  });
  while (!thread) std::this_thread::yield();
  HWND dialog = WaitForDialog(thread);
  ASSERT_NE(dialog, nullptr);
  // The text as one line; the box declined with No, as the driver answers the success box.
  for (int i = 0; i < 100 && DialogText(dialog).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_THAT(DialogText(dialog), StartsWith("Successfully saved to C:\\a b.mht.  Do you want"));
  EXPECT_TRUE(PressDialogButton(dialog, {L"OK", L"No"}, IDNO));
  box.join();
  EXPECT_EQ(answer, IDNO);
  EXPECT_TRUE(ThreadDialogs(thread).empty());
}

TEST(CaptureDriver, PressesTheFallbackButtonWhenNoCaptionMatches) {
  std::atomic<DWORD> thread{0};
  std::atomic<int> answer{0};
  std::thread box([&] {
    thread = ::GetCurrentThreadId();
    answer = ::MessageBoxW(nullptr, L"Something failed", L"Error", MB_OKCANCEL);
  });
  while (!thread) std::this_thread::yield();
  HWND dialog = WaitForDialog(thread);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(PressDialogButton(dialog, {L"Yes"}, IDCANCEL));
  box.join();
  EXPECT_EQ(answer, IDCANCEL);
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
  buttons[0] = {I_IMAGENONE, 7, TBSTATE_ENABLED, BTNS_BUTTON | BTNS_SHOWTEXT, {}, 0, reinterpret_cast<INT_PTR>(L"Help")};
  buttons[1] = {I_IMAGENONE, 9, TBSTATE_ENABLED, BTNS_CHECK | BTNS_SHOWTEXT, {}, 0, reinterpret_cast<INT_PTR>(L"&Tarvik")};
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
