#pragma once

// The part of a download that speaks HTTP, one for each platform (libcurl,
// WinHTTP). DownloadFile around it holds the rules that do not depend on
// the client: limits, the temporary file, the checks before it is kept.

#include "Sha256.h"
#include "TTempFile.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// Where the body goes: into the temporary file and the hash, up to a size
// limit.
class TBodySink {
public:
  TBodySink(TTempFile& file, std::uint64_t maxBytes) : FFile(file), FMaxBytes(maxBytes) {}
  // False when the transfer must stop: the body is too long or the file
  // cannot be written.
  bool Accept(std::string_view data);
  // The server announced a body of this many bytes.
  bool AnnouncedFits(std::uint64_t bytes);

  std::uint64_t MaxBytes() const { return FMaxBytes; }
  std::uint64_t Bytes() const { return FBytes; }
  bool TooLong() const { return FTooLong; }
  const std::string& WriteError() const { return FWriteError; }
  std::string HexDigest() { return FHash.HexDigest(); }

private:
  TTempFile& FFile;
  std::uint64_t FMaxBytes;  // 0: no limit
  std::uint64_t FBytes = 0;
  bool FTooLong = false;
  std::string FWriteError;
  TSha256 FHash;
};

struct TTransferRequest {
  std::string Url;
  std::chrono::steady_clock::time_point Deadline;  // max(): none
  std::string CaFile;
};

struct TTransferResult {
  bool Ok = false;
  std::string Error;
};

// One GET of request.Url with its body handed to sink; follows up to five
// redirects, each only to where RedirectTarget allows, and gives up at the
// deadline. Ok only for a final 2xx status with the whole body taken.
TTransferResult Transfer(const TTransferRequest& request, TBodySink& sink);
