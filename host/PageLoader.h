#pragma once
// One navigation of a browser object as the browser makes it, with no window
// and no message loop: the document fetched through the URL moniker library
// on the calling thread and given its document object, frames loaded into
// browser objects of their own, subresources and style sheets (followed
// through @import and url()) fetched once each, and every event in the
// browser's order through the top browser object's connection point.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "HostBrowser.h"
#include "framework/ComPtr.h"

namespace tarvik::host {

struct TNavigationResult {
  unsigned Serial = 0;  // navigations of this window ended so far
  bool Ok = false;
  std::wstring FinalUrl;
  std::wstring Title;
  long Status = 0;         // HTTP status of the document
  std::string Error;       // why it failed
  unsigned Resources = 0;  // frames and subresources fetched
  unsigned FailedResources = 0;
  double Milliseconds = 0;
};

// Whoever shows the top document (the window); told as the page arrives.
class TPageView {
 public:
  // The top document's title, or its address when it has none.
  virtual void ShowTitle(const std::wstring& title) = 0;
  // What the page area shows: the address, the outcome, the page's text.
  virtual void ShowPage(std::wstring text) = 0;

 protected:
  ~TPageView() = default;
};

class TPageLoader {
 public:
  // top: the browser object navigated, kept by the caller while this lives;
  // view: may be null.
  TPageLoader(THostWebBrowser& top, TPageView* view) : FTop(top), FView(view) {}

  // Loads url into the top browser object and answers how it went (Serial
  // is left to the caller, which counts its navigations).
  TNavigationResult Navigate(const std::wstring& url);
  // The browser objects of the last page's frames, in the order they were made.
  const std::vector<ComPtr<THostWebBrowser>>& Frames() const noexcept { return FFrames; }
  void ReleaseFrames() { FFrames.clear(); }

 private:
  struct TLoadContext;
  struct TLoaded {
    bool Ok = false;
    std::wstring FinalUrl;
    std::wstring Title;
    long Status = 0;
    std::string Error;
  };

  // hops: redirects followed as new navigations on the way to url.
  TLoaded LoadDocument(THostWebBrowser& browser, const std::wstring& url, TLoadContext& context, int depth,
                       unsigned hops = 0);
  void FetchSubresource(const std::wstring& url, bool styleSheet, TLoadContext& context, int depth);
  void FetchStyleReferences(std::wstring_view css, const std::wstring& base, TLoadContext& context, int depth);
  void ShowPage(const std::wstring& url, const TLoaded& loaded, const TLoadContext& context, const std::wstring& text);

  THostWebBrowser& FTop;
  TPageView* FView;
  std::vector<ComPtr<THostWebBrowser>> FFrames;
};

}  // namespace tarvik::host
