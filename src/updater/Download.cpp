#include "Download.h"

#include "Ascii.h"
#include "TTempFile.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::string ToLowerHex(const unsigned char* bytes, unsigned int count) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < count; ++i) {
    hex += Digits[bytes[i] >> 4];
    hex += Digits[bytes[i] & 0x0F];
  }
  return hex;
}

struct TCurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct THashDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct TTransfer {
  TTempFile* File = nullptr;
  EVP_MD_CTX* Hash = nullptr;
  std::uint64_t Bytes = 0;
  std::uint64_t MaxBytes = 0;  // 0: no limit
  bool TooLong = false;
  int WriteErrno = 0;
};

std::size_t WriteBody(char* data, std::size_t, std::size_t count, void* user) {
  auto& transfer = *static_cast<TTransfer*>(user);
  if (transfer.MaxBytes != 0 && count > transfer.MaxBytes - transfer.Bytes) {
    transfer.TooLong = true;
    return 0;
  }
  if (!transfer.File->Write({data, count})) {
    transfer.WriteErrno = errno;
    return 0;  // anything short of count makes libcurl abort the transfer
  }
  EVP_DigestUpdate(transfer.Hash, data, count);
  transfer.Bytes += count;
  return count;
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f'))) return false;
  return true;
}

TDownloadResult Failed(std::string why) { return {false, std::move(why)}; }

}  // namespace

bool IsHttpUrl(std::string_view url) {
  std::string_view rest;
  if (StartsWithNoCase(url, "http://"))
    rest = url.substr(7);
  else if (StartsWithNoCase(url, "https://"))
    rest = url.substr(8);
  else
    return false;
  for (const char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return false;
  return !rest.empty() && rest.find_first_of("/?#") != 0;  // a host must follow
}

TDownloadResult DownloadFile(const std::string& url, const std::filesystem::path& destination,
                             const TDownloadOptions& options) {
  using namespace std::chrono;
  if (!IsHttpUrl(url)) return Failed("not an http or https address");
  if (!options.Sha256.empty() && !IsSha256Hex(options.Sha256)) return Failed("sha256 is not 64 hexadecimal digits");
  std::uint64_t maxBytes = options.MaxBytes;
  if (options.Bytes) {
    if (maxBytes != 0 && *options.Bytes > maxBytes)
      return Failed("the file would have " + std::to_string(*options.Bytes) + " bytes, more than the limit of " +
                    std::to_string(maxBytes));
    maxBytes = *options.Bytes;
  }
  const auto timeLeft = options.Deadline == steady_clock::time_point::max()
                            ? milliseconds::max()
                            : duration_cast<milliseconds>(options.Deadline - steady_clock::now());
  if (timeLeft <= 0ms) return Failed("no time left before the deadline");

  // A replaced file keeps who may read, write and run it; set-id bits are
  // never carried over to a downloaded file.
  struct stat old {};
  const bool replaces = ::stat(destination.c_str(), &old) == 0 && S_ISREG(old.st_mode);

  TTempFile file(destination);
  if (!file.IsOpen()) return Failed("cannot create a file in " + destination.parent_path().string() + ": " + std::strerror(errno));
  if (replaces && !file.SetMode(old.st_mode & 0777))
    return Failed("cannot set the permissions of " + file.Path().string() + ": " + std::strerror(errno));

  std::unique_ptr<EVP_MD_CTX, THashDeleter> hash(EVP_MD_CTX_new());
  if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) return Failed("cannot set up SHA-256");
  std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
  if (!curl) return Failed("cannot set up libcurl");

  TTransfer transfer{&file, hash.get()};
  transfer.MaxBytes = maxBytes;
  char curlError[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  // A redirect must not lead to file: or any other scheme either. Nor may it
  // lower https to http: what was asked for over an authenticated connection
  // must not arrive over one anybody on the way can change. (A transfer that
  // starts on http has no such protection to lose.)
  const char* redirectSchemes = StartsWithNoCase(url, "https://") ? "https" : "http,https";
  if (curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, redirectSchemes) != CURLE_OK)
    return Failed("libcurl cannot be limited to http and https");
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
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
  if (maxBytes != 0 && maxBytes <= static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max()))
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  if (!options.CaFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.CaFile.c_str());
  curl_easy_setopt(c, CURLOPT_USERAGENT, "kobrel");
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curlError);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

  const CURLcode code = curl_easy_perform(c);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (code == CURLE_HTTP_RETURNED_ERROR) return Failed("HTTP status " + std::to_string(status));
  if (transfer.TooLong || code == CURLE_FILESIZE_EXCEEDED)
    return Failed("the file is longer than " + std::to_string(maxBytes) + " bytes");
  if (transfer.WriteErrno != 0) return Failed("cannot write " + file.Path().string() + ": " + std::strerror(transfer.WriteErrno));
  if (code != CURLE_OK) return Failed(curlError[0] != '\0' ? curlError : curl_easy_strerror(code));
  if (status < 200 || status > 299) return Failed("HTTP status " + std::to_string(status));
  if (transfer.Bytes == 0) return Failed("the server sent an empty file");
  if (options.Bytes && transfer.Bytes != *options.Bytes)
    return Failed("the file has " + std::to_string(transfer.Bytes) + " bytes, not " + std::to_string(*options.Bytes));

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestSize = 0;
  if (EVP_DigestFinal_ex(hash.get(), digest, &digestSize) != 1) return Failed("cannot compute SHA-256");
  if (!options.Sha256.empty() && !EqualNoCase(ToLowerHex(digest, digestSize), options.Sha256))
    return Failed("SHA-256 does not match");

  if (!file.Commit()) return Failed("cannot store " + destination.string() + ": " + std::strerror(errno));
  return {true, {}};
}
