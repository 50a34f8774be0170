#include "ui/FormTarvikToolbar.h"

#include <cderr.h>
#include <commdlg.h>
#include <mshtml.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ArchiveEnvironmentWin.h"
#include "archive/ArchiveFile.h"
#include "archive/ArchiveIOWin.h"
#include "archive/CoTarvikEngine.h"
#include "archive/WebArchive.h"
#include "core/ClassTarvikRuntime.h"
#include "core/TarvikTimeline.h"
#include "framework/WinText.h"
#include "ui/FormTarvikToolbarParts.h"
#include "ui/LateBound.h"
#include "ui/NameRules.h"

// The toolbar form's capture command: the first click marks the timeline,
// the second saves what was captured since.

namespace tarvik {

namespace {

using toolbar_form::SettingsIni;

constexpr char kSaveTitle[] = "Save Web Archive To";
// The platform's filter: description and pattern pairs, each ended by a zero.
constexpr char kSaveFilter[] = "Web Archive, single file (.mht)\0*.mht\0Email Archive, single file (.eml)\0*.eml\0";
constexpr char kSaveDefaultExt[] = "mht";
constexpr char kPageNotCapturedText[] =
    "The page itself was not captured: its own bytes did not pass through Tarvik Express (it may still be "
    "loading, or it came from a source that is not captured). Nothing was saved. Reload the page and capture "
    "it again.";
// A proposed name leaves room in the dialog's buffer for the folder the user picks.
constexpr size_t kProposedNameChars = 128;

std::string HResultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The description the composer left for a failed composition, if any.
std::string ComposeErrorText(HRESULT hr, const std::string& path) {
  std::string reason;
  ComPtr<IErrorInfo> info;
  if (::GetErrorInfo(0, info.Put()) == S_OK && info) {
    UniqueBstr description;
    if (SUCCEEDED(info->GetDescription(description.Put())) && description) reason = WideToAnsi(description.Get());
  }
  if (reason.empty()) reason = SystemErrorText(static_cast<DWORD>(hr));
  return "Cannot write the archive \"" + path + "\" (" + HResultText(hr) + "). " + reason;
}

void CheckResult(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw ELateBoundError(what, hr);
}

// The archive of urls at path, once the page itself is known to have bytes.
void ComposeArchive(ITarvikEngine& engine, const std::string& path, const std::vector<std::string>& urls,
                    const std::vector<std::string>& bases) {
  // An archive without the page's own bytes would open blank: say so, and
  // leave whatever is at that path as it is.
  // (Without a store the composer answers for itself.)
  // A page whose address answered with an empty redirect is where the window found it.
  if (TarvikDataBuffer) {
    const TArchiveEnvironment env = WindowsArchiveEnvironment();
    const bool found = !bases.empty() && !bases.front().empty() && TarvikDataBuffer->Exists(bases.front()) &&
                       PartHasBytes(*TarvikDataBuffer, bases.front(), env);
    if (!found && !PartHasBytes(*TarvikDataBuffer, urls.front(), env)) throw std::runtime_error(kPageNotCapturedText);
  }

  TArchiveFile file(path);
  ComPtr<IURLStrings> adaptor = TInterfacedObject::Create<TStringsToURLStrings>(urls.front(), urls, bases);
  // The composer does not describe every failure: a description left by an
  // earlier call (the document's, during the name fetch) must not pass for its.
  ::SetErrorInfo(0, nullptr);
  const HRESULT hr = engine.ComposeWebArchive(urls.front(), adaptor.Get(), nullptr, &file, ArchiveTitleFromPath(path));
  if (FAILED(hr)) throw std::runtime_error(ComposeErrorText(hr, path));
  // Closed and in place before anyone is offered to open it.
  file.Commit();
}

}  // namespace

// ---------------------------------------------------------------- capture

void TTarvikToolbarForm::ClickCapture() {
  SetCaptureChecked(!CaptureChecked());
  WithErrorBox([this] { btnCaptureClick(); });
}

void TTarvikToolbarForm::btnCaptureClick() {
  // Outside the browser's process there is no runtime and nothing to capture.
  if (!Runtime) {
    SetCaptureChecked(false);
    return;
  }
  if (CaptureChecked()) {
    FCaptureMark = NextSID();
    ShowFace(ActiveFace);
    SetTimer1(true);
    EnableMenuItemId(miCancel, true);
  } else {
    SaveCapture();
  }
}

void TTarvikToolbarForm::Timer1Timer() {
  ShowFace(FCaptureFace == IdleFace ? ActiveFace : IdleFace);
  bool beep = true;
  if (TIniFile* ini = SettingsIni()) beep = ReadBeepNotification(TIniFileStore(*ini));
  if (beep) FServices->Beep(8000, 25);
}

void TTarvikToolbarForm::miCancelClick() {
  FCaptureMark = 0;
  SetCaptureChecked(false);
  ShowIdle();
  SetTimer1(false);
}

void TTarvikToolbarForm::SaveCapture() {
  SetTimer1(false);
  ShowFace(ActiveFace);
  std::vector<std::string> urls, bases;
  // Outside the browser's process there is no runtime: nothing was captured.
  if (Runtime) Runtime->GenerateList(static_cast<int32_t>(::GetCurrentThreadId()), FCaptureMark, &urls, &bases);
  if (urls.empty()) {
    ShowIdle();  // nothing to save
    return;
  }
  ComPtr<ITarvikEngine> engine = TInterfacedObject::Create<TTarvikEngine>();
  const std::optional<std::string> path = ChooseArchivePath();
  if (!path) return;
  ComposeArchive(*engine, *path, urls, bases);

  int notKept = 0;
  if (TarvikDataBuffer)
    for (const std::string& url : urls) notKept += TarvikDataBuffer->GetURLContent(url)->TooLargeToKeep() ? 1 : 0;
  if (FServices->AskOpenSavedArchive(FHandle, SuccessText(*path, notKept))) OpenInNewWindow(*path, false);

  RememberSavedArchive(*path);
  ShowIdle();
}

std::optional<std::string> TTarvikToolbarForm::ChooseArchivePath() {
  TSaveDialogRequest request;
  request.Owner = FHandle;
  request.Title = kSaveTitle;
  request.Filter.assign(kSaveFilter, sizeof kSaveFilter - 1);
  request.FilterIndex = FSaveFilterIndex;
  request.DefaultExt = kSaveDefaultExt;
  request.InitialFolder = FLastSaveFolder;
  request.Flags = OFN_OVERWRITEPROMPT | OFN_NOREADONLYRETURN | OFN_ENABLESIZING | OFN_EXPLORER | OFN_HIDEREADONLY;
  request.BufferChars = SaveDialogBufferChars;
  const std::string proposed = ProposeName();
  if (!proposed.empty()) FSaveFileName = proposed;
  request.FileName = FSaveFileName;

  const TSaveDialogResult chosen = FServices->RunSaveDialog(request);
  if (chosen.Outcome != TDialogOutcome::Chosen) {
    // The capture goes on with the same mark.
    SetTimer1(true);
    SetCaptureChecked(true);
    if (chosen.Outcome == TDialogOutcome::Failed)
      throw std::runtime_error(chosen.ErrorCode == FNERR_BUFFERTOOSMALL
                                   ? std::string("The file name chosen in the save dialog is too long.")
                                   : "The save dialog failed (common dialog error " +
                                         HResultText(static_cast<HRESULT>(chosen.ErrorCode)) + ").");
    return std::nullopt;
  }
  FSaveFileName = chosen.Path;
  FSaveFilterIndex = chosen.FilterIndex;
  return chosen.Path;
}

void TTarvikToolbarForm::RememberSavedArchive(const std::string& path) {
  FSavedArchives.Add(path);
  FRecentSaveFolder.Add(FolderOf(path));
  if (TIniFile* ini = SettingsIni()) {
    TIniFileStore store(*ini);
    FRecentSaveFolder.Store(store, "MRU.SaveLocations");
    FSavedArchives.Store(store, "MRU.RecentArchives");
  }
}

std::string TTarvikToolbarForm::ProposeName() {
  if (!FWebBrowser) return {};
  ComPtr<IDispatch> document;
  if (FAILED(FWebBrowser->get_Document(document.Put())) || !document) return {};
  try {
    // A document that is not HTML has no selection or title: a failed fetch.
    ComPtr<IHTMLDocument2> html;
    CheckResult(document.As(html), "The document is not an HTML document.");
    ComPtr<IHTMLSelectionObject> selection;
    CheckResult(html->get_selection(selection.Put()), "No selection.");
    if (!selection) throw ELateBoundError("No selection.", E_POINTER);
    ComPtr<IDispatch> range;
    CheckResult(selection->createRange(range.Put()), "No range.");
    std::string text = Trim(WideToAnsi(GetTextProperty(range.Get(), L"text")));
    if (text.empty()) {
      UniqueBstr title;
      CheckResult(html->get_title(title.Put()), "No title.");
      text = Trim(SafeFileName(WideToAnsi(title.Get())));
    }
    return ProposedFileName(text, kProposedNameChars, &IsSystemLeadByte);
  } catch (const std::exception&) {
    Log("Save MHTML", "EXCEPTION: Fetch selected text.", 0, 50);
    return {};
  }
}

}  // namespace tarvik
