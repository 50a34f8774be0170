// The band against the stand-in browser: siting, the form it carries, the
// browser's questions, and every order of closing, unsiting and release.
#include "browser/CoTarvikToolbar.h"

#include <gtest/gtest.h>
#include <shlguid.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "browser/TarvikClassIds.h"
#include "browser/TarvikRegistration.h"
#include "support/GoldenTrace.h"
#include "support/TraceRecorder.h"
#include "support/browser/FakeBrowser.h"
#include "support/browser/RecordingRuntime.h"
#include "support/protocol/FailingAllocator.h"
#include "support/ui/ScreenShot.h"
#include "support/ui/ScriptedUiServices.h"
#include "support/ui/ToolbarFormTestSupport.h"
#include "ui/FormTarvikToolbar.h"
#include "ui/Hotkeys.h"

namespace tarvik {
namespace {

using test::TFakeSite;
using test::TFakeWebBrowser;

constexpr char kAtomName[] = "TarvikAction.TVK";

ComPtr<TTarvikToolbar> NewBand() {
  ComPtr<TTarvikToolbar> band;
  ComPtr<IObjectWithSite> site;
  EXPECT_EQ(TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, site.PutVoid()), S_OK);
  band = static_cast<TTarvikToolbar*>(site.Get());
  return band;
}

bool AtomExists() { return ::GlobalFindAtomA(kAtomName) != 0; }

class Band : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(FCom.Result()));
    ASSERT_FALSE(AtomExists()) << "another program holds the hot key's atom";
    FSettings.Ini().WriteString("OOBE", "ToolbarShowed", "Yes");
    TTarvikToolbar::SetFormFactory([this](HWND parent) {
      if (FFailures > 0) {
        --FFailures;
        throw std::runtime_error("no window today");
      }
      return std::make_unique<TTarvikToolbarForm>(parent, FServices);
    });
  }
  void TearDown() override {
    TTarvikToolbar::SetFormFactory({});
    EXPECT_EQ(ToolbarForms().Count(), 0u);
    EXPECT_FALSE(AtomExists());
  }
  bool Traced(const std::string& source, const std::string& message, int32_t extra, int32_t level) const {
    const auto lines = FTrace.Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const test::TraceLine& l) {
      return l.Source == source && l.Message == message && l.Extra == extra && l.Level == level;
    });
  }

  ScopedComInit FCom;
  test::TempFolder FFolder;
  test::TScopedSettings FSettings{FFolder.File("Tarvik.ini")};
  ComPtr<test::TRecordingRuntime> FRuntime = test::TRecordingRuntime::Create();
  test::TScopedRuntime FScope{FRuntime.Get()};
  test::TraceRecorder FTrace;  // the lines the band traced
  test::THostWindow FHost;
  std::shared_ptr<test::TScriptedUiServices> FServices = std::make_shared<test::TScriptedUiServices>();
  ComPtr<TFakeWebBrowser> FBrowser = TFakeWebBrowser::Create();
  ComPtr<TFakeSite> FSite = TFakeSite::Create(FBrowser.Get(), FHost.Handle());
  int FFailures = 0;
};

