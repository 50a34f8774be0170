#pragma once
// A small HTTP/1.1 server on 127.0.0.1 (an ephemeral port) for tests under
// Wine: fixed responses per path, chunked bodies and cut-off transfers on
// request. It stops, and joins every thread it started, when destroyed.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::test {

struct HttpResponse {
  int Status = 200;
  std::string Reason = "OK";
  std::vector<std::pair<std::string, std::string>> Headers;  // Content-Length is added unless Chunked
  std::string Body;
  bool Chunked = false;
  size_t ChunkSize = 4096;
  // Closes the connection after this many body bytes (a cut-off transfer).
  size_t CutAfter = static_cast<size_t>(-1);
  // Waits PauseMs after this many body bytes (a server that sends part now and the rest later).
  size_t PauseAfter = static_cast<size_t>(-1);
  unsigned PauseMs = 0;
  // When set, served instead of Body without a copy per request (large bodies).
  std::shared_ptr<const std::string> SharedBody;
};

class LoopbackHttpServer {
 public:
  LoopbackHttpServer();
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  bool Running() const noexcept { return FListener != INVALID_SOCKET; }
  uint16_t Port() const noexcept { return FPort; }
  // "http://127.0.0.1:<port>" + path
  std::string Url(const std::string& path) const;
  std::wstring UrlW(const std::string& path) const;

  void Route(const std::string& path, HttpResponse response);
  // Shorthand: 200 with a content type and body.
  void Serve(const std::string& path, const std::string& contentType, std::string body);

  int RequestCount() const noexcept { return FRequests.load(); }
  int RequestCount(const std::string& path) const;

  void Stop();

 private:
  void AcceptLoop();
  void Serve(SOCKET client);
  static bool SendAll(SOCKET s, const char* data, size_t size);

  SOCKET FListener = INVALID_SOCKET;
  uint16_t FPort = 0;
  std::atomic<bool> FStopping{false};
  std::atomic<int> FRequests{0};
  mutable std::mutex FLock;
  std::map<std::string, HttpResponse> FRoutes;
  std::map<std::string, int> FCounts;
  std::vector<std::thread> FConnections;
  std::thread FAcceptThread;
  bool FWsaStarted = false;
};

}  // namespace tarvik::test
