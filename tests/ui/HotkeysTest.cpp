// The global hot key with real browser windows: bands in windows of one
// thread, and windows on threads of their own receiving Ctrl+W pressed
// through the X server.
#include "ui/Hotkeys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "browser/CoTarvikToolbar.h"
#include "support/browser/FakeBrowser.h"
#include "support/browser/RecordingRuntime.h"
#include "support/ui/ScriptedUiServices.h"
#include "support/ui/ToolbarFormTestSupport.h"
#include "ui/FormTarvikToolbar.h"

namespace tarvik {
namespace {

constexpr char kAtomName[] = "TarvikAction.TVK";
constexpr UINT kRunOnThread = WM_APP + 0x2F0;

// WM_HOTKEY messages each form window received, counted before the form
// handles them.
class THotkeyCounter {
 public:
  THotkeyCounter() {
    TTarvikToolbarForm::SetMessageHook(
        [this](TTarvikToolbarForm& form, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT&) {
          if (msg == WM_HOTKEY) {
            std::lock_guard lock(FLock);
            ++FCounts[form.Handle()];
            FLast[form.Handle()] = {wParam, lParam};
          }
          return false;
        });
  }
  ~THotkeyCounter() { TTarvikToolbarForm::SetMessageHook({}); }
  int Count(HWND form) const {
    std::lock_guard lock(FLock);
    const auto found = FCounts.find(form);
    return found == FCounts.end() ? 0 : found->second;
  }
  // The parameters of the last WM_HOTKEY the form's window received.
  std::pair<WPARAM, LPARAM> Last(HWND form) const {
    std::lock_guard lock(FLock);
    const auto found = FLast.find(form);
    return found == FLast.end() ? std::pair<WPARAM, LPARAM>{} : found->second;
  }

 private:
  mutable std::mutex FLock;
  std::map<HWND, int> FCounts;
  std::map<HWND, std::pair<WPARAM, LPARAM>> FLast;
};

// Each thread's forms answer from their own script.
thread_local std::shared_ptr<test::TScriptedUiServices> GThreadServices;

// Waits up to ms for done(), handling this thread's messages meanwhile.
bool WaitFor(const std::function<bool()>& done, DWORD ms = 5000) {
  const DWORD end = ::GetTickCount() + ms;
  while (!done()) {
    if (static_cast<LONG>(end - ::GetTickCount()) <= 0) return false;
    test::PumpMessages(20);
  }
  return true;
}

// Work handed to a window's thread.
struct TTask {
  const std::function<void()>* Action;
  std::atomic<bool> Done{false};
};

// A browser window on a thread of its own: a visible top-level window, the
// stand-in browser and its site, and a band sited there and shown.
class TBrowserWindowThread {
 public:
  explicit TBrowserWindowThread(std::string title) : FTitle(std::move(title)) {
    UniqueHandle ready(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    FThread = std::thread([this, event = ready.Get()] { Main(event); });
    ::WaitForSingleObject(ready.Get(), 10000);
  }
  ~TBrowserWindowThread() {
    Close();
    ::PostThreadMessageA(FThreadId, WM_QUIT, 0, 0);
    FThread.join();
  }
  TBrowserWindowThread(const TBrowserWindowThread&) = delete;
  TBrowserWindowThread& operator=(const TBrowserWindowThread&) = delete;

  HWND Window() const noexcept { return FWindow; }
  HWND FormWindow() const noexcept { return FFormWindow; }

  // Runs action on the window's thread and waits for it.
  void Run(const std::function<void()>& action) {
    TTask task{&action};
    ASSERT_TRUE(::PostThreadMessageA(FThreadId, kRunOnThread, 0, reinterpret_cast<LPARAM>(&task)));
    ASSERT_TRUE(WaitFor([&] { return task.Done.load(); }, 20000));
  }
  bool CaptureChecked() {
    bool checked = false;
    Run([&] { checked = FBand && FBand->Form() && FBand->Form()->CaptureChecked(); });
    return checked;
  }
  // The band closes, loses its site and goes; then the window goes.
  void Close() {
    if (!FWindow) return;
    Run([this] {
      FBand->CloseDW(0);
      FBand->SetSite(nullptr);
      FBand = nullptr;
      FSite = nullptr;
      FHost.reset();
    });
    FWindow = nullptr;
  }

 private:
  void Main(HANDLE ready) {
    ScopedComInit com;
    MSG msg;
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue
    FThreadId = ::GetCurrentThreadId();
    GThreadServices = std::make_shared<test::TScriptedUiServices>();
    FHost = std::make_unique<test::THostWindow>(FTitle.c_str());
    FWindow = FHost->Handle();
    FBrowser = test::TFakeWebBrowser::Create();
    FSite = test::TFakeSite::Create(FBrowser.Get(), FWindow);
    ComPtr<IObjectWithSite> band;
    TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, band.PutVoid());
    FBand = static_cast<TTarvikToolbar*>(band.Get());
    if (FBand && SUCCEEDED(FBand->SetSite(FSite->Identity()))) {
      FBand->ShowDW(TRUE);
      FFormWindow = FBand->Form()->Handle();
    }
    ::SetEvent(ready);
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      if (!msg.hwnd && msg.message == kRunOnThread) {
        auto* task = reinterpret_cast<TTask*>(msg.lParam);
        (*task->Action)();
        task->Done = true;
        continue;
      }
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    FBand = nullptr;
    FSite = nullptr;
    FBrowser = nullptr;
    FHost.reset();
    GThreadServices.reset();
  }

