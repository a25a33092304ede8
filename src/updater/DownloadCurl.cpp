#include "DownloadTransfer.h"

#include "Ascii.h"
#include "Download.h"

#include <curl/curl.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

struct TCurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

std::size_t WriteBody(char* data, std::size_t, std::size_t count, void* user) {
  // anything short of count makes libcurl abort the transfer
  return static_cast<TBodySink*>(user)->Accept({data, count}) ? count : 0;
}

TTransferResult Failed(std::string why) { return {false, std::move(why)}; }

}  // namespace

TTransferResult Transfer(const TTransferRequest& request, TBodySink& sink) {
  using namespace std::chrono;
  const auto timeLeft = request.Deadline == steady_clock::time_point::max()
                            ? milliseconds::max()
                            : duration_cast<milliseconds>(request.Deadline - steady_clock::now());
  if (timeLeft <= 0ms) return Failed("no time left before the deadline");

  std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
  if (!curl) return Failed("cannot set up libcurl");

  char curlError[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  // A redirect must not lead to file: or any other scheme either. Nor may it
  // lower https to http: what was asked for over an authenticated connection
  // must not arrive over one anybody on the way can change. (A transfer that
  // starts on http has no such protection to lose.)
  const char* redirectSchemes = StartsWithNoCase(request.Url, "https://") ? "https" : "http,https";
  if (curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, redirectSchemes) != CURLE_OK)
    return Failed("libcurl cannot be limited to http and https");
  curl_easy_setopt(c, CURLOPT_URL, request.Url.c_str());
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<milliseconds>(timeLeft, 20s).count()));
  // The deadline bounds a server that trickles; a connection that stays
  // silent for a minute is given up even before.
  if (timeLeft != milliseconds::max()) curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeLeft.count()));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
  // An announced length above the limit is refused before the body comes.
  if (sink.MaxBytes() != 0 && sink.MaxBytes() <= static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max()))
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(sink.MaxBytes()));
  if (!request.CaFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, request.CaFile.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "kobrel");
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);

  const CURLcode code = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_HTTP_RETURNED_ERROR) return Failed("HTTP status " + std::to_string(status));
  if (code == CURLE_FILESIZE_EXCEEDED) sink.AnnouncedFits(std::numeric_limits<std::uint64_t>::max());
  if (code != CURLE_OK) return Failed(curlError[0] != '\0' ? curlError : curl_easy_strerror(code));
  if (status < 200 || status > 299) return Failed("HTTP status " + std::to_string(status));
  return {true, {}};
}

bool SetUpDownloads() { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }

void EndDownloads() { curl_global_cleanup(); }
