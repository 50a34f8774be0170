#pragma once
// The surroundings of a toolbar form in a test: a real top-level window as
// the browser's, a real runtime with its timeline and store, an ini file of
// its own, the stand-in browser, and scripted answers for everything that
// would block.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "support/browser/FakeBrowser.h"
#include "support/browser/RecordingRuntime.h"
#include "support/ui/ScriptedUiServices.h"
#include "support/win/WinTestUtil.h"
#include "ui/FormTarvikToolbar.h"

namespace tarvik::test {

// Processes the thread's messages for about ms milliseconds.
void PumpMessages(DWORD ms);

// A visible top-level window standing for the browser's.
class THostWindow {
 public:
  explicit THostWindow(const char* title = "Stand-in browser window", int width = 640, int height = 120);
  ~THostWindow();
  THostWindow(const THostWindow&) = delete;
  THostWindow& operator=(const THostWindow&) = delete;
  HWND Handle() const noexcept { return FHandle; }

 private:
  HWND FHandle = nullptr;
};

// The texts of a menu's items in order, "-" for a separator.
std::vector<std::string> MenuTexts(HMENU menu);
// The arguments the platform's parser reads from a parameter string.
std::vector<std::wstring> ParsedArguments(const std::string& parameters);

class ToolbarFormTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new form in the host window, shown, holding the stand-in browser.
  TTarvikToolbarForm& NewForm();
  // The browser window's visit of a page with one image: the navigation and
  // both downloads in the timeline, the page and the image in the store.
  void VisitPage(const std::string& page = "http://h/index.html", const std::string& image = "http://h/logo.png");
  // Both clicks of one capture of the form, the dialog choosing path and the
  // success box answered Yes (openIt) or OK.
  void CaptureAndSave(const std::string& path, bool openIt = false);
  TIniFile& Ini() { return FSettings->Ini(); }
  std::string IniValue(const std::string& section, const std::string& key) {
    return Ini().ReadString(section, key, "<missing>");
  }

  ScopedComInit FCom;
  TempFolder FFolder;
  TempFolder FLibraryFolder;
  std::optional<TScopedSettings> FSettings;
  THostWindow* FHost = nullptr;
  std::shared_ptr<TScriptedUiServices> FServices;
  ComPtr<TFakeWebBrowser> FBrowser;
  ComPtr<TFakeHtmlDocument> FDocument;
  std::unique_ptr<TTarvikToolbarForm> FForm;
};

}  // namespace tarvik::test