TEST_F(Band, SitingMakesTheFormInTheSitesWindowWithTheBrowserAndReportsItsSize) {
  ComPtr<TTarvikToolbar> band = NewBand();
  DESKBANDINFO info = {};
  EXPECT_EQ(band->GetBandInfo(0, 0, &info), E_FAIL);
  EXPECT_EQ(band->GetBandInfo(0, 0, nullptr), E_INVALIDARG);
  HWND window = nullptr;
  EXPECT_EQ(band->GetWindow(&window), E_FAIL);

  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  TTarvikToolbarForm* form = band->Form();
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(ToolbarForms().Count(), 1u);
  EXPECT_EQ(::GetParent(form->Handle()), FHost.Handle());
  EXPECT_EQ(form->WebBrowser(), static_cast<IWebBrowser2*>(FBrowser.Get()));
  EXPECT_TRUE(IsEqualGUID(FSite->LastService(), SID_SWebBrowserApp));
  EXPECT_TRUE(IsEqualIID(FSite->LastRequestedInterface(), IID_IWebBrowser2));
  EXPECT_EQ(band->GetWindow(&window), S_OK);
  EXPECT_EQ(window, form->Handle());
  ComPtr<IOleWindow> site;
  EXPECT_EQ(band->GetSite(IID_IOleWindow, site.PutVoid()), S_OK);
  EXPECT_EQ(site.Get(), static_cast<IOleWindow*>(FSite.Get()));
  EXPECT_TRUE(test::MatchesGoldenTrace(FTrace.Lines(), "browser/traces/band_sited.trace"));

  EXPECT_FALSE(form->Visible());
  EXPECT_EQ(band->ShowDW(TRUE), S_OK);
  EXPECT_TRUE(form->Visible());
  test::PumpMessages(100);
  EXPECT_TRUE(test::SaveScreenShot(FHost.Handle(), "band_in_browser_window.bmp"));
  // The band's minimum size is the form's real size, two pixels taller; the
  // members the band does not own stay as the browser passed them.
  info.dwModeFlags = 0x5A;
  info.ptMaxSize = {77, 88};
  std::fill(std::begin(info.wszTitle), std::end(info.wszTitle), L'x');
  ASSERT_EQ(band->GetBandInfo(1, 0, &info), S_OK);
  EXPECT_GT(form->Width(), 0);
  EXPECT_EQ(info.ptMinSize.x, form->Width());
  EXPECT_EQ(info.ptMinSize.y, form->Height() + 2);
  RECT rect;
  ::GetWindowRect(form->Handle(), &rect);
  EXPECT_EQ(info.ptMinSize.y, rect.bottom - rect.top + 2);
  EXPECT_EQ(std::wstring(info.wszTitle), L"");
  EXPECT_EQ(info.dwModeFlags, 0x5Au);
  EXPECT_EQ(info.ptMaxSize.x, 77);
  EXPECT_EQ(band->ShowDW(FALSE), S_OK);
  EXPECT_FALSE(form->Visible());

  // A second site while the form lives: no new form, the browser refreshed.
  ComPtr<TFakeWebBrowser> otherBrowser = TFakeWebBrowser::Create();
  ComPtr<TFakeSite> otherSite = TFakeSite::Create(otherBrowser.Get(), FHost.Handle());
  ASSERT_EQ(band->SetSite(otherSite->Identity()), S_OK);
  EXPECT_EQ(band->Form(), form);
  EXPECT_EQ(form->WebBrowser(), static_cast<IWebBrowser2*>(otherBrowser.Get()));
  EXPECT_EQ(ToolbarForms().Count(), 1u);

  const HWND formWindow = form->Handle();
  EXPECT_EQ(band->CloseDW(0), S_OK);
  EXPECT_EQ(band->Form(), nullptr);
  EXPECT_FALSE(::IsWindow(formWindow));
  EXPECT_EQ(ToolbarForms().Count(), 0u);
  EXPECT_EQ(band->GetWindow(&window), E_FAIL);
  EXPECT_EQ(band->GetBandInfo(0, 0, &info), E_FAIL);
  EXPECT_EQ(band->CloseDW(0), S_OK);
  EXPECT_EQ(band->ShowDW(TRUE), S_OK);
  // Closing leaves the hot key to the site's end.
  EXPECT_TRUE(AtomExists());

  FRuntime->Clear();
  FTrace.Clear();
  EXPECT_EQ(band->SetSite(nullptr), S_OK);
  EXPECT_TRUE(test::MatchesGoldenTrace(FTrace.Lines(), "browser/traces/band_unsited.trace"));
  EXPECT_EQ(band->GetSite(IID_IUnknown, site.PutVoid()), E_FAIL);
  EXPECT_EQ(site.Get(), nullptr);
}

TEST_F(Band, OddSites) {
  ComPtr<TTarvikToolbar> band = NewBand();
  // No IOleWindow: refused, nothing kept, no form.
  EXPECT_EQ(band->SetSite(FBrowser->Identity()), E_INVALIDARG);
  EXPECT_EQ(band->Form(), nullptr);
  ComPtr<IUnknown> site;
  EXPECT_EQ(band->GetSite(IID_IUnknown, site.PutVoid()), E_FAIL);
  EXPECT_TRUE(test::MatchesGoldenTrace(FTrace.Lines(), "browser/traces/band_refuses_a_site_without_a_window.trace"));
  EXPECT_EQ(band->GetSite(IID_IUnknown, nullptr), E_FAIL);

  // No service provider, or one that fails or hands out nothing: the band
  // works without a browser.
  FSite->SetOffersServiceProvider(false);
  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  ASSERT_NE(band->Form(), nullptr);
  EXPECT_EQ(band->Form()->WebBrowser(), nullptr);
  FSite->SetOffersServiceProvider(true);
  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  EXPECT_EQ(band->Form()->WebBrowser(), static_cast<IWebBrowser2*>(FBrowser.Get()));
  FSite->SetQueryServiceResult(E_NOINTERFACE);
  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  EXPECT_EQ(band->Form()->WebBrowser(), nullptr);
  FSite->SetQueryServiceResult(S_OK);
  FSite->SetAnswersWithoutBrowser(true);
  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  EXPECT_EQ(band->Form()->WebBrowser(), nullptr);
  // Sited four times, unsited once: the atom's references still balance.
  EXPECT_EQ(band->SetSite(nullptr), S_OK);
  EXPECT_FALSE(AtomExists());
  EXPECT_EQ(band->CloseDW(0), S_OK);
}