  std::string FTitle;
  std::thread FThread;
  DWORD FThreadId = 0;
  HWND FWindow = nullptr;
  HWND FFormWindow = nullptr;
  std::unique_ptr<test::THostWindow> FHost;
  ComPtr<test::TFakeWebBrowser> FBrowser;
  ComPtr<test::TFakeSite> FSite;
  ComPtr<TTarvikToolbar> FBand;
};

// Runs a program of the machine beside Wine (xdotool) with the test's display.
void RunUnixProgram(const std::string& commandLine) {
  std::string line = commandLine;
  STARTUPINFOA startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      << commandLine;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, 10000);
}

// Gives window the X input focus, as a user's click would, and waits until
// the platform reports it in the foreground. Without a window manager, the
// focus-out of another thread's window can race the focus-in and leave no
// foreground window; the platform's own call then settles it (the keys
// still come from the X server).
void BringToFront(HWND window) {
  const auto xid = reinterpret_cast<UINT_PTR>(::GetPropA(window, "__wine_x11_whole_window"));
  ASSERT_NE(xid, 0u) << "no X window";
  RunUnixProgram("Z:\\usr\\bin\\xdotool windowfocus --sync " + std::to_string(xid));
  if (!WaitFor([&] { return ::GetForegroundWindow() == window; }, 1000)) ::SetForegroundWindow(window);
  ASSERT_TRUE(WaitFor([&] { return ::GetForegroundWindow() == window; })) << "window not in front";
}

void PressCtrlW() { RunUnixProgram("Z:\\usr\\bin\\xdotool key ctrl+w"); }

class HotkeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(FCom.Result()));
    ASSERT_EQ(::GlobalFindAtomA(kAtomName), 0) << "another program holds the hot key's atom";
    FSettings.Ini().WriteString("OOBE", "ToolbarShowed", "Yes");
    TTarvikToolbar::SetFormFactory(
        [](HWND parent) { return std::make_unique<TTarvikToolbarForm>(parent, GThreadServices); });
  }
  void TearDown() override {
    TTarvikToolbar::SetFormFactory({});
    EXPECT_EQ(ToolbarForms().Count(), 0u);
    EXPECT_EQ(::GlobalFindAtomA(kAtomName), 0);
  }

  ScopedComInit FCom;
  test::TempFolder FFolder;
  test::TScopedSettings FSettings{FFolder.File("Tarvik.ini")};
  // The browser's process has a runtime; without one the capture button does nothing.
  ComPtr<test::TRecordingRuntime> FRuntime = test::TRecordingRuntime::Create();
  test::TScopedRuntime FScope{FRuntime.Get()};
  THotkeyCounter FHotkeys;
};

// Whether another window may take Ctrl+W now (the platform refuses a
// combination that is registered already).
bool CtrlWIsFree() {
  if (!::RegisterHotKey(nullptr, 0xBFF0, MOD_CONTROL, 0x57)) return false;
  ::UnregisterHotKey(nullptr, 0xBFF0);
  return true;
}

