#include "browser/CoTarvikBrowserHelper.h"

#include <gtest/gtest.h>
#include <shlguid.h>

#include <string>
#include <vector>

#include "browser/TarvikClassIds.h"
#include "framework/GuidText.h"
#include "support/browser/FakeBrowser.h"
#include "support/browser/RecordingRuntime.h"
#include "support/win/WinTestUtil.h"

namespace tarvik {
namespace {

using test::TFakeSite;
using test::TFakeWebBrowser;
using test::TRecordingRuntime;
using test::TScopedRuntime;
using test::TScopedSettings;

// One browser window: its browser, the site it gives its helper objects.
struct Window {
  ComPtr<TFakeWebBrowser> Browser = TFakeWebBrowser::Create();
  ComPtr<TFakeSite> Site = TFakeSite::Create(Browser.Get());
};

ComPtr<IObjectWithSite> NewHelper() {
  ComPtr<IObjectWithSite> helper;
  EXPECT_EQ(TTarvikBrowserHelper::CreateInstance(nullptr, IID_IObjectWithSite, helper.PutVoid()), S_OK);
  return helper;
}

// Settings in a folder of their own, a recording runtime, and one window.
class BrowserHelper : public ::testing::Test {
 protected:
  bool ToolbarShowed() { return FSettings.Ini().ValueExists("OOBE", "ToolbarShowed"); }

  test::TempFolder FFolder;
  TScopedSettings FSettings{FFolder.File("Tarvik.ini")};
  ComPtr<TRecordingRuntime> FRuntime = TRecordingRuntime::Create();
  TScopedRuntime FScope{FRuntime.Get()};
  Window FWindow;
};

TEST(BrowserClassIds, TheBandsIdInRegistryFormAndTheTwoIdsDiffer) {
  EXPECT_EQ(WideGuidText(CLSID_TarvikToolbar), L"{7D6FD738-E14D-4E83-940A-EC63ADB0AADD}");
  EXPECT_EQ(WideGuidText(CLSID_TarvikBrowserHelper), L"{9AF9538C-CBA5-46E9-A5C7-6E44DBE06301}");
  EXPECT_FALSE(IsEqualCLSID(CLSID_TarvikToolbar, CLSID_TarvikBrowserHelper));
}

TEST_F(BrowserHelper, TheFirstWindowShowsTheBandAndOnlyThenWritesTheKey) {
  bool keyDuringShow = true;
  FWindow.Browser->SetOnShowBrowserBar([&] { keyDuringShow = ToolbarShowed(); });
  ComPtr<IObjectWithSite> helper = NewHelper();
  EXPECT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);

  // The browser was asked for through the site's service provider.
  EXPECT_TRUE(IsEqualGUID(FWindow.Site->LastService(), SID_SWebBrowserApp));
  EXPECT_TRUE(IsEqualIID(FWindow.Site->LastRequestedInterface(), IID_IWebBrowser2));
  const auto& calls = FWindow.Browser->BrowserBarCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].ClsidType, VT_BSTR);
  EXPECT_EQ(calls[0].Clsid, L"{7D6FD738-E14D-4E83-940A-EC63ADB0AADD}");
  EXPECT_EQ(calls[0].ShowType, VT_BOOL);
  EXPECT_TRUE(calls[0].Show);
  EXPECT_EQ(calls[0].SizeType, VT_EMPTY);
  EXPECT_FALSE(keyDuringShow);
  EXPECT_EQ(FSettings.Ini().ReadString("OOBE", "ToolbarShowed", ""), "Yes");
  EXPECT_EQ(FWindow.Browser->SinkCount(), 1u);

  // A second window: no band shown again, but its events are watched.
  Window second;
  ComPtr<IObjectWithSite> secondHelper = NewHelper();
  EXPECT_EQ(secondHelper->SetSite(second.Site->Identity()), S_OK);
  EXPECT_TRUE(second.Browser->BrowserBarCalls().empty());
  EXPECT_EQ(second.Browser->SinkCount(), 1u);

  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
  EXPECT_EQ(secondHelper->SetSite(nullptr), S_OK);
}

