#pragma once
// The toolbar's seam filled with scripted answers: it records every dialog,
// box, launch and beep, and answers from queues a test fills beforehand. A
// call without a scripted answer fails the test and answers as a cancel.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "ui/UiServices.h"

namespace tarvik::test {

struct TShownMessage {
  std::string Text;
  std::string Caption;
  UINT Type;
};

struct TLaunch {
  std::string File;
  std::string Parameters;
  std::string Directory;
  bool operator==(const TLaunch&) const = default;
};

class TScriptedUiServices : public TUiServices {
 public:
  explicit TScriptedUiServices(std::string libraryFolder = {}) : Folder(std::move(libraryFolder)) {}

  TSaveDialogResult RunSaveDialog(const TSaveDialogRequest& request) override {
    DialogRequests.push_back(request);
    if (DialogAnswers.empty()) {
      ADD_FAILURE() << "save dialog without a scripted answer";
      return {};
    }
    TSaveDialogResult answer = DialogAnswers.front();
    DialogAnswers.pop_front();
    return answer;
  }
  int ShowMessage(HWND, const std::string& text, const std::string& caption, UINT type) override {
    Messages.push_back({text, caption, type});
    if (MessageAnswers.empty()) {
      ADD_FAILURE() << "message box without a scripted answer: " << text;
      return IDCANCEL;
    }
    const int answer = MessageAnswers.front();
    MessageAnswers.pop_front();
    return answer;
  }
  bool AskOpenSavedArchive(HWND, const std::string& text) override {
    SuccessTexts.push_back(text);
    if (SuccessAnswers.empty()) {
      ADD_FAILURE() << "success box without a scripted answer";
      return false;
    }
    const bool yes = SuccessAnswers.front();
    SuccessAnswers.pop_front();
    return yes;
  }
  void ShellOpen(const std::string& file, const std::string& parameters, const std::string& directory) override {
    Launches.push_back({file, parameters, directory});
  }
  void Beep(DWORD frequency, DWORD duration) override { Beeps.push_back({frequency, duration}); }
  void ShowError(HWND, const std::string& message) override { Errors.push_back(message); }
  void ShowAbout(HWND) override { ++AboutBoxes; }
  std::string LibraryFolder() override { return Folder; }

  static TSaveDialogResult Chosen(const std::string& path) { return {TDialogOutcome::Chosen, path, 1, 0}; }
  static TSaveDialogResult Cancelled() { return {TDialogOutcome::Cancelled, {}, 1, 0}; }

  std::string Folder;
  std::deque<TSaveDialogResult> DialogAnswers;
  std::vector<TSaveDialogRequest> DialogRequests;
  std::deque<int> MessageAnswers;
  std::vector<TShownMessage> Messages;
  std::deque<bool> SuccessAnswers;
  std::vector<std::string> SuccessTexts;
  std::vector<TLaunch> Launches;
  std::vector<std::pair<DWORD, DWORD>> Beeps;
  std::vector<std::string> Errors;
  int AboutBoxes = 0;
};

}  // namespace tarvik::test
