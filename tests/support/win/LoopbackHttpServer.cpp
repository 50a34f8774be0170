#include "support/win/LoopbackHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace tarvik::test {

LoopbackHttpServer::LoopbackHttpServer() {
  WSADATA data;
  FWsaStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  FListener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (FListener == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int length = sizeof(address);
  if (::bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(FListener, 64) != 0 ||
      ::getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::closesocket(FListener);
    FListener = INVALID_SOCKET;
    return;
  }
  FPort = ntohs(address.sin_port);
  FAcceptThread = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  Stop();
  if (FWsaStarted) ::WSACleanup();
}

void LoopbackHttpServer::Stop() {
  if (FStopping.exchange(true)) return;
  if (FAcceptThread.joinable()) FAcceptThread.join();
  if (FListener != INVALID_SOCKET) ::closesocket(FListener);
  FListener = INVALID_SOCKET;
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> guard(FLock);
    connections.swap(FConnections);
  }
  for (std::thread& t : connections) t.join();
}

std::string LoopbackHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + path;
}

std::wstring LoopbackHttpServer::UrlW(const std::string& path) const {
  const std::string url = Url(path);
  return std::wstring(url.begin(), url.end());
}

void LoopbackHttpServer::Route(const std::string& path, HttpResponse response) {
  std::lock_guard<std::mutex> guard(FLock);
  FRoutes[path] = std::move(response);
}

void LoopbackHttpServer::Serve(const std::string& path, const std::string& contentType, std::string body) {
  HttpResponse response;
  response.Headers.emplace_back("Content-Type", contentType);
  response.Body = std::move(body);
  Route(path, std::move(response));
}

int LoopbackHttpServer::RequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> guard(FLock);
  auto it = FCounts.find(path);
  return it == FCounts.end() ? 0 : it->second;
}

void LoopbackHttpServer::AcceptLoop() {
  while (!FStopping) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(FListener, &readable);
    timeval timeout{0, 50 * 1000};
    if (::select(0, &readable, nullptr, nullptr, &timeout) <= 0) continue;
    SOCKET client = ::accept(FListener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    std::lock_guard<std::mutex> guard(FLock);
    FConnections.emplace_back([this, client] { Serve(client); });
  }
}

bool LoopbackHttpServer::SendAll(SOCKET s, const char* data, size_t size) {
  while (size > 0) {
    const int chunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
    const int sent = ::send(s, data, chunk, 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

void LoopbackHttpServer::Serve(SOCKET client) {
  // Bounded in time: a silent peer cannot hold the server open.
  DWORD timeoutMs = 10000;
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
  std::string pending;
  char buffer[8192];
  while (!FStopping) {
    size_t headerEnd;
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
      const int received = ::recv(client, buffer, sizeof(buffer), 0);
      if (received <= 0) {
        ::closesocket(client);
        return;
      }
      pending.append(buffer, static_cast<size_t>(received));
    }
    const std::string head = pending.substr(0, headerEnd);
    pending.erase(0, headerEnd + 4);
    // Request line: METHOD SP PATH SP VERSION. Bodies of requests are not expected.
    const size_t firstSpace = head.find(' ');
    const size_t secondSpace = head.find(' ', firstSpace + 1);
    const std::string path =
        firstSpace == std::string::npos ? "/" : head.substr(firstSpace + 1, secondSpace - firstSpace - 1);

    HttpResponse response;
    {
      std::lock_guard<std::mutex> guard(FLock);
      ++FCounts[path];
      auto it = FRoutes.find(path);
      if (it != FRoutes.end()) {
        response = it->second;
      } else {
        response.Status = 404;
        response.Reason = "Not Found";
        response.Headers.emplace_back("Content-Type", "text/plain");
        response.Body = "not found";
      }
    }
    ++FRequests;

    std::string header = "HTTP/1.1 " + std::to_string(response.Status) + " " + response.Reason + "\r\n";
    for (const auto& [name, value] : response.Headers) header += name + ": " + value + "\r\n";
    if (response.Chunked)
      header += "Transfer-Encoding: chunked\r\n";
    else
      header += "Content-Length: " +
                std::to_string(response.SharedBody ? response.SharedBody->size() : response.Body.size()) + "\r\n";
    const bool cut = response.CutAfter != static_cast<size_t>(-1);
    header += "Connection: close\r\n\r\n";
    if (!SendAll(client, header.data(), header.size())) break;

    const std::string& body = response.SharedBody ? *response.SharedBody : response.Body;
    const size_t limit = std::min(body.size(), response.CutAfter);
    if (response.Chunked) {
      for (size_t offset = 0; offset < limit; offset += response.ChunkSize) {
        const size_t size = std::min(response.ChunkSize, limit - offset);
        char sizeLine[32];
        std::snprintf(sizeLine, sizeof(sizeLine), "%lx\r\n", static_cast<unsigned long>(size));
        if (!SendAll(client, sizeLine, std::strlen(sizeLine)) || !SendAll(client, body.data() + offset, size) ||
            !SendAll(client, "\r\n", 2))
          break;
      }
      if (!cut) SendAll(client, "0\r\n\r\n", 5);
    } else {
      const size_t first = std::min(limit, response.PauseAfter);
      if (SendAll(client, body.data(), first) && first < limit) {
        ::Sleep(response.PauseMs);
        SendAll(client, body.data() + first, limit - first);
      }
    }
    break;  // Connection: close
  }
  ::shutdown(client, SD_BOTH);
  ::closesocket(client);
}

}  // namespace tarvik::test
