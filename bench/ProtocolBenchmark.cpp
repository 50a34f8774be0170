// Fetches a 256 MiB body over loopback through the URL moniker library, with
// the runtime registered as the http namespace handler (every byte captured)
// and without any handler, and prints both times, their ratio, the peak
// memory growth of a captured fetch, what the capture alone costs and the
// speed of each cipher kernel the processor runs. Run by hand:
//   build/win/wine-run build/win/bench/protocol_bench.exe [MiB] [rounds]
// Each memory figure comes from a child process of its own, because a
// process's peak only ever grows.
#include <windows.h>
#include <psapi.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/ChaCha20.h"
#include "core/ClassTarvikRuntime.h"
#include "framework/Handles.h"
#include "protocol/CaptureBuffer.h"
#include "protocol/CoTarvikAPPMoniter.h"
#include "support/win/LoopbackHttpServer.h"

using namespace tarvik;

namespace {

std::shared_ptr<const std::string> MakeBody(size_t size) {
  auto body = std::make_shared<std::string>(size, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    (*body)[i] = static_cast<char>(state >> 24);
  }
  return body;
}

double Now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Reads the whole body and throws it away: the fetcher holds no copy. The
// cache entry goes too, so that the cache does not grow run after run.
size_t Fetch(const std::wstring& url) {
  struct CacheEntry {
    const std::wstring& Url;
    ~CacheEntry() { ::DeleteUrlCacheEntryW(Url.c_str()); }
  } entry{url};
  ComPtr<IStream> stream;
  if (FAILED(::URLOpenBlockingStreamW(nullptr, url.c_str(), stream.Put(), 0, nullptr)) || !stream) return 0;
  std::vector<char> buffer(65536);
  size_t total = 0;
  for (;;) {
    ULONG read = 0;
    const HRESULT hr = stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read);
    total += read;
    if (hr != S_OK || read == 0) break;
  }
  return total;
}

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return counters;
}

struct Setup {
  ScopedComInit Com;
  test::LoopbackHttpServer Server;
  std::shared_ptr<const std::string> Body;
  int Next = 0;

  explicit Setup(size_t size) : Body(MakeBody(size)) { Server.Serve("/warm", "text/plain", "warm"); }
  // A fresh URL per fetch, so that no fetch is answered from the cache.
  std::wstring NextUrl() {
    test::HttpResponse response;
    response.Headers.emplace_back("Content-Type", "application/octet-stream");
    response.SharedBody = Body;
    const std::string path = "/body" + std::to_string(::GetTickCount()) + "x" +
                             std::to_string(::GetCurrentProcessId()) + "x" + std::to_string(Next++);
    Server.Route(path, response);
    return Server.UrlW(path);
  }
};

// One fetch in this process; prints the peak growth over what was in use before.
int MemoryChild(bool captured, size_t size) {
  Setup setup(size);
  Fetch(setup.Server.UrlW("/warm"));
  LibraryLoad();
  if (captured) CreateRuntime(APPMoniters());
  const PROCESS_MEMORY_COUNTERS before = Memory();
  const std::wstring url = setup.NextUrl();
  const size_t fetched = Fetch(url);
  const PROCESS_MEMORY_COUNTERS after = Memory();
  bool exact = !captured;
  if (captured) {
    const std::string key(url.begin(), url.end());
    exact = *TarvikDataBuffer->GetURLContent(key)->Content() == *setup.Body;
  }
  const double mib = 1024.0 * 1024.0;
  const double workingSet = (static_cast<double>(after.PeakWorkingSetSize) - before.WorkingSetSize) / mib;
  const double pagefile = (static_cast<double>(after.PeakPagefileUsage) - before.PagefileUsage) / mib;
  std::printf("%-9s peak growth: working set %.1f MiB (%.3fx body), pagefile %.1f MiB (%.3fx body); %s\n",
              captured ? "captured" : "baseline", workingSet, workingSet * mib / size, pagefile, pagefile * mib / size,
              fetched != size ? "FETCH SHORT" : (exact ? "bytes exact" : "CAPTURE DIFFERS"));
  LibraryUnload();
  return fetched == size && exact ? 0 : 1;
}

