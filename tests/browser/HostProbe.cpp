// Loads TarvikCore.dll into a process of its own name, fetches over http
// while it is loaded and again after it was unloaded, and says what happened.
// Exit 0: loaded, and the process survived the unload; 10: the load was refused.
#include <windows.h>

#include <cstdio>

#include "framework/Handles.h"
#include "support/win/LoopbackHttpServer.h"
#include "support/win/UrlFetch.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  tarvik::ScopedComInit com;
  tarvik::test::LoopbackHttpServer server;
  server.Serve("/page", "text/html", "<html>page</html>");
  HMODULE library = ::LoadLibraryA(argv[1]);
  if (!library) {
    std::printf("load refused\n");
    return 10;
  }
  std::printf("loaded\n");
  tarvik::test::FetchUrl(server.UrlW("/page?while-loaded"));
  ::FreeLibrary(library);
  // With the library gone, a request must not call into it.
  const tarvik::test::FetchResult after = tarvik::test::FetchUrl(server.UrlW("/page"));
  std::printf("after unload: %08lX %s\n", static_cast<unsigned long>(after.Result), after.Body.c_str());
  std::fflush(stdout);
  return after.Result == S_OK && after.Body == "<html>page</html>" ? 0 : 3;
}
