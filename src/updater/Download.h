#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// True for an absolute http:// or https:// URL with a host part; anything
// else (file:, ftp:, a bare path) is never fetched.
bool IsHttpUrl(std::string_view url);

struct TDownloadResult {
  bool Ok = false;
  std::string Error;  // why it failed, in a few words for the log
};

// Fetches url with one blocking GET and stores the body as destination.
// The body is written to a temporary file in the destination's folder and
// renamed to destination only when the transfer has finished with a 2xx
// status, the body is not empty and, when expectedSha256 is given, its
// SHA-256 matches. In every other case destination is left as it was.
// Only http and https are spoken, on redirects too. A body longer than
// maxBytes (when not 0) ends the transfer as a failure.
TDownloadResult DownloadFile(const std::string& url, const std::filesystem::path& destination,
                             std::string_view expectedSha256 = {}, std::uint64_t maxBytes = 0);
