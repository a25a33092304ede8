#pragma once
// Saving (recovering) files and folder trees into a folder on another drive.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/Verdict.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"

namespace vantrel {

class TDirSelectDialog;
class IDirSelectDialogView;
class TFATDirectory;
class TFATFile;
class TFATdrive;
class TFSObject;
class TSaveChecks;
class TStatusDialog;

// One file a save wrote, for the recovery report.
struct TSavedFile {
  std::string Path;          // where it was written
  std::string OriginalPath;  // its path on the volume, folders joined by "\"
  std::uint64_t Size = 0;    // bytes written
  std::string Sha256;
  // The pieces of the file on the device: file offset, device byte offset, length.
  struct TRun {
    std::uint64_t FileOffset = 0, DeviceOffset = 0, Length = 0;
  };
  std::vector<TRun> Runs;
  std::uint8_t Status = 0, Condition = 0;
  TVerdict Verdict = vdNone;
  std::uint64_t BadOffset = 0;
  std::uint32_t StartCluster = 0;
  std::uint16_t Date = 0, Time = 0;  // of the entry (0: none)
  std::vector<TByteRange> Lost;      // bytes of the file that could not be read (saved as zeros)
};

// A file saved with sectors that could not be read: they were written as
// zeros, and Lost names the bytes of the file they held.
struct TDamagedFile {
  std::string Path;  // the saved file
  std::uint64_t Size = 0;
  std::vector<TByteRange> Lost;
  std::uint64_t LostBytes() const {
    std::uint64_t n = 0;
    for (const auto& r : Lost) n += r.Count;
    return n;
  }
};

// The first line of the list of damaged files shown at the end of a save.
extern const char* const kDamagedFilesHeader;

// "bytes 0-511, 4096-8191" (first and last byte of each range).
std::string LostRangesText(const std::vector<TByteRange>& lost);

// What one save command did, for the front end's summary.
struct TSaveReport {
  std::uint32_t FilesSaved = 0;
  std::uint32_t FilesSkipped = 0;  // existing files kept
  std::uint32_t FilesFailed = 0;   // not written, or deleted again
  std::uint32_t FilesWithUnreadableSectors = 0;
  // Those files, in the order they were saved. A file saved whole is never
  // among them.
  std::vector<TDamagedFile> Damaged;
  std::uint32_t FoldersFailed = 0;
  bool Stopped = false;  // the save ended early (No on a folder, no space, cancel)
  // Files whose size is more than the volume (or their chain) can hold,
  // saved only as far as that: "path (written of claimed bytes)".
  std::vector<std::string> Truncated;
  // Live files saved as consecutive clusters although their FAT chain is
  // not consecutive: their bytes are likely another file's.
  std::vector<std::string> NotConsecutive;
  // Folders left out of the walk: "path: reason".
  std::vector<std::string> FoldersSkipped;
  // Files whose bytes fail a check of their format: "path (offset n)".
  std::vector<std::string> FailedCheck;
  // Entries whose date cannot be, left with the save time (with KeepDates).
  std::uint32_t DatesImpossible = 0;
  // Every file written, in the order of the save.
  std::vector<TSavedFile> Saved;
  // Where the recovery report went; empty when none was written.
  std::string ReportPath;
  bool ReportFailed = false;
};

// The state of one save command: its two replace-all answers, its FAT choice,
// the progress dialog and the report.
struct TSaveContext {
  std::uint8_t FATChoice = 0;
  TStatusDialog* Dialog = nullptr;
  bool ReplaceAllFiles = false;
  bool ReplaceAllFolders = false;
  TSaveReport Report;
  // Folders this save made: a second folder of the same name (two deleted
  // folders that differ only in their deleted first letter) goes into the
  // first one without the question meant for folders that were there before.
  std::set<std::string> FoldersCreated;
  // Each folder of the disk is saved once, however many entries lead to it.
  TWalkGuard Walk;
  // Saved files and folders get their entries' dates.
  bool KeepDates = false;
  // Each saved file is noted in Report.Saved for the recovery report.
  bool Record = true;
  // Each saved file gets the verdict of its format's checks (off only to
  // measure what they cost).
  bool Check = true;
  // The checks run over the bytes the save wrote: the first KeptLimit bytes
  // of each file are kept in Kept as they are written, the rest is read back
  // from the saved file when the checks reach it.
  std::size_t KeptLimit = std::size_t{64} << 20;
  std::vector<std::uint8_t> Kept;
  // When set, the checks and the report's hash of each file run on its
  // workers beside the copy of the next files; their results are applied in
  // the order of the files by FinishSaveChecks (and as they come in).
  TSaveChecks* Checks = nullptr;
};

// A name from the disk made safe as one file name in the target folder: no
// separators, no "." or "..", no control characters or characters other
// systems refuse, at most 255 bytes. A crafted image cannot reach outside the
// chosen folder this way.
std::string SafeFileName(const std::string& name);

// Joins a folder and a file name with one "/".
std::string JoinPath(const std::string& folder, const std::string& name);

// Writes one file's data into folder; false when it could not be written.
bool SaveFileData(TFATFile& file, const std::string& folder, TSaveContext& context);
// False stops the whole save.
bool SaveFile(TFATFile& file, const std::string& folder, TSaveContext& context);
bool SaveFolder(TFATDirectory& folder, const std::string& target, TSaveContext& context, bool recursive,
                bool onlyDeleted, bool load, int depth = 0);

// Waits for the checks still running beside the copy and applies their
// results in the order the files were saved: verdicts, the list of files
// that failed them, the report's records. Nothing to do without Checks.
void FinishSaveChecks(TSaveContext& context);

// The save-to command for the selected items of one drive: asks for the
// folder and the FAT copy (no FAT preselected in the deleted view) and saves
// under the progress dialog.
TSaveReport SaveSelected(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                         TDirSelectDialog& dirDialog, IDirSelectDialogView& dirView, TStatusDialog& status);

// Where the save-to command writes: the folder (ending in "/") and the FAT
// copy chosen in the folder dialog.
struct TSaveTarget {
  std::string Folder;
  std::uint8_t FATChoice = 0;
  bool Refused = false;  // No to the warning that the folder lies on the examined device
};
// The two halves of SaveSelected: the questions (false when the user
// cancelled or refused), and the save under the progress dialog.
bool AskSaveTarget(TFATdrive& drive, bool deletedMode, TDirSelectDialog& dirDialog, IDirSelectDialogView& dirView,
                   TSaveTarget& chosen);
TSaveReport SaveSelectedTo(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                           const TSaveTarget& chosen, TStatusDialog& status);

}  // namespace vantrel
