#include "recovery/FileDates.h"

#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <windows.h>

#include "common/HostPath.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace vantrel {

namespace {

struct TParts {
  int year, month, day, hour, minute, second;
};

TParts Split(std::uint16_t date, std::uint16_t time) {
  return {1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2};
}

}  // namespace

bool FATDateIsValid(std::uint16_t date, std::uint16_t time) {
  if (date == 0) return false;
  const TParts p = Split(date, time);
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (p.month < 1 || p.month > 12 || p.day < 1 || p.day > kDays[p.month - 1]) return false;
  const bool leap = (p.year % 4 == 0 && p.year % 100 != 0) || p.year % 400 == 0;
  if (p.month == 2 && p.day == 29 && !leap) return false;
  return p.hour < 24 && p.minute < 60 && p.second < 60;
}

std::string FATDateIso(std::uint16_t date, std::uint16_t time) {
  if (!FATDateIsValid(date, time)) return "";
  const TParts p = Split(date, time);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                p.second);
  return text;
}

bool SetFATModificationTime(const std::string& path, std::uint16_t date, std::uint16_t time) {
  if (!FATDateIsValid(date, time)) return false;
  const TParts p = Split(date, time);
#ifdef _WIN32
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(p.year);
  local.wMonth = static_cast<WORD>(p.month);
  local.wDay = static_cast<WORD>(p.day);
  local.wHour = static_cast<WORD>(p.hour);
  local.wMinute = static_cast<WORD>(p.minute);
  local.wSecond = static_cast<WORD>(p.second);
  SYSTEMTIME utc{};
  FILETIME when{};
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&utc, &when)) return false;
  const HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::SetFileTime(h, nullptr, &when, &when) != 0;
  ::CloseHandle(h);
  return ok;
#else
  std::tm t{};
  t.tm_year = p.year - 1900;
  t.tm_mon = p.month - 1;
  t.tm_mday = p.day;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  t.tm_isdst = -1;
  const std::time_t when = std::mktime(&t);
  if (when == static_cast<std::time_t>(-1)) return false;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = when;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

}  // namespace vantrel