TEST_F(Band, AFormThatCannotBeMadeIsTriedAgainAndThenSetSiteFails) {
  ComPtr<TTarvikToolbar> band = NewBand();
  FFailures = TTarvikToolbar::FormCreationAttempts - 1;
  ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
  EXPECT_NE(band->Form(), nullptr);
  const auto lines = FTrace.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const test::TraceLine& l) {
                            return l.Source == "CoToolbar.SetSite" &&
                                   l.Message == "Exception upon TTarvikToolbarForm.Create" && l.Extra == 1000 &&
                                   l.Level == 250;
                          }),
            TTarvikToolbar::FormCreationAttempts - 1);
  EXPECT_EQ(band->CloseDW(0), S_OK);
  EXPECT_EQ(band->SetSite(nullptr), S_OK);

  FRuntime->Clear();
  FTrace.Clear();
  FFailures = TTarvikToolbar::FormCreationAttempts;
  EXPECT_EQ(band->SetSite(FSite->Identity()), E_FAIL);
  EXPECT_EQ(band->Form(), nullptr);
  EXPECT_EQ(FFailures, 0);
  EXPECT_TRUE(Traced("CoToolbar.SetSite", "Outmost Exception occured!", 0, 50));
  EXPECT_FALSE(AtomExists());
  // The site was kept; unsiting works as ever.
  ComPtr<IUnknown> site;
  EXPECT_EQ(band->GetSite(IID_IUnknown, site.PutVoid()), S_OK);
  EXPECT_EQ(band->SetSite(nullptr), S_OK);
}

TEST_F(Band, EveryOrderOfClosingUnsitingAndReleaseLeavesNothingBehind) {
  enum Step { Close, Unsite, Release };
  // Every order of the three; nothing is called on a band after its release,
  // so orders releasing early leave the other steps out.
  std::vector<std::vector<Step>> orders;
  std::vector<Step> steps = {Close, Unsite, Release};
  do {
    orders.push_back(steps);
  } while (std::next_permutation(steps.begin(), steps.end()));

  for (const auto& order : orders) {
    ComPtr<TTarvikToolbar> band = NewBand();
    ASSERT_EQ(band->SetSite(FSite->Identity()), S_OK);
    ASSERT_EQ(band->ShowDW(TRUE), S_OK);
    const HWND form = band->Form()->Handle();
    for (Step step : order) {
      if (step == Close) {
        EXPECT_EQ(band->CloseDW(0), S_OK);
      } else if (step == Unsite) {
        EXPECT_EQ(band->SetSite(nullptr), S_OK);
      } else {
        band = nullptr;
        break;
      }
    }
    // Released without closing: the form went with the band.
    EXPECT_EQ(ToolbarForms().Count(), 0u) << order.size();
    EXPECT_FALSE(::IsWindow(form));
    EXPECT_FALSE(AtomExists());
  }
  // A new band closed and unsited before it ever had a site.
  ComPtr<TTarvikToolbar> band = NewBand();
  EXPECT_EQ(band->CloseDW(0), S_OK);
  EXPECT_EQ(band->SetSite(nullptr), S_OK);
  EXPECT_EQ(band->ShowDW(TRUE), S_OK);
}

TEST_F(Band, TheLibraryStaysLoadedWhileABandOrAFormLives) {
  ASSERT_EQ(TarvikCanUnloadNow(), S_OK);
  ComPtr<TTarvikToolbar> band = NewBand();
  EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
  band = nullptr;
  // A form without a band (its window still runs this library's code).
  auto form = std::make_unique<TTarvikToolbarForm>(FHost.Handle(), FServices);
  EXPECT_EQ(TarvikCanUnloadNow(), S_FALSE);
  form.reset();
  EXPECT_EQ(TarvikCanUnloadNow(), S_OK);
}

