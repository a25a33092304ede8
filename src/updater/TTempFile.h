#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string_view>

// A new file beside a target file, for content that must replace the target
// only once it is complete. The temporary file lies in the target's folder so
// that the final rename never crosses file systems; it is removed again
// unless Commit succeeds, also when the process is stopped by one of the
// signals RemoveTempFileOnSignals catches. One exists at a time.
class TTempFile {
public:
  explicit TTempFile(const std::filesystem::path& target);
  ~TTempFile();
  TTempFile(const TTempFile&) = delete;
  TTempFile& operator=(const TTempFile&) = delete;

  bool IsOpen() const { return FFd >= 0; }
  const std::filesystem::path& Path() const { return FPath; }

  bool Write(std::string_view data);
  bool SetMode(mode_t mode);
  // Flushes the content to disk, closes the file and renames it to the target.
  bool Commit();

private:
  std::filesystem::path FTarget;
  std::filesystem::path FPath;
  int FFd = -1;
  bool FCommitted = false;
};

// True for the name a TTempFile of any process gives its file
// (".<target>.<pid>-<n>.tmp").
bool IsTempFileName(std::string_view name);

// Removes the temporary files that runs stopped without warning (power cut,
// SIGKILL) left in folder; only for a caller that knows no other run is
// busy there. Returns how many were removed.
int RemoveStaleTempFiles(const std::filesystem::path& folder);

// SIGTERM, SIGINT and SIGHUP remove the current temporary file, then end
// the process as the signal would have.
void RemoveTempFileOnSignals();
