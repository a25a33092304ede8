#include "Download.h"

#include "Ascii.h"
#include "DownloadTransfer.h"
#include "PathText.h"
#include "TTempFile.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstring>

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text)
    if (!((c >= '0' && c <= '9') || (LowerAscii(c) >= 'a' && LowerAscii(c) <= 'f'))) return false;
  return true;
}

TDownloadResult Failed(std::string why) { return {false, std::move(why)}; }

// "scheme://authority" of an http or https URL.
std::string_view Origin(std::string_view url) {
  const auto authority = url.find("://") + 3;
  return url.substr(0, url.find_first_of("/?#", authority));
}

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

std::string RedirectTarget(std::string_view from, std::string_view location) {
  if (!IsHttpUrl(from)) return {};
  location = location.substr(0, location.find('#'));
  std::string target;
  const auto schemeEnd = location.find(':');
  if (schemeEnd != std::string_view::npos && schemeEnd < location.find_first_of("/?")) {
    target = location;  // absolute
  } else if (location.starts_with("//")) {
    target = std::string(from.substr(0, from.find(':') + 1)).append(location);
  } else if (location.starts_with('/')) {
    target = std::string(Origin(from)).append(location);
  } else {
    // Relative to the folder of from's path, or to from itself for a query.
    const auto origin = Origin(from);
    auto path = from.substr(origin.size());
    path = path.substr(0, path.find_first_of("?#"));
    if (path.empty()) path = "/";
    if (!location.starts_with('?')) path = path.substr(0, path.rfind('/') + 1);
    target = std::string(origin).append(path).append(location);
  }
  if (!IsHttpUrl(target)) return {};
  // Nothing asked for over https may come over plain http.
  if (StartsWithNoCase(from, "https://") && !StartsWithNoCase(target, "https://")) return {};
  return target;
}

bool TBodySink::Accept(std::string_view data) {
  if (FMaxBytes != 0 && data.size() > FMaxBytes - FBytes) {
    FTooLong = true;
    return false;
  }
  if (!FFile.Write(data)) {
#ifdef _WIN32
    FWriteError = "cannot write " + PathText(FFile.Path());
#else
    FWriteError = "cannot write " + PathText(FFile.Path()) + ": " + std::strerror(errno);
#endif
    return false;
  }
  FHash.Update(data);
  FBytes += data.size();
  return true;
}

bool TBodySink::AnnouncedFits(std::uint64_t bytes) {
  if (FMaxBytes != 0 && bytes > FMaxBytes) FTooLong = true;
  return !FTooLong;
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
  if (options.Deadline != steady_clock::time_point::max() && options.Deadline <= steady_clock::now())
    return Failed("no time left before the deadline");

#ifndef _WIN32
  // A replaced file keeps who may read, write and run it; set-id bits are
  // never carried over to a downloaded file.
  struct stat old {};
  const bool replaces = ::stat(destination.c_str(), &old) == 0 && S_ISREG(old.st_mode);
#endif

  TTempFile file(destination);
  if (!file.IsOpen()) return Failed("cannot create a file in " + PathText(destination.parent_path()) + ": " + file.Error());
#ifndef _WIN32
  if (replaces && !file.SetMode(old.st_mode & 0777))
    return Failed("cannot set the permissions of " + PathText(file.Path()) + ": " + std::strerror(errno));
#endif

  TBodySink sink(file, maxBytes);
  const auto transfer = Transfer({url, options.Deadline, options.CaFile}, sink);
  if (sink.TooLong()) return Failed("the file is longer than " + std::to_string(maxBytes) + " bytes");
  if (!sink.WriteError().empty()) return Failed(sink.WriteError());
  if (!transfer.Ok) return Failed(transfer.Error);
  if (sink.Bytes() == 0) return Failed("the server sent an empty file");
  if (options.Bytes && sink.Bytes() != *options.Bytes)
    return Failed("the file has " + std::to_string(sink.Bytes()) + " bytes, not " + std::to_string(*options.Bytes));
  if (!options.Sha256.empty() && !EqualNoCase(sink.HexDigest(), options.Sha256)) return Failed("SHA-256 does not match");

  if (!file.Commit()) return Failed("cannot store " + PathText(destination) + ": " + file.Error());
  return {true, {}};
}
