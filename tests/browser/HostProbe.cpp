// Loads TarvikCore.dll into a process of its own name, fetches over http
// while it is loaded and again after it was unloaded, and says what happened.
// Exit 0: loaded, and the process survived the unload; 10: the load was refused.
//
// Before the load the probe registers a namespace handler of its own for
// http, which only counts the requests it is asked for: a library that made a
// runtime registers its handler after it, in front of it, and the probe's
// sees no request while the library is loaded.
#include <windows.h>
#include <urlmon.h>

#include <cstdio>

#include "framework/ComPtr.h"
#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/UrlFetch.h"

namespace {

// {3F6B7C1E-9A2D-4E85-B0C4-51D7E2A9F063}
constexpr CLSID CLSID_ProbeNamespace = {0x3f6b7c1e, 0x9a2d, 0x4e85, {0xb0, 0xc4, 0x51, 0xd7, 0xe2, 0xa9, 0xf0, 0x63}};

class TCountingFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory) ? this : nullptr;
    return *ppv ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    ++Requests;
    return E_NOINTERFACE;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  int Requests = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  tarvik::ScopedComInit com;
  tarvik::test::LoopbackHttpServer server;
  server.Serve("/page", "text/html", "<html>page</html>");
  tarvik::ComPtr<IInternetSession> session;
  if (FAILED(::CoInternetGetSession(0, session.Put(), 0))) return 4;
  TCountingFactory counting;
  session->RegisterNameSpace(&counting, CLSID_ProbeNamespace, L"http", 0, nullptr, 0);
  HMODULE library = ::LoadLibraryA(argv[1]);
  if (!library) {
    std::printf("load refused\n");
    return 10;
  }
  std::printf("loaded\n");
  tarvik::test::FetchUrl(server.UrlW("/page?while-loaded"));
  std::printf(counting.Requests == 0 ? "namespace: the library's\n" : "namespace: none of the library\n");
  session->UnregisterNameSpace(&counting, L"http");
  ::FreeLibrary(library);
  // With the library gone, a request must not call into it.
  const tarvik::test::FetchResult after = tarvik::test::FetchUrl(server.UrlW("/page"));
  std::printf("after unload: %08lX %s\n", static_cast<unsigned long>(after.Result), after.Body.c_str());
  std::fflush(stdout);
  return after.Result == S_OK && after.Body == "<html>page</html>" ? 0 : 3;
}
