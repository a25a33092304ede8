#pragma once

// A small HTTP server on 127.0.0.1 for the tests: it answers every GET from
// a table of path -> status and body, one connection at a time, and notes
// the paths that were asked for. It can send a body slowly or without end,
// and (not on Windows, where the tests have no TLS library) speak https with
// a certificate of its own.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TTestHttpServer {
public:
  TTestHttpServer();  // plain http on a free port
  // https on a free port, with a new self-signed certificate for 127.0.0.1
  // that is written to certFile for the client to trust.
  explicit TTestHttpServer(const std::filesystem::path& certFile);
  ~TTestHttpServer();
  TTestHttpServer(const TTestHttpServer&) = delete;
  TTestHttpServer& operator=(const TTestHttpServer&) = delete;

  std::string BaseUrl() const;
  void Serve(const std::string& path, std::string body, int status = 200);
  // Sends body chunkBytes at a time with a pause before each chunk.
  void Trickle(const std::string& path, std::string body, std::size_t chunkBytes, std::chrono::milliseconds pause);
  // Sends a body without length that never ends, as fast as it is taken.
  void ServeEndless(const std::string& path);
  void Redirect(const std::string& path, const std::string& location);
  std::vector<std::string> Requests() const;

  // A port on which nothing listens.
  static int UnusedPort();

private:
  struct TAnswer {
    int Status = 404;
    std::string Body;
    std::string Location;
    std::size_t ChunkBytes = 0;  // 0: all at once
    std::chrono::milliseconds Pause{0};
    bool Endless = false;
  };
  class TConnection;

  void Start();
  void Run();
  void Answer(TConnection& client);

#ifdef _WIN32
  using TSocket = std::uintptr_t;  // SOCKET
#else
  using TSocket = int;
#endif
  TSocket FListener = static_cast<TSocket>(-1);
  int FPort = 0;
  std::shared_ptr<void> FTls;  // SSL_CTX when speaking https
  std::atomic<bool> FStop{false};
  mutable std::mutex FLock;
  std::map<std::string, TAnswer> FFiles;
  std::vector<std::string> FRequests;
  std::thread FThread;
};