TEST_F(Band, AnswersForItsThreeInterfacesAndPersistsNothing) {
  ComPtr<TTarvikToolbar> band = NewBand();
  ComPtr<IUnknown> identity;
  ASSERT_EQ(band->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
  for (const IID& iid : {IID_IObjectWithSite, IID_IDeskBand, IID_IDockingWindow, IID_IOleWindow, IID_IPersistStream,
                         IID_IPersist, IID_ISupportErrorInfo}) {
    ComPtr<IUnknown> answer;
    ASSERT_EQ(band->QueryInterface(iid, answer.PutVoid()), S_OK);
    ComPtr<IUnknown> back;
    ASSERT_EQ(answer->QueryInterface(IID_IUnknown, back.PutVoid()), S_OK);
    EXPECT_EQ(back.Get(), identity.Get());
  }
  for (const IID& iid : {IID_IInputObject, IID_IOleCommandTarget, IID_IDispatch}) {
    ComPtr<IUnknown> none;
    EXPECT_EQ(band->QueryInterface(iid, none.PutVoid()), E_NOINTERFACE);
  }
  CLSID clsid = CLSID_NULL;
  EXPECT_EQ(band->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_TarvikToolbar));

  ComPtr<IStream> stream;
  ASSERT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
  EXPECT_EQ(band->IsDirty(), S_OK);
  EXPECT_EQ(band->Save(stream.Get(), TRUE), S_OK);
  EXPECT_EQ(band->Load(stream.Get()), S_OK);
  STATSTG stat = {};
  ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.cbSize.QuadPart, 0u);
  ULARGE_INTEGER size;
  EXPECT_EQ(band->GetSizeMax(&size), E_NOTIMPL);
  EXPECT_EQ(band->ContextSensitiveHelp(TRUE), E_NOTIMPL);
  EXPECT_EQ(band->ResizeBorderDW(nullptr, nullptr, FALSE), E_NOTIMPL);
}

// Memory that runs out at any allocation of a call fails that call, never
// the browser: every band entry point and both factories, the band's own
// constructor included, with another band sited for the key to move to.
TEST_F(Band, OutOfMemoryFailsTheCallNotTheProcess) {
  ComPtr<IClassFactory> factories[2];
  ASSERT_EQ(TarvikClassManager().GetClassObject(CLSID_TarvikToolbar, IID_IClassFactory, factories[0].PutVoid()), S_OK);
  ASSERT_EQ(TarvikClassManager().GetClassObject(CLSID_TarvikBrowserHelper, IID_IClassFactory, factories[1].PutVoid()),
            S_OK);
  ComPtr<TTarvikToolbar> other = NewBand();
  ASSERT_EQ(other->SetSite(FSite->Identity()), S_OK);
  auto failingAt = [](int n, const std::function<HRESULT()>& call) {
    test::FailAllocationAfter(n);
    const HRESULT hr = call();
    test::FailAllocationAfter(-1);
    return hr;
  };
  auto expectAnswer = [](HRESULT hr, const char* call) {
    EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY || hr == E_FAIL) << call << " 0x" << std::hex << hr;
  };
  for (int n = 0; n < 40; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    for (ComPtr<IClassFactory>& factory : factories) {
      ComPtr<IUnknown> object;
      expectAnswer(failingAt(n, [&] { return factory->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()); }),
                   "IClassFactory::CreateInstance");
    }
    ComPtr<IObjectWithSite> created;
    const HRESULT hr =
        failingAt(n, [&] { return TTarvikToolbar::CreateInstance(nullptr, IID_IObjectWithSite, created.PutVoid()); });
    expectAnswer(hr, "CreateInstance");
    if (FAILED(hr)) continue;
    ComPtr<TTarvikToolbar> band(static_cast<TTarvikToolbar*>(created.Get()));
    expectAnswer(failingAt(n, [&] { return band->SetSite(FSite->Identity()); }), "SetSite");
    expectAnswer(failingAt(n, [&] { return band->ShowDW(TRUE); }), "ShowDW");
    DESKBANDINFO info = {};
    expectAnswer(failingAt(n, [&] { return band->GetBandInfo(0, 0, &info); }), "GetBandInfo");
    HWND window = nullptr;
    expectAnswer(failingAt(n, [&] { return band->GetWindow(&window); }), "GetWindow");
    expectAnswer(failingAt(n, [&] { return band->CloseDW(0); }), "CloseDW");
    expectAnswer(failingAt(n, [&] { return band->SetSite(nullptr); }), "SetSite(nullptr)");
    EXPECT_EQ(band->Form(), nullptr);
  }
  // The band that stayed holds the key still.
  EXPECT_EQ(ToolbarForms().Count(), 1u);
  EXPECT_EQ(HotkeyHolders(::GlobalFindAtomA(kAtomName)), 1);
  EXPECT_EQ(other->CloseDW(0), S_OK);
  EXPECT_EQ(other->SetSite(nullptr), S_OK);
}

}  // namespace
}  // namespace tarvik