TEST_F(BrowserHelper, AFailingShowBrowserBarWritesNothingAndTheNextWindowTriesAgain) {
  FWindow.Browser->SetShowBrowserBarResult(E_FAIL);
  ComPtr<IObjectWithSite> first = NewHelper();
  EXPECT_EQ(first->SetSite(FWindow.Site->Identity()), S_OK);
  EXPECT_EQ(FWindow.Browser->BrowserBarCalls().size(), 1u);
  EXPECT_FALSE(ToolbarShowed());
  // The window is still watched.
  EXPECT_EQ(FWindow.Browser->SinkCount(), 1u);
  FWindow.Browser->FireNavigateComplete2(FWindow.Browser->Window(), L"http://example.test/");
  EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"http://example.test/"}));

  Window second, third;
  ComPtr<IObjectWithSite> secondHelper = NewHelper(), thirdHelper = NewHelper();
  EXPECT_EQ(secondHelper->SetSite(second.Site->Identity()), S_OK);
  EXPECT_EQ(second.Browser->BrowserBarCalls().size(), 1u);
  EXPECT_TRUE(ToolbarShowed());
  EXPECT_EQ(thirdHelper->SetSite(third.Site->Identity()), S_OK);
  EXPECT_TRUE(third.Browser->BrowserBarCalls().empty());

  for (auto* h : {first.Get(), secondHelper.Get(), thirdHelper.Get()}) EXPECT_EQ(h->SetSite(nullptr), S_OK);
}

TEST_F(BrowserHelper, AnUnwritableSettingsFileLeavesTheWindowWatched) {
  TScopedSettings unwritable("Q:\\no-such-folder\\deeper\\Tarvik.ini");
  ComPtr<IObjectWithSite> helper = NewHelper();
  EXPECT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
  EXPECT_EQ(FWindow.Browser->BrowserBarCalls().size(), 1u);
  EXPECT_EQ(FWindow.Browser->SinkCount(), 1u);
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
}

