#pragma once

// A small HTTP server on 127.0.0.1 for the tests: it answers every GET from
// a table of path -> status and body, one connection at a time, and notes
// the paths that were asked for.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TTestHttpServer {
public:
  TTestHttpServer();  // listens on a free port
  ~TTestHttpServer();
  TTestHttpServer(const TTestHttpServer&) = delete;
  TTestHttpServer& operator=(const TTestHttpServer&) = delete;

  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(FPort); }
  void Serve(const std::string& path, std::string body, int status = 200);
  void Redirect(const std::string& path, const std::string& location);
  std::vector<std::string> Requests() const;

  // A port on which nothing listens.
  static int UnusedPort();

private:
  void Run();
  void Answer(int client);

  int FListener = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  mutable std::mutex FLock;
  struct TAnswer {
    int Status = 404;
    std::string Body;
    std::string Location;
  };
  std::map<std::string, TAnswer> FFiles;
  std::vector<std::string> FRequests;
  std::thread FThread;
};