TEST_F(HotkeyTest, EveryBandHoldsItsOwnAtomReferenceAndTheKeyMovesToTheNextFirstForm) {
  GThreadServices = std::make_shared<test::TScriptedUiServices>();
  // Another band (of this or another process) made the atom first.
  const ATOM foreign = ::GlobalAddAtomA(kAtomName);
  ASSERT_NE(foreign, 0);

  test::THostWindow firstWindow("First"), secondWindow("Second");
  ComPtr<test::TFakeWebBrowser> browser = test::TFakeWebBrowser::Create();
  ComPtr<test::TFakeSite> firstSite = test::TFakeSite::Create(browser.Get(), firstWindow.Handle());
  ComPtr<test::TFakeSite> secondSite = test::TFakeSite::Create(browser.Get(), secondWindow.Handle());
  ComPtr<IObjectWithSite> first, second;
  ASSERT_EQ(TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, first.PutVoid()), S_OK);
  ASSERT_EQ(TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, second.PutVoid()), S_OK);
  auto* firstBand = static_cast<TTarvikToolbar*>(first.Get());
  auto* secondBand = static_cast<TTarvikToolbar*>(second.Get());
  ASSERT_EQ(first->SetSite(firstSite->Identity()), S_OK);
  ASSERT_EQ(second->SetSite(secondSite->Identity()), S_OK);
  ASSERT_EQ(firstBand->Hotkeys().at(0).Atom, foreign);
  EXPECT_EQ(secondBand->Hotkeys().at(0).Atom, foreign);
  EXPECT_EQ(HotkeyHolders(foreign), 2);
  const HWND firstForm = firstBand->Form()->Handle();
  const HWND secondForm = secondBand->Form()->Handle();
  EXPECT_EQ(HotkeysRegisteredOn(firstForm), std::vector<ATOM>{foreign});
  EXPECT_TRUE(HotkeysRegisteredOn(secondForm).empty());
  EXPECT_FALSE(CtrlWIsFree());

  // The first window closes: the second form takes the key over.
  EXPECT_EQ(firstBand->CloseDW(0), S_OK);
  EXPECT_EQ(first->SetSite(nullptr), S_OK);
  first = nullptr;
  EXPECT_EQ(HotkeysRegisteredOn(secondForm), std::vector<ATOM>{foreign});
  EXPECT_EQ(HotkeyHolders(foreign), 1);
  EXPECT_FALSE(CtrlWIsFree());
  EXPECT_EQ(::GlobalFindAtomA(kAtomName), foreign);

  // The last band goes: the key is free, and the other band's reference to
  // the atom is still there.
  EXPECT_EQ(second->SetSite(nullptr), S_OK);
  EXPECT_TRUE(HotkeysRegisteredOn(secondForm).empty());
  EXPECT_TRUE(CtrlWIsFree());
  EXPECT_EQ(::GlobalFindAtomA(kAtomName), foreign);
  EXPECT_EQ(secondBand->CloseDW(0), S_OK);
  second = nullptr;
  ::GlobalDeleteAtom(foreign);
  GThreadServices.reset();
}

TEST_F(HotkeyTest, CtrlWReachesTheSecondOfTwoWindowsOncePerPress) {
  TBrowserWindowThread first("Tarvik window 1"), second("Tarvik window 2");
  ASSERT_TRUE(first.FormWindow() && second.FormWindow());
  ASSERT_TRUE(WaitFor([&] { return !HotkeysRegisteredOn(first.FormWindow()).empty(); }));

  BringToFront(second.Window());
  PressCtrlW();
  ASSERT_TRUE(WaitFor([&] { return second.CaptureChecked(); })) << "the second form did not capture";
  // The key arrived at the first form, which handed it on.
  EXPECT_EQ(FHotkeys.Count(first.FormWindow()), 1);
  EXPECT_EQ(FHotkeys.Count(second.FormWindow()), 1);
  EXPECT_FALSE(first.CaptureChecked());

  // The second press is the capture's second click.
  PressCtrlW();
  ASSERT_TRUE(WaitFor([&] { return FHotkeys.Count(second.FormWindow()) == 2; }));
  EXPECT_TRUE(WaitFor([&] { return !second.CaptureChecked(); }));
  EXPECT_FALSE(first.CaptureChecked());
  EXPECT_EQ(FHotkeys.Count(first.FormWindow()), 2);
}

TEST_F(HotkeyTest, ThreeWindowsTheLastInFrontTheFirstClosedAndNoneInFront) {
  auto first = std::make_unique<TBrowserWindowThread>("Tarvik window 1");
  TBrowserWindowThread second("Tarvik window 2"), third("Tarvik window 3");
  ASSERT_TRUE(first->FormWindow() && second.FormWindow() && third.FormWindow());
  ASSERT_TRUE(WaitFor([&] { return !HotkeysRegisteredOn(first->FormWindow()).empty(); }));
  const ATOM atom = HotkeysRegisteredOn(first->FormWindow()).at(0);
  EXPECT_EQ(HotkeyHolders(atom), 3);

  BringToFront(third.Window());
  PressCtrlW();
  ASSERT_TRUE(WaitFor([&] { return third.CaptureChecked(); }));
  EXPECT_EQ(FHotkeys.Count(second.FormWindow()), 1);  // passed through the second form
  EXPECT_FALSE(first->CaptureChecked());
  EXPECT_FALSE(second.CaptureChecked());

  // The first window closes: the second form's own thread takes the key.
  first.reset();
  ASSERT_TRUE(WaitFor([&] { return HotkeysRegisteredOn(second.FormWindow()) == std::vector<ATOM>{atom}; }));
  EXPECT_EQ(HotkeyHolders(atom), 2);
  BringToFront(second.Window());
  PressCtrlW();
  ASSERT_TRUE(WaitFor([&] { return second.CaptureChecked(); })) << "Ctrl+W no longer works";
  EXPECT_TRUE(third.CaptureChecked());  // still its first click

  // Another program's window in front: the key travels the whole list and
  // no form clicks.
  test::THostWindow other("Another program");
  BringToFront(other.Handle());
  PressCtrlW();
  ASSERT_TRUE(WaitFor([&] { return FHotkeys.Count(third.FormWindow()) == 2; }));
  test::PumpMessages(200);
  EXPECT_TRUE(second.CaptureChecked());
  EXPECT_TRUE(third.CaptureChecked());
}