int RunChild(const char* mode, size_t mib) {
  char self[MAX_PATH];
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string command = std::string("\"") + self + "\" " + mode + " " + std::to_string(mib);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
    return -1;
  UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 2 && std::string(argv[1]).rfind("--", 0) == 0 ? std::strtoul(argv[2], nullptr, 10)
                     : argc > 1                                           ? std::strtoul(argv[1], nullptr, 10)
                                                                          : 256;
  const size_t size = mib << 20;
  if (argc > 1 && std::string(argv[1]) == "--memory-captured") return MemoryChild(true, size);
  if (argc > 1 && std::string(argv[1]) == "--memory-baseline") return MemoryChild(false, size);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

  std::printf("body %zu MiB, %d rounds\n", mib, rounds);
  std::fflush(stdout);
  const int baselineMemory = RunChild("--memory-baseline", mib);
  const int capturedMemory = RunChild("--memory-captured", mib);

  Setup setup(size);
  Fetch(setup.Server.UrlW("/warm"));
  std::vector<double> plain, captured;
  bool ok = baselineMemory == 0 && capturedMemory == 0;
  for (int round = 0; round < rounds; ++round) {
    // Alternate, so that neither side always runs on a warmer cache.
    for (int side = 0; side < 2; ++side) {
      const bool capture = (round + side) % 2 == 1;
      LibraryLoad();
      if (capture) CreateRuntime(APPMoniters());
      const std::wstring url = setup.NextUrl();
      const double start = Now();
      const size_t fetched = Fetch(url);
      const double seconds = Now() - start;
      if (fetched != size) ok = false;
      if (capture) {
        const std::string key(url.begin(), url.end());
        if (TarvikDataBuffer->GetURLContent(key)->Content()->size() != size) ok = false;
      }
      LibraryUnload();
      (capture ? captured : plain).push_back(seconds);
      std::printf("round %d %-8s %.3f s\n", round + 1, capture ? "captured" : "plain", seconds);
      std::fflush(stdout);
    }
  }
  {
    // What the capture itself costs: the body appended in read-sized pieces.
    const double start = Now();
    TCaptureBuffer buffer;
    buffer.ExpectSize(size);
    for (size_t offset = 0; offset < size; offset += 8192)
      buffer.Append(setup.Body->data() + offset, std::min<size_t>(8192, size - offset));
    const double appended = Now() - start;
    std::printf("capture alone: %.3f s for %zu MiB in 8 KiB reads\n", appended, mib);
  }
  {
    // The cipher alone, in the pieces the capture writes, with each kernel:
    // over the body's size through a buffer of 16 MiB (a second copy of a
    // large body may not fit in 32 bits).
    const uint8_t key[TChaCha20::KeySize] = {1};
    const uint8_t nonce[TChaCha20::NonceSize] = {};
    const TChaCha20 cipher(key, nonce);
    std::string data(std::min<size_t>(size, size_t{16} << 20), '\x5a');
    const std::pair<TChaCha20::TKernel, const char*> kernels[] = {
        {TChaCha20::TKernel::Scalar, "plain"}, {TChaCha20::TKernel::Sse2, "SSE2"}, {TChaCha20::TKernel::Avx2, "AVX2"}};
    for (const auto& [kernel, name] : kernels) {
      if (!TChaCha20::Runs(kernel)) continue;
      const double start = Now();
      for (size_t offset = 0; offset < size; offset += TCaptureBuffer::SpillChunk)
        cipher.ApplyWith(kernel, offset, data.data() + offset % data.size(),
                         std::min({TCaptureBuffer::SpillChunk, size - offset, data.size() - offset % data.size()}));
      std::printf("cipher %-5s %.0f MB/s%s\n", name, static_cast<double>(size) / (Now() - start) / 1e6,
                  kernel == TChaCha20::Fastest() ? " (the one used)" : "");
    }
  }
  std::sort(plain.begin(), plain.end());
  std::sort(captured.begin(), captured.end());
  const double plainMedian = plain[plain.size() / 2];
  const double capturedMedian = captured[captured.size() / 2];
  std::printf("median: no handler %.3f s, runtime registered %.3f s, ratio %.3f (limit 1.15)\n", plainMedian,
              capturedMedian, capturedMedian / plainMedian);
  std::printf("best:   no handler %.3f s, runtime registered %.3f s, ratio %.3f\n", plain.front(), captured.front(),
              captured.front() / plain.front());
  std::printf("live monitors at the end: %ld\n", static_cast<long>(MoniterCount()));
  std::printf("%s\n", ok ? "all fetches complete" : "SOME FETCH OR CAPTURE FAILED");
  return ok ? 0 : 1;
}