TEST_F(BrowserHelper, ASiteThatYieldsNoBrowserGivesEFailAndConnectsNothing) {
  struct Case {
    const char* What;
    void (*Prepare)(TFakeSite&);
  };
  const Case cases[] = {
      {"no service provider", [](TFakeSite& s) { s.SetOffersServiceProvider(false); }},
      {"the query fails", [](TFakeSite& s) { s.SetQueryServiceResult(E_NOINTERFACE); }},
      {"the query answers nothing", [](TFakeSite& s) { s.SetAnswersWithoutBrowser(true); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Window window;
    c.Prepare(*window.Site);
    const LONG browserRefs = window.Browser->RefCount();
    ComPtr<IObjectWithSite> helper = NewHelper();
    EXPECT_EQ(helper->SetSite(window.Site->Identity()), E_FAIL);
    EXPECT_EQ(window.Browser->AdviseCalls(), 0);
    EXPECT_TRUE(window.Browser->BrowserBarCalls().empty());
    EXPECT_FALSE(ToolbarShowed());
    // The site is kept all the same.
    ComPtr<IOleWindow> site;
    EXPECT_EQ(helper->GetSite(IID_IOleWindow, site.PutVoid()), S_OK);
    EXPECT_TRUE(SameComObject(site.Get(), window.Site->Identity()));
    site = nullptr;
    EXPECT_EQ(helper->SetSite(nullptr), S_OK);
    EXPECT_TRUE(window.Browser->UnadviseCalls().empty());
    EXPECT_EQ(window.Browser->RefCount(), browserRefs);
  }

  // A site that has no browser at all.
  ComPtr<TFakeSite> empty = TFakeSite::Create(nullptr);
  ComPtr<IObjectWithSite> helper = NewHelper();
  EXPECT_EQ(helper->SetSite(empty->Identity()), E_FAIL);
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
}

TEST_F(BrowserHelper, WithoutAConnectionTheSiteIsAcceptedAndNothingIsUnadvised) {
  struct Case {
    const char* What;
    void (*Prepare)(TFakeWebBrowser&);
    int Advises;
  };
  const Case cases[] = {
      {"no connection point container", [](TFakeWebBrowser& b) { b.SetOffersConnectionPoints(false); }, 0},
      {"no such connection point", [](TFakeWebBrowser& b) { b.SetFindConnectionPointResult(CONNECT_E_NOCONNECTION); },
       0},
      {"Advise refused", [](TFakeWebBrowser& b) { b.SetAdviseResult(CONNECT_E_ADVISELIMIT); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    Window window;
    c.Prepare(*window.Browser);
    const LONG browserRefs = window.Browser->RefCount();
    ComPtr<IObjectWithSite> helper = NewHelper();
    EXPECT_EQ(helper->SetSite(window.Site->Identity()), S_OK);
    EXPECT_EQ(window.Browser->AdviseCalls(), c.Advises);
    EXPECT_EQ(window.Browser->SinkCount(), 0u);
    EXPECT_EQ(helper->SetSite(nullptr), S_OK);
    EXPECT_TRUE(window.Browser->UnadviseCalls().empty());
    EXPECT_EQ(window.Browser->RefCount(), browserRefs);
  }
}

TEST_F(BrowserHelper, UnsitingDisconnectsAndReleasesTheMonitorAndTheBrowser) {
  const LONG browserRefs = FWindow.Browser->RefCount();
  const LONG siteRefs = FWindow.Site->RefCount();
  const LONG objects = ComServer::ObjectCount();
  {
    ComPtr<IObjectWithSite> helper = NewHelper();
    ASSERT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
    // Helper and monitor each hold the browser; the connection point holds the monitor.
    EXPECT_GE(FWindow.Browser->RefCount(), browserRefs + 2);
    ComPtr<TFakeWebBrowser> frame = FWindow.Browser->AddFrame();
    FWindow.Browser->Navigate(FWindow.Browser->Window(), L"http://example.test/");
    FWindow.Browser->Navigate(frame->Window(), L"http://example.test/frame");
    EXPECT_EQ(FRuntime->Values(), (std::vector<std::string>{"http://example.test/", "http://example.test/",
                                                            "http://example.test/frame", "http://example.test/frame"}));

    EXPECT_EQ(helper->SetSite(nullptr), S_OK);
    EXPECT_EQ(FWindow.Browser->UnadviseCalls(), (std::vector<DWORD>{1}));
    EXPECT_EQ(FWindow.Browser->SinkCount(), 0u);
    // The frame stays with the browser; every reference the helper took is back.
    frame = nullptr;
    EXPECT_EQ(FWindow.Browser->RefCount(), browserRefs);
    EXPECT_EQ(FWindow.Site->RefCount(), siteRefs);
    EXPECT_EQ(FWindow.Browser->FireNavigateComplete2(FWindow.Browser->Window(), L"http://example.test/late"), S_FALSE);
    EXPECT_EQ(FRuntime->Values().size(), 4u);

    void* site = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(helper->GetSite(IID_IUnknown, &site), E_UNEXPECTED);
    EXPECT_EQ(site, nullptr);
    // Unsiting twice is harmless.
    EXPECT_EQ(helper->SetSite(nullptr), S_OK);
    EXPECT_EQ(FWindow.Browser->UnadviseCalls().size(), 1u);
  }
  EXPECT_EQ(ComServer::ObjectCount(), objects);
}

TEST_F(BrowserHelper, GetSiteAnswersThroughTheSite) {
  ComPtr<IObjectWithSite> helper = NewHelper();
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(helper->GetSite(IID_IServiceProvider, &out), E_UNEXPECTED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(helper->GetSite(IID_IUnknown, nullptr), E_UNEXPECTED);

  ASSERT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
  ComPtr<IServiceProvider> provider;
  EXPECT_EQ(helper->GetSite(IID_IServiceProvider, provider.PutVoid()), S_OK);
  EXPECT_TRUE(SameComObject(provider.Get(), FWindow.Site->Identity()));
  ComPtr<IDispatch> none;
  EXPECT_EQ(helper->GetSite(IID_IDispatch, none.PutVoid()), E_NOINTERFACE);
  EXPECT_FALSE(none);
  EXPECT_EQ(helper->GetSite(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
}

TEST_F(BrowserHelper, ANewSiteWithoutUnsitingFirstLeavesTheOldWindow) {
  const LONG firstRefs = FWindow.Browser->RefCount();
  Window second;
  ComPtr<IObjectWithSite> helper = NewHelper();
  ASSERT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
  ASSERT_EQ(helper->SetSite(second.Site->Identity()), S_OK);
  EXPECT_EQ(FWindow.Browser->UnadviseCalls().size(), 1u);
  EXPECT_EQ(FWindow.Browser->SinkCount(), 0u);
  EXPECT_EQ(FWindow.Browser->RefCount(), firstRefs);
  EXPECT_EQ(second.Browser->SinkCount(), 1u);
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
  EXPECT_EQ(second.Browser->SinkCount(), 0u);
}

TEST_F(BrowserHelper, ReleasedWhileSitedItStillDisconnects) {
  const LONG browserRefs = FWindow.Browser->RefCount();
  {
    ComPtr<IObjectWithSite> helper = NewHelper();
    ASSERT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
  }
  EXPECT_EQ(FWindow.Browser->SinkCount(), 0u);
  EXPECT_EQ(FWindow.Browser->RefCount(), browserRefs);
}

TEST_F(BrowserHelper, WithoutARuntimeTheWindowIsConnectedAndRecordsNothing) {
  TScopedRuntime none(nullptr);
  ComPtr<IObjectWithSite> helper = NewHelper();
  EXPECT_EQ(helper->SetSite(FWindow.Site->Identity()), S_OK);
  EXPECT_EQ(FWindow.Browser->SinkCount(), 1u);
  FWindow.Browser->Navigate(FWindow.Browser->Window(), L"http://example.test/");
  EXPECT_TRUE(FRuntime->Events().empty());
  EXPECT_EQ(helper->SetSite(nullptr), S_OK);
}

}  // namespace
}  // namespace tarvik
