#include "support/ui/ToolbarFormTestSupport.h"

#include <shellapi.h>

#include "core/TarvikTimeline.h"
#include "framework/WinText.h"

namespace tarvik::test {

namespace {

HRESULT NoSession(IInternetSession** session) {
  *session = nullptr;
  return E_FAIL;
}

}  // namespace

std::vector<std::string> MenuTexts(HMENU menu) {
  std::vector<std::string> texts;
  for (int i = 0; i < ::GetMenuItemCount(menu); ++i) {
    char text[512] = {};
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING | MIIM_FTYPE;
    item.dwTypeData = text;
    item.cch = sizeof text;
    ::GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &item);
    texts.push_back((item.fType & MFT_SEPARATOR) ? "-" : text);
  }
  return texts;
}

std::vector<std::wstring> ParsedArguments(const std::string& parameters) {
  int count = 0;
  const std::wstring line = L"IEXPLORE.EXE " + AnsiToWide(parameters);
  LPWSTR* arguments = ::CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> result;
  for (int i = 1; arguments && i < count; ++i) result.emplace_back(arguments[i]);
  ::LocalFree(arguments);
  return result;
}

void PumpMessages(DWORD ms) {
  const DWORD end = ::GetTickCount() + ms;
  do {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    ::Sleep(10);
  } while (static_cast<LONG>(end - ::GetTickCount()) > 0);
}

THostWindow::THostWindow(const char* title, int width, int height) {
  FHandle = ::CreateWindowExA(0, "STATIC", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, width,
                              height, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(FHandle, nullptr);
}

THostWindow::~THostWindow() {
  if (FHandle) ::DestroyWindow(FHandle);
}

void ToolbarFormTest::SetUp() {
  ASSERT_TRUE(SUCCEEDED(FCom.Result()));
  LibraryLoad();
  CreateRuntime(TProtocolMonitors{}, &NoSession);
  FSettings.emplace(FFolder.File("Tarvik.ini"));
  // Each test is a session of its own: the first-run guide has not opened yet.
  TTarvikToolbarForm::ForgetFirstRunGuide();
  // Most tests are not about the first run.
  Ini().WriteString("OOBE", "ToolbarShowed", "Yes");
  // One browser window for every test of the program: with no window
  // manager, Wine waits two seconds for a top-level window to be withdrawn
  // when it is destroyed; the process's end takes it without that wait.
  static THostWindow* host = new THostWindow();
  FHost = host;
  FServices = std::make_shared<TScriptedUiServices>(FLibraryFolder.Path());
  FBrowser = TFakeWebBrowser::Create();
  FDocument = FBrowser->ShowHtmlDocument();
  FDocument->SetLocation(L"http://h/index.html");
}

void ToolbarFormTest::TearDown() {
  FForm.reset();
  FSettings.reset();
  LibraryUnload();
}

TTarvikToolbarForm& ToolbarFormTest::NewForm() {
  FForm = std::make_unique<TTarvikToolbarForm>(FHost->Handle(), FServices);
  FForm->SetWebBrowser(FBrowser.Get());
  FForm->Show(true);
  return *FForm;
}

void ToolbarFormTest::CaptureAndSave(const std::string& path, bool openIt) {
  FForm->ClickCapture();
  FServices->DialogAnswers.push_back(TScriptedUiServices::Chosen(path));
  FServices->SuccessAnswers.push_back(openIt);
  FForm->ClickCapture();
}

void ToolbarFormTest::VisitPage(const std::string& page, const std::string& image) {
  const auto tid = static_cast<int32_t>(::GetCurrentThreadId());
  TURLContent& html = *TarvikDataBuffer->GetURLContent(page);
  html.SetContentType("text/html");
  const std::string body = "<html><head><title>Page</title></head><body><img src=\"logo.png\"></body></html>";
  html.SetContent(body, static_cast<int32_t>(body.size()));
  TURLContent& png = *TarvikDataBuffer->GetURLContent(image);
  png.SetContentType("image/png");
  png.SetContent(std::string("\x89PNG\r\n", 6), 6);
  Runtime->InformEvent(tid, 0x100, CategoryMainNavigation, EventStart, page);
  Runtime->InformEvent(tid, 0, CategoryDownload, EventStart, page);
  Runtime->InformEvent(tid, 0, CategoryDownload, EventStart, image);
  Runtime->InformEvent(tid, 0x100, CategoryMainNavigation, EventFinish, page);
}

}  // namespace tarvik::test
