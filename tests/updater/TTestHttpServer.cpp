#include "TTestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

int ListenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    throw std::runtime_error("test server cannot listen");
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

TTestHttpServer::TTestHttpServer() {
  FListener = ListenOnLoopback(FPort);
  FThread = std::thread([this] { Run(); });
}

TTestHttpServer::~TTestHttpServer() {
  FStop = true;
  FThread.join();
  ::close(FListener);
}

int TTestHttpServer::UnusedPort() {
  int port = 0;
  ::close(ListenOnLoopback(port));
  return port;
}

void TTestHttpServer::Serve(const std::string& path, std::string body, int status) {
  std::lock_guard lock(FLock);
  FFiles[path] = {status, std::move(body), {}};
}

void TTestHttpServer::Redirect(const std::string& path, const std::string& location) {
  std::lock_guard lock(FLock);
  FFiles[path] = {302, {}, location};
}

std::vector<std::string> TTestHttpServer::Requests() const {
  std::lock_guard lock(FLock);
  return FRequests;
}

void TTestHttpServer::Run() {
  while (!FStop) {
    pollfd p{FListener, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    Answer(client);
    ::close(client);
  }
}

void TTestHttpServer::Answer(int client) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return;
    const auto n = ::read(client, buffer, sizeof buffer);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  // "GET /path HTTP/1.1"
  const auto pathBegin = request.find(' ') + 1;
  const auto path = request.substr(pathBegin, request.find(' ', pathBegin) - pathBegin);

  TAnswer a{404, "not found", {}};
  {
    std::lock_guard lock(FLock);
    FRequests.push_back(path);
    if (const auto it = FFiles.find(path); it != FFiles.end()) a = it->second;
  }
  std::string answer = "HTTP/1.1 " + std::to_string(a.Status) + " X\r\nContent-Length: " + std::to_string(a.Body.size()) +
                       "\r\nConnection: close\r\n";
  if (!a.Location.empty()) answer += "Location: " + a.Location + "\r\n";
  answer += "\r\n" + a.Body;
  std::string_view rest = answer;
  while (!rest.empty()) {
    const auto n = ::write(client, rest.data(), rest.size());
    if (n <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}
