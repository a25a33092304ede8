#include "TTestHttpServer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace {

#ifdef _WIN32

using TSocket = SOCKET;

void CloseSocket(TSocket s) { ::closesocket(s); }

// Winsock is set up once for the test program and never taken down.
void SetUpSockets() {
  static const bool ready = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!ready) throw std::runtime_error("test server: no winsock");
}

// Not inherited by the programs the tests start.
TSocket PrivateSocket(TSocket s) {
  if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}
TSocket NewSocket() { return PrivateSocket(::socket(AF_INET, SOCK_STREAM, 0)); }
TSocket Accept(TSocket listener) { return PrivateSocket(::accept(listener, nullptr, nullptr)); }

bool WaitReadable(TSocket s, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{0, milliseconds * 1000};
  return ::select(0, &readable, nullptr, nullptr, &timeout) > 0;
}

void SetTimeouts(TSocket s, int seconds) {
  const DWORD timeout = static_cast<DWORD>(seconds) * 1000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

#else

using TSocket = int;

void CloseSocket(TSocket s) { ::close(s); }
void SetUpSockets() {}
// Not inherited by the programs the tests start.
TSocket NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
TSocket Accept(TSocket listener) { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); }

bool WaitReadable(TSocket s, int milliseconds) {
  pollfd p{s, POLLIN, 0};
  return ::poll(&p, 1, milliseconds) > 0;
}

void SetTimeouts(TSocket s, int seconds) {
  timeval timeout{seconds, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

#endif

TSocket ListenOnLoopback(int& port) {
  SetUpSockets();
  const TSocket fd = NewSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (fd == static_cast<TSocket>(-1) || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
    throw std::runtime_error("test server cannot listen");
  port = ntohs(addr.sin_port);
  return fd;
}

#ifndef _WIN32

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) throw std::runtime_error("test certificate");
  X509_EXTENSION_free(ext);
}

// A TLS context with a fresh self-signed certificate for 127.0.0.1.
std::shared_ptr<void> MakeTls(const std::filesystem::path& certFile) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) throw std::runtime_error("test certificate");
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(cert, NID_subject_alt_name, "IP:127.0.0.1");
  if (X509_sign(cert, key, EVP_sha256()) == 0) throw std::runtime_error("test certificate");

  FILE* out = std::fopen(certFile.c_str(), "w");
  if (out == nullptr || PEM_write_X509(out, cert) != 1) throw std::runtime_error("test certificate file");
  std::fclose(out);

  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr || SSL_CTX_use_certificate(ctx, cert) != 1 || SSL_CTX_use_PrivateKey(ctx, key) != 1)
    throw std::runtime_error("test TLS context");
  X509_free(cert);
  EVP_PKEY_free(key);
  return {ctx, [](void* p) { SSL_CTX_free(static_cast<SSL_CTX*>(p)); }};
}

#endif

}  // namespace

// One accepted connection, plain or TLS.
class TTestHttpServer::TConnection {
public:
  TConnection(TSocket fd, [[maybe_unused]] void* tls) : FFd(fd) {
    // A client that went away must not hold up the server (and with it the
    // end of a test) for long.
    SetTimeouts(fd, 2);
#ifndef _WIN32
    if (tls == nullptr) return;
    FSsl = SSL_new(static_cast<SSL_CTX*>(tls));
    SSL_set_fd(FSsl, fd);
    FOk = SSL_accept(FSsl) == 1;
#endif
  }
  ~TConnection() {
#ifndef _WIN32
    if (FSsl != nullptr) {
      if (FOk) SSL_shutdown(FSsl);
      SSL_free(FSsl);
    }
#endif
    CloseSocket(FFd);
  }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  bool Ok() const { return FOk; }
  long Read(char* buffer, std::size_t size) {
#ifndef _WIN32
    if (FSsl != nullptr) return SSL_read(FSsl, buffer, static_cast<int>(size));
#endif
    return ::recv(FFd, buffer, static_cast<int>(size), 0);
  }
  bool WriteAll(std::string_view data) {
    while (!data.empty()) {
#ifdef _WIN32
      // In pieces: a blocking send of more than the socket takes may wait
      // for a reader that is gone.
      const long n = ::send(FFd, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 16384)), 0);
#else
      const long n = FSsl != nullptr ? SSL_write(FSsl, data.data(), static_cast<int>(data.size()))
                                     : ::send(FFd, data.data(), data.size(), MSG_NOSIGNAL);
#endif
      if (n <= 0) return FOk = false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

private:
  TSocket FFd;
#ifndef _WIN32
  SSL* FSsl = nullptr;
#endif
  bool FOk = true;
};

TTestHttpServer::TTestHttpServer() { Start(); }

#ifdef _WIN32
TTestHttpServer::TTestHttpServer(const std::filesystem::path&) {
  throw std::runtime_error("the test server speaks no https on Windows");
}
#else
TTestHttpServer::TTestHttpServer(const std::filesystem::path& certFile) : FTls(MakeTls(certFile)) { Start(); }
#endif

void TTestHttpServer::Start() {
  FListener = ListenOnLoopback(FPort);
  FThread = std::thread([this] {
#ifndef _WIN32
    // A client that hangs up early must not end the tests with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    Run();
  });
}

TTestHttpServer::~TTestHttpServer() {
  FStop = true;
  FThread.join();
  CloseSocket(FListener);
}

std::string TTestHttpServer::BaseUrl() const {
  return (FTls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(FPort);
}

int TTestHttpServer::UnusedPort() {
  int port = 0;
  CloseSocket(ListenOnLoopback(port));
  return port;
}

void TTestHttpServer::Serve(const std::string& path, std::string body, int status) {
  std::lock_guard lock(FLock);
  FFiles[path] = {status, std::move(body), {}};
}

void TTestHttpServer::Trickle(const std::string& path, std::string body, std::size_t chunkBytes,
                              std::chrono::milliseconds pause) {
  std::lock_guard lock(FLock);
  FFiles[path] = {200, std::move(body), {}, chunkBytes, pause};
}

void TTestHttpServer::ServeEndless(const std::string& path) {
  std::lock_guard lock(FLock);
  FFiles[path] = {200, std::string(4096, 'x'), {}, 0, {}, true};
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
    if (!WaitReadable(FListener, 50)) continue;
    const TSocket client = Accept(FListener);
    if (client == static_cast<TSocket>(-1)) continue;
    TConnection connection(client, FTls.get());
    if (connection.Ok()) Answer(connection);
  }
}

void TTestHttpServer::Answer(TConnection& client) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const auto n = client.Read(buffer, sizeof buffer);
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
  std::string head = "HTTP/1.1 " + std::to_string(a.Status) + " X\r\nConnection: close\r\n";
  if (!a.Endless) head += "Content-Length: " + std::to_string(a.Body.size()) + "\r\n";
  if (!a.Location.empty()) head += "Location: " + a.Location + "\r\n";
  if (!client.WriteAll(head + "\r\n")) return;
  if (a.Endless) {
    while (!FStop && client.WriteAll(a.Body)) {
    }
    return;
  }
  std::string_view rest = a.Body;
  const auto chunk = a.ChunkBytes == 0 ? rest.size() : a.ChunkBytes;
  while (!rest.empty() && !FStop) {
    std::this_thread::sleep_for(a.Pause);
    if (!client.WriteAll(rest.substr(0, chunk))) return;
    rest.remove_prefix(std::min(chunk, rest.size()));
  }
}
