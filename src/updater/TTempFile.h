#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <filesystem>
#include <string>
#include <string_view>

// A new file beside a target file, for content that must replace the target
// only once it is complete. The temporary file lies in the target's folder so
// that the final rename never crosses file systems; it is removed again
// unless Commit succeeds, also when the process is stopped by one of the
// signals (on Windows: console events) RemoveTempFileOnSignals catches, and
// on Windows however the process ends. One exists at a time.
class TTempFile {
public:
  explicit TTempFile(const std::filesystem::path& target);
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  bool IsOpen() const;
  const std::filesystem::path& Path() const { return FPath; }
  // Why the last operation failed.
  const std::string& Error() const { return FError; }

  bool Write(std::string_view data);
#ifndef _WIN32
  bool SetMode(mode_t mode);
#endif
  // Flushes the content to disk, closes the file and renames it to the target.
  bool Commit();

private:
  std::filesystem::path FTarget;
  std::filesystem::path FPath;
#ifdef _WIN32
  void* FHandle = nullptr;  // a HANDLE; null when closed
#else
  int FFd = -1;
#endif
  bool FCommitted = false;
  std::string FError;
};

// True for the name a TTempFile of any process gives its file
// (".<target>.<pid>-<n>.tmp").
bool IsTempFileName(std::string_view name);

// Removes the temporary files that runs stopped without warning (power cut,
// SIGKILL) left in folder; only for a caller that knows no other run is
// busy there. Returns how many were removed.
int RemoveStaleTempFiles(const std::filesystem::path& folder);

// SIGTERM, SIGINT and SIGHUP remove the current temporary file, then end
// the process as the signal would have. On Windows the console's Ctrl+C,
// Ctrl+Break, close, log-off and shut-down events do the same.
void RemoveTempFileOnSignals();
