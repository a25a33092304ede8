#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Sets up the platform's HTTP client once for the program (false: it cannot
// be used), and ends it again.
bool SetUpDownloads();
void EndDownloads();

// True for an absolute http:// or https:// URL with a host part; anything
// else (file:, ftp:, a bare path) is never fetched.
bool IsHttpUrl(std::string_view url);

// The absolute URL that a redirect from "from" with the Location header
// location leads to; empty when it leads anywhere but http or https, or from
// https to plain http.
std::string RedirectTarget(std::string_view from, std::string_view location);

struct TDownloadOptions {
  std::string Sha256;                  // 64 hex digits the body must hash to; empty: not checked
  std::uint64_t MaxBytes = 0;          // a longer body ends the transfer as a failure; 0: no limit
  std::optional<std::uint64_t> Bytes;  // the body must be exactly this long
  // The whole transfer, redirects included, is given up at this moment.
  std::chrono::steady_clock::time_point Deadline = std::chrono::steady_clock::time_point::max();
  // Certificates trusted besides the system's; empty: none. Not on Windows,
  // where certificates are trusted through the system's certificate store.
  std::string CaFile;
};

struct TDownloadResult {
  bool Ok = false;
  std::string Error;  // why it failed, in a few words for the log
};

// Fetches url with one blocking GET and stores the body as destination.
// The body is written to a temporary file in the destination's folder and
// renamed to destination only when the transfer has finished with a 2xx
// status, the body is not empty and meets the options. In every other case
// destination is left as it was. A file that is replaced keeps its
// permissions. Only http and https are spoken, on redirects too, and a
// transfer that starts on https never goes on over plain http.
TDownloadResult DownloadFile(const std::string& url, const std::filesystem::path& destination,
                             const TDownloadOptions& options = {});