// Two bands of one thread, each in a browser window of its own.
class TwoBandsTest : public HotkeyTest {
 protected:
  void SetUp() override {
    HotkeyTest::SetUp();
    GThreadServices = std::make_shared<test::TScriptedUiServices>();
    FFirstWindow = std::make_unique<test::THostWindow>("First");
    FSecondWindow = std::make_unique<test::THostWindow>("Second");
    FFirstSite = test::TFakeSite::Create(FBrowser.Get(), FFirstWindow->Handle());
    FSecondSite = test::TFakeSite::Create(FBrowser.Get(), FSecondWindow->Handle());
    for (ComPtr<TTarvikToolbar>* band : {&FFirst, &FSecond}) {
      ComPtr<IObjectWithSite> created;
      ASSERT_EQ(TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, created.PutVoid()), S_OK);
      *band = static_cast<TTarvikToolbar*>(created.Get());
    }
    ASSERT_EQ(FFirst->SetSite(FFirstSite->Identity()), S_OK);
    ASSERT_EQ(FSecond->SetSite(FSecondSite->Identity()), S_OK);
    FAtom = ::GlobalFindAtomA(kAtomName);
    FSecondForm = FSecond->Form()->Handle();
    ASSERT_EQ(HotkeysRegisteredOn(FFirst->Form()->Handle()), std::vector<ATOM>{FAtom});
  }
  void TearDown() override {
    for (ComPtr<TTarvikToolbar>* band : {&FFirst, &FSecond}) {
      if (!*band) continue;
      (*band)->CloseDW(0);
      (*band)->SetSite(nullptr);
      *band = nullptr;
    }
    FFirstWindow.reset();
    FSecondWindow.reset();
    GThreadServices.reset();
    HotkeyTest::TearDown();
  }

  ComPtr<test::TFakeWebBrowser> FBrowser = test::TFakeWebBrowser::Create();
  std::unique_ptr<test::THostWindow> FFirstWindow, FSecondWindow;
  ComPtr<test::TFakeSite> FFirstSite, FSecondSite;
  ComPtr<TTarvikToolbar> FFirst, FSecond;
  ATOM FAtom = 0;
  HWND FSecondForm = nullptr;
};

TEST_F(TwoBandsTest, ClosingTheFirstBandWithoutUnsitingMovesTheKey) {
  EXPECT_EQ(FFirst->CloseDW(0), S_OK);
  EXPECT_EQ(HotkeysRegisteredOn(FSecondForm), std::vector<ATOM>{FAtom});
  EXPECT_FALSE(CtrlWIsFree());
  EXPECT_EQ(HotkeyHolders(FAtom), 2);  // the closed band is still sited
}

TEST_F(TwoBandsTest, TheFirstWindowDestroyedBeforeItsBandClosesMovesTheKey) {
  // A browser that tears its window down first; the band closes later.
  ::DestroyWindow(FFirstWindow->Handle());
  EXPECT_EQ(HotkeysRegisteredOn(FSecondForm), std::vector<ATOM>{FAtom});
  EXPECT_FALSE(CtrlWIsFree());
  EXPECT_EQ(ToolbarForms().Count(), 1u);
  EXPECT_EQ(FFirst->CloseDW(0), S_OK);
  EXPECT_EQ(FFirst->SetSite(nullptr), S_OK);
  FFirst = nullptr;
  EXPECT_EQ(HotkeysRegisteredOn(FSecondForm), std::vector<ATOM>{FAtom});
}

TEST_F(TwoBandsTest, AFormNotInFrontHandsTheKeyOnWithItsParameters) {
  test::THostWindow other("Another program");
  ::SetForegroundWindow(other.Handle());
  ASSERT_TRUE(WaitFor([&] { return ::GetForegroundWindow() == other.Handle(); }));
  const LPARAM keys = MAKELPARAM(MOD_CONTROL, 0x57);
  ::SendMessageW(FFirst->Form()->Handle(), WM_HOTKEY, FAtom, keys);
  ASSERT_TRUE(WaitFor([&] { return FHotkeys.Count(FSecondForm) == 1; }));
  EXPECT_EQ(FHotkeys.Last(FSecondForm), (std::pair<WPARAM, LPARAM>{FAtom, keys}));
  EXPECT_FALSE(FSecond->Form()->CaptureChecked());
}

}  // namespace
}  // namespace tarvik
