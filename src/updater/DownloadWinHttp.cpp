#include "DownloadTransfer.h"

#include "Ascii.h"
#include "Download.h"
#include "PathText.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono;

struct THttpDeleter {
  void operator()(void* handle) const { ::WinHttpCloseHandle(handle); }
};
using THttpHandle = std::unique_ptr<void, THttpDeleter>;

TTransferResult Failed(std::string why) { return {false, std::move(why)}; }

std::string LastError(std::string_view what) { return std::string(what) + ": " + WindowsErrorText(::GetLastError()); }

// The time left before the deadline in whole milliseconds for a WinHTTP
// time-out, at most cap; 0 when it has passed.
int MillisecondsLeft(steady_clock::time_point deadline, milliseconds cap) {
  if (deadline == steady_clock::time_point::max()) return static_cast<int>(cap.count());
  const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
  if (left <= 0ms) return 0;
  return static_cast<int>(std::min(left, cap).count());
}

std::wstring QueryHeader(HINTERNET request, DWORD header) {
  DWORD bytes = 0;
  ::WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!::WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
    return {};
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

bool IsRedirect(DWORD status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

}  // namespace

bool SetUpDownloads() { return true; }

void EndDownloads() {}

TTransferResult Transfer(const TTransferRequest& request, TBodySink& sink) {
  if (!request.CaFile.empty())
    return Failed("a certificate file is not used on Windows; add the certificate to the system's store");
  // Proxies as the system is set up for them.
  THttpHandle session(::WinHttpOpen(L"kobrel", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return Failed(LastError("cannot set up WinHTTP"));

  std::string url = request.Url;
  for (int redirects = 0;; ++redirects) {
    if (MillisecondsLeft(request.Deadline, 1ms) == 0) return Failed("no time left before the deadline");
    const auto wideUrl = WideFromUtf8(url);
    if (!wideUrl) return Failed("the address is not UTF-8");
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(wideUrl->c_str(), static_cast<DWORD>(wideUrl->size()), 0, &parts))
      return Failed(LastError("cannot read the address"));
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (!secure && parts.nScheme != INTERNET_SCHEME_HTTP) return Failed("not an http or https address");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) {
      // The query is sent, the fragment is not.
      std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
      object += extra.substr(0, extra.find(L'#'));
    }
    if (object.empty()) object = L"/";

    THttpHandle connection(::WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) return Failed(LastError("cannot connect to " + url));
    THttpHandle get(::WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    if (!get) return Failed(LastError("cannot prepare the request"));
    // Redirects are followed here, one by one, so that each is checked
    // against the same rules as on every other platform.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    if (!::WinHttpSetOption(get.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects))
      return Failed(LastError("WinHTTP cannot be kept from following redirects"));
    const int connectLeft = MillisecondsLeft(request.Deadline, 20s);
    const int receiveLeft = MillisecondsLeft(request.Deadline, 60s);
    if (connectLeft == 0 || receiveLeft == 0) return Failed("no time left before the deadline");
    ::WinHttpSetTimeouts(get.get(), connectLeft, connectLeft, receiveLeft, receiveLeft);

    if (!::WinHttpSendRequest(get.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(get.get(), nullptr))
      return Failed(MillisecondsLeft(request.Deadline, 1ms) == 0 ? std::string("no time left before the deadline")
                                                                 : LastError("cannot fetch " + url));
    DWORD status = 0;
    DWORD statusSize = sizeof status;
    if (!::WinHttpQueryHeaders(get.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX))
      return Failed(LastError("no HTTP status"));

    if (IsRedirect(status)) {
      if (redirects >= 5) return Failed("more than 5 redirects");
      const auto location = Utf8FromWide(QueryHeader(get.get(), WINHTTP_QUERY_LOCATION));
      const auto next = RedirectTarget(url, location);
      if (next.empty()) return Failed("refusing the redirect to \"" + location + "\"");
      url = next;
      continue;
    }
    if (status < 200 || status > 299) return Failed("HTTP status " + std::to_string(status));

    // An announced length above the limit is refused before the body comes.
    const auto length = Utf8FromWide(QueryHeader(get.get(), WINHTTP_QUERY_CONTENT_LENGTH));
    std::uint64_t announced = 0;
    const auto [end, ec] = std::from_chars(length.data(), length.data() + length.size(), announced);
    const bool known = !length.empty() && ec == std::errc{} && end == length.data() + length.size();
    if (known && !sink.AnnouncedFits(announced)) return Failed("the file is too long");

    std::vector<char> buffer(64 * 1024);
    for (;;) {
      // The deadline bounds a server that trickles; one that stays silent
      // for a minute is given up even before.
      const int left = MillisecondsLeft(request.Deadline, 60s);
      if (left == 0) return Failed("no time left before the deadline");
      ::WinHttpSetOption(get.get(), WINHTTP_OPTION_RECEIVE_TIMEOUT, const_cast<int*>(&left), sizeof left);
      // Only what has arrived is read: a read of more may wait until that
      // much has come, however long the server takes.
      DWORD available = 0;
      DWORD got = 0;
      if (!::WinHttpQueryDataAvailable(get.get(), &available) ||
          (available > 0 && !::WinHttpReadData(get.get(), buffer.data(),
                                               std::min(available, static_cast<DWORD>(buffer.size())), &got)))
        return Failed(MillisecondsLeft(request.Deadline, 1ms) == 0 ? std::string("no time left before the deadline")
                                                                   : LastError("the transfer broke off"));
      if (got == 0) break;
      if (!sink.Accept({buffer.data(), got})) return Failed("the transfer was stopped");
    }
    // A connection that ends before the announced length is a broken transfer.
    if (known && sink.Bytes() != announced)
      return Failed("the transfer broke off after " + std::to_string(sink.Bytes()) + " of " + std::to_string(announced) +
                    " bytes");
    return {true, {}};
  }
}
