#pragma once
// What every site a browser window gives its bands and helper objects is:
// the window they sit in (IOleWindow) and the way to the browser
// (IServiceProvider, which each site answers in its own way).
#include <windows.h>
#include <oleidl.h>
#include <servprov.h>

#include "framework/InterfacedObject.h"

namespace tarvik::standin {

class TSiteObject : public TInterfacedImpl<IOleWindow, IServiceProvider> {
 public:
  // IOleWindow: fails when the site has no window.
  STDMETHODIMP GetWindow(HWND* phwnd) override {
    if (!phwnd) return E_POINTER;
    *phwnd = FWindow;
    return FWindow ? S_OK : E_FAIL;
  }
  STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

 protected:
  explicit TSiteObject(HWND window) noexcept : FWindow(window) {}

 private:
  HWND FWindow;
};

}  // namespace tarvik::standin
