#include "recovery/Saving.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/DebugLog.h"
#include "common/Routines.h"
#include "common/Sha256.h"
#include "devices/TDevice.h"
#include "diskio/DiskPlatform.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "host/RunSettings.h"
#include "host/UserInterface.h"
#include "recovery/FileDates.h"
#include "recovery/RecoveryReport.h"
#include "recovery/SaveChecks.h"
#include "recovery/SavedFileCheck.h"

#ifdef _WIN32
#include <windows.h>

#include "common/HostPath.h"
#endif

namespace vantrel {
namespace {

constexpr std::uint32_t kPieceSize = 65536;

void Restart(TSaveContext& context) {
  if (context.Dialog) context.Dialog->RestartTimeEstimate();
}

bool Cancelled(const TSaveContext& context) { return context.Dialog && context.Dialog->Cancelled; }

// A folder the walk does not enter: too deep, or its first cluster holds a
// folder saved already (a deleted folder whose cluster a live one took, or
// a loop).
void NoteSkippedFolder(const TFATDirectory& folder, const std::string& target, int depth, TSaveContext& context) {
  const std::string path = JoinPath(target, SafeFileName(DisplayNameOf(folder)));
  const std::string reason = depth > TFATDirectory::kMaxWalkDepth
                                 ? "目录层次过深"
                                 : Format("第一簇 %u 上的目录已保存过 (簇已被另一目录使用)", folder.StartCluster);
  context.Report.FoldersSkipped.push_back(path + ": " + reason);
}

// One message for a list of paths, the first few by name.
void ShowPathList(const std::string& text, const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  constexpr std::size_t kShown = 20;
  std::string message = text;
  for (std::size_t i = 0; i < paths.size() && i < kShown; ++i) message += "\r" + paths[i];
  if (paths.size() > kShown) message += "\r... (" + std::to_string(paths.size()) + ")";
  ShowMessageBox(message, "", TMsgType::mtWarning);
}

#ifdef _WIN32

// The kind of what is at path, a link counted as itself: 0 none, 1 directory,
// 2 regular file, 3 anything else (a symbolic link, a junction or any other
// reparse point).
int PathKind(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(Utf8ToWide(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return 3;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 1;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return 3;
  return 2;
}

bool MakeFolder(const std::string& path) { return ::CreateDirectoryW(Utf8ToWide(path).c_str(), nullptr) != 0; }

void RemoveFile(const std::string& path) { ::DeleteFileW(Utf8ToWide(path).c_str()); }

// A file of the target folder open for writing.
class TTargetFile {
 public:
  ~TTargetFile() { Close(); }
  // A new file, or an existing regular file emptied. A link, a reparse point
  // or a file with a second name elsewhere is never opened for writing.
  bool Open(const std::string& path) {
    const std::wstring name = Utf8ToWide(path);
    handle_ = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle_ != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return handle_ != INVALID_HANDLE_VALUE;
    handle_ = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle_, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || info.nNumberOfLinks != 1 ||
        ::GetFileType(handle_) != FILE_TYPE_DISK || !::SetEndOfFile(handle_)) {
      Close();
      return false;
    }
    return true;
  }
  bool Write(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
      if (!::WriteFile(handle_, data, chunk, &written, nullptr) || written == 0) return false;
      data += written;
      size -= written;
    }
    return true;
  }
  bool Close() {
    if (handle_ == INVALID_HANDLE_VALUE) return true;
    const bool ok = ::CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

#else

// lstat without following a symbolic link: 0 none, 1 directory, 2 regular file, 3 anything else.
int PathKind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return 1;
  if (S_ISREG(st.st_mode)) return 2;
  return 3;
}

bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0; }

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

// A file of the target folder open for writing.
class TTargetFile {
 public:
  ~TTargetFile() { Close(); }
  // Never through a symbolic link planted in the target folder.
  bool Open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd_ >= 0;
  }
  bool Write(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }

 private:
  int fd_ = -1;
};

#endif

std::string DeviceNameOf(const TFATdrive& drive) {
  if (!drive.Device) return "";
  return drive.Device->Kind == dkBIOS ? DiskPlatform().PhysicalDeviceName(drive.Device->Number)
                                      : DiskPlatform().LogicalDeviceName(drive.Device->Number);
}

}  // namespace

std::string SafeFileName(const std::string& name) {
  std::string out;
  std::size_t pos = 0;
  while (pos < name.size()) {
    const std::size_t len = Utf8SequenceLength(name, pos);
    if (len == 0) {  // a byte that is not UTF-8
      out += '_';
      ++pos;
      continue;
    }
    if (len > 1) {
      out.append(name, pos, len);
      pos += len;
      continue;
    }
    const char c = name[pos++];
    const bool refused = static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == '\\' ||
                         c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|';
    out += refused ? '_' : c;
  }
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() + 1, '_');
#ifdef _WIN32
  // Windows drops the trailing dots and blanks of a name, and CON, PRN, AUX,
  // NUL, COM1..COM9 and LPT1..LPT9 (with any extension) name devices there.
  for (auto it = out.rbegin(); it != out.rend() && (*it == '.' || *it == ' '); ++it) *it = '_';
  std::string stem = out.substr(0, out.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  const bool numbered = stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) &&
                        stem[3] >= '1' && stem[3] <= '9';
  if (numbered || stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") out.insert(0, "_");
#endif
  if (out.size() > 255) {
    std::size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

const char* const kDamagedFilesHeader = "以下文件含有无法读取的扇区, 已保存, 无法读取的部分用零填充 (丢失的字节):";

std::string LostRangesText(const std::vector<TByteRange>& lost) {
  std::string text = "bytes ";
  for (std::size_t i = 0; i < lost.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(lost[i].First) + "-" + std::to_string(lost[i].First + lost[i].Count - 1);
  }
  return text;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

namespace {

// A lost file read as the search read it keeps the verdict the search
// found for these same bytes; any other is checked when it is saved.
bool CheckedWhenSaved(const TFATFile& file, const TSaveContext& context) {
  return context.Check && (file.Status != isLost || context.FATChoice != 0 || file.Verdict == vdNone);
}

// The part of a saved file's note that needs nothing of its checks, done on
// the saving thread as soon as the file is written: its date when asked for,
// and its record for the report, whose byte runs are read from the volume.
void PrepareNote(TFATFile& file, TSaveCheckJob& job, std::uint8_t choice, TSaveContext& context) {
  TFATdrive& drive = *file.FATDrive();
  if (context.KeepDates && file.Status != isLost && !SetFATModificationTime(job.Path, file.Date, file.Time))
    ++context.Report.DatesImpossible;
  if (!job.Record) return;
  TSavedFile& saved = job.Saved;
  saved.Path = job.Path;
  // The path on the volume from its root ("\\DOCS\\A.TXT"); a lost file,
  // which has none, is named by where the search put it.
  const TCustomDirectory* top = file.Parent;
  while (top && top->Parent) top = top->Parent;
  const std::string folder = file.GetPath(file.Status == isLost ? nullptr : top);
  saved.OriginalPath = (file.Status == isLost ? "" : "\\") + (folder.empty() ? "" : folder + "\\") + DisplayNameOf(file);
  saved.Size = job.Written;
  // The clusters the file was read from, through the choice used for it.
  saved.Runs = FileRuns(drive, file.StartCluster, job.Written, choice);
  saved.Lost = job.Lost;
  saved.Status = file.Status;
  saved.Condition = file.Condition;
  saved.StartCluster = file.StartCluster;
  saved.Date = file.Date;
  saved.Time = file.Time;
}

// The rest once the file's checks are done, in the order the files were
// saved: its verdict, the list of files that failed their checks, and its
// record for the report.
void ApplyNote(TSaveCheckJob& job, TSaveContext& context) {
  TFATFile& file = *job.File;
  if (job.Check) {
    file.Verdict = job.Extent.Verdict;
    file.BadOffset = job.Extent.BadOffset;
  }
  // Sectors that could not be read, and a file cut short by its chain or
  // the volume, say more than any check of the bytes.
  if (job.Truncated) file.Verdict = vdCut;
  if (!job.Lost.empty()) file.Verdict = vdUnreadable;
  if (file.Verdict == vdDamaged)
    context.Report.FailedCheck.push_back(job.Path + " (偏移 " + std::to_string(file.BadOffset) + ")");
  if (!job.Record) return;
  if (job.Hash) job.Saved.Sha256 = std::move(job.Sha256);
  job.Saved.Verdict = file.Verdict;
  job.Saved.BadOffset = file.BadOffset;
  context.Report.Saved.push_back(std::move(job.Saved));
}

// The results of the checks done so far, up to the first still running.
void ApplyFinishedChecks(TSaveContext& context) {
  while (auto job = context.Checks->TakeNext(false)) ApplyNote(*job, context);
}

}  // namespace

bool SaveFileData(TFATFile& file, const std::string& folder, TSaveContext& context) {
  TFATdrive& drive = *file.FATDrive();
  TFATCursor cursor;
  // No file holds more than its volume (or its chain) can: a larger size
  // read from the disk is saved only as far as that.
  const std::uint8_t choice = ItemFATChoice(drive, file, context.FATChoice);
  const std::uint32_t size = ItemReadableSize(drive, file, context.FATChoice);
  InitCursor(cursor, file.StartCluster, size);
  const std::string path = JoinPath(folder, SafeFileName(DisplayNameOf(file)));
  if (context.Dialog) {
    context.Dialog->SetTexts("正在保存文件...", "文件: " + ShortenPath(path, 30), "", "", "");
    ProcessMessages();
  }
  auto writeFailed = [&] {
    RemoveFile(path);
    ShowMessageBox("无法写入目标文件: " + path + "!", "", TMsgType::mtWarning);
    Restart(context);
    ++context.Report.FilesFailed;
    return false;
  };
  // Never write through a link planted in the target folder.
  const int kind = PathKind(path);
  if (kind != 0 && kind != 2) {
    ShowMessageBox("无法写入目标文件: " + path + "!", "", TMsgType::mtWarning);
    Restart(context);
    ++context.Report.FilesFailed;
    return false;
  }
  // A file saved again (the same entry, or another of the same name) waits
  // for the checks of the first one, which may read that path back.
  const bool beside = context.Checks != nullptr;
  if (beside && context.Checks->Holds(path, &file)) FinishSaveChecks(context);
  TTargetFile out;
  if (!out.Open(path)) return writeFailed();

  std::vector<std::uint8_t> buffer(kPieceSize);
  const bool checked = CheckedWhenSaved(file, context);
  // Beside the copy, a file the kept bytes hold whole is hashed by the
  // worker that checks it.
  const bool hashLater = beside && context.Record && size <= context.KeptLimit;
  // The file's first bytes, for the checks of its format after the save.
  std::vector<std::uint8_t> ownKept;
  std::vector<std::uint8_t>& kept = beside ? ownKept : context.Kept;
  kept.clear();
  const bool keep = size > 0 && (checked || hashLater);
  std::size_t room = std::min<std::size_t>(size, context.KeptLimit);
  if (keep && beside) {
    // Buffers in powers of two, so that those the workers hand back fit
    // the next files and no fresh memory is needed for each.
    std::size_t rounded = 65536;
    while (rounded < room) rounded *= 2;
    room = std::min(rounded, context.KeptLimit);
    kept = context.Checks->SpareBuffer(room);
  }
  if (keep) kept.reserve(room);
  TSha256 digest;
  std::uint64_t written = 0;
  bool readFailed = false, writeError = false;
  for (;;) {
    std::uint32_t delivered = 0;
    const bool ok = ReadFileData(drive, cursor, kPieceSize, delivered, choice, buffer.data());
    if (context.Dialog) {
      context.Dialog->Step = delivered;
      context.Dialog->StepIt();
    }
    if (!ok) {
      ShowMessageBox("无法读取源文件! (设备:" + (drive.Device ? drive.Device->Name : std::string()) +
                         ", 蔟:" + std::to_string(file.StartCluster) + ", 大小: " + std::to_string(file.Size) + ")",
                     "", TMsgType::mtWarning);
      Restart(context);
      readFailed = true;
      break;
    }
    if (delivered > 0 && !out.Write(buffer.data(), delivered)) {
      writeError = true;
      break;
    }
    if (context.Record && !hashLater) digest.Update(buffer.data(), delivered);  // for the report only
    if (keep && kept.size() < context.KeptLimit)
      kept.insert(kept.end(), buffer.begin(), buffer.begin() + std::min<std::size_t>(delivered, context.KeptLimit - kept.size()));
    written += delivered;
    if (delivered == 0 || cursor.Pos >= cursor.Size || Cancelled(context)) break;
  }
  if (!out.Close()) writeError = true;
  if (writeError) return writeFailed();
  if (readFailed || Cancelled(context)) {
    RemoveFile(path);
    ++context.Report.FilesFailed;
    return false;
  }
  // A file larger than 4 GiB on exFAT is saved as far as the model reaches
  // and named with the cut ones.
  if (size < file.RecordedSize())
    context.Report.Truncated.push_back(path + " (" + std::to_string(size) + " / " +
                                       std::to_string(file.RecordedSize()) + ")");
  if (choice == 0 && file.Status == isNormal && drive.FATChoice >= 1 &&
      ChainLeavesConsecutive(drive, file.StartCluster, file.Size, drive.FATChoice))
    context.Report.NotConsecutive.push_back(path);
  if (cursor.FailedSectors > 0) {
    // Named in the report at the end of the save, with the bytes it lost.
    ++context.Report.FilesWithUnreadableSectors;
    TDamagedFile damaged;
    damaged.Path = path;
    damaged.Size = size;
    damaged.Lost = cursor.Lost;
    // Zeros without an unreadable sector behind them: the file has no cluster to read.
    if (damaged.Lost.empty()) damaged.Lost.push_back({0, size});
    context.Report.Damaged.push_back(std::move(damaged));
  }
  ++context.Report.FilesSaved;
  auto job = std::make_unique<TSaveCheckJob>();
  job->File = &file;
  job->Path = path;
  job->ClusterSize = drive.BytesPerCluster;
  job->Written = written;
  job->Check = checked;
  job->Truncated = size < file.RecordedSize();
  if (cursor.FailedSectors > 0) job->Lost = cursor.Lost.empty() ? std::vector<TByteRange>{{0, size}} : cursor.Lost;
  job->Record = context.Record;
  PrepareNote(file, *job, choice, context);
  if (context.Record && !hashLater) job->Saved.Sha256 = digest.HexDigest();
  if (beside) {
    job->Kept = std::move(ownKept);
    job->Hash = hashLater;
    context.Checks->Submit(std::move(job));
    ApplyFinishedChecks(context);
  } else {
    if (checked)
      job->Extent = CheckSavedFile(path, drive.BytesPerCluster, written, context.Kept.data(), context.Kept.size());
    ApplyNote(*job, context);
  }
  return true;
}

bool SaveFile(TFATFile& file, const std::string& folder, TSaveContext& context) {
  const std::string name = SafeFileName(DisplayNameOf(file));
  const std::string path = JoinPath(folder, name);
  if (!context.ReplaceAllFiles && PathKind(path) != 0) {
    const TMsgResult answer = ShowMessageBox(Format("此文件夹已包含一个名为 '%s'.", path.c_str()) + "\r\r确实要替换现有的文件?",
                                             "", TMsgType::mtConfirmation, TMsgButtons::mbYesNoAll);
    Restart(context);
    if (answer == TMsgResult::mrNo || answer == TMsgResult::mrCancel) {
      ++context.Report.FilesSkipped;
      return true;
    }
    if (answer == TMsgResult::mrAll) context.ReplaceAllFiles = true;
  }
  if (!IsRemotePath(folder) &&
      GetFreeBytes(folder) < ItemReadableSize(*file.FATDrive(), file, context.FATChoice)) {
    ShowMessageBox(Format("无法保存文件 %s. 没有足够的空间在驱动器 %s.", name.c_str(), DriveRootOf(folder).c_str()), "",
                   TMsgType::mtError);
    ++context.Report.FilesFailed;
    context.Report.Stopped = true;
    return false;
  }
  SaveFileData(file, folder, context);
  return true;
}

namespace {

enum class TFolderStep { Save, Skip, Stop };

// Makes the folder of path for a folder of the disk, or asks before writing
// into one that was there before: Save goes on into it, Skip leaves it out
// (it could not be made), Stop ends the save.
TFolderStep MakeTargetFolder(const std::string& path, const std::string& displayName, TSaveContext& context) {
  const int kind = PathKind(path);
  bool usable = true;
  if (kind == 0) {
    if (!MakeFolder(path)) {
      ShowMessageBox("Could not create directory: " + path + "!", "", TMsgType::mtWarning);
      ++context.Report.FoldersFailed;
    } else {
      context.FoldersCreated.insert(path);
    }
  } else if (kind != 1) {
    // A file or a link of that name: nothing is written through it.
    ShowMessageBox("Could not create directory: " + path + "!", "", TMsgType::mtWarning);
    ++context.Report.FoldersFailed;
    usable = false;
  } else if (!context.ReplaceAllFolders && !context.FoldersCreated.count(path)) {
    const TMsgResult answer =
        ShowMessageBox(Format("此文件夹已包含一个名为文件夹 '%s'", displayName.c_str()) + "\r\r, " + "确实要替换现有的文件?",
                       "", TMsgType::mtConfirmation, TMsgButtons::mbYesNoAll);
    Restart(context);
    if (answer == TMsgResult::mrNo || answer == TMsgResult::mrCancel) {
      context.ReplaceAllFiles = false;
      context.Report.Stopped = true;
      return TFolderStep::Stop;
    }
    context.ReplaceAllFiles = true;
    if (answer == TMsgResult::mrAll) context.ReplaceAllFolders = true;
  }
  return usable ? TFolderStep::Save : TFolderStep::Skip;
}

}  // namespace

bool SaveFolder(TFATDirectory& folder, const std::string& target, TSaveContext& context, bool recursive,
                bool onlyDeleted, bool load, int depth) {
  if (Cancelled(context)) {
    context.Report.Stopped = true;
    return false;
  }
  const std::string displayName = DisplayNameOf(folder);
  const std::string path = JoinPath(target, SafeFileName(displayName));
  const TFolderStep step = MakeTargetFolder(path, displayName, context);
  if (step == TFolderStep::Stop) return false;
  if (step == TFolderStep::Skip) return true;

  bool loadedHere = false;
  if (!folder.Items) {
    folder.LoadChildren(load, onlyDeleted);
    loadedHere = true;
  }
  Restart(context);
  bool result = true;
  for (std::size_t i = 0; folder.Items && i < folder.Items->size(); ++i) {
    TFSObject* child = (*folder.Items)[i].get();
    if (!child->IsDirectory()) {
      result = SaveFile(*static_cast<TFATFile*>(child), path, context);
    } else if (recursive) {
      auto& sub = *static_cast<TFATDirectory*>(child);
      if (!context.Walk.MayEnter(sub, depth + 1)) {
        NoteSkippedFolder(sub, path, depth + 1, context);
        continue;
      }
      result = SaveFolder(sub, path, context, recursive, onlyDeleted, load, depth + 1);
    }
    if (!result || Cancelled(context)) break;
  }
  if (loadedHere) {
    // The checks beside the copy give their verdicts to these items.
    FinishSaveChecks(context);
    folder.Items.reset();
  }
  if (Cancelled(context)) context.Report.Stopped = true;
  // Last, after everything written into it.
  if (context.KeepDates && folder.Status != isLost && !SetFATModificationTime(path, folder.Date, folder.Time))
    ++context.Report.DatesImpossible;
  return result;
}

void FinishSaveChecks(TSaveContext& context) {
  if (!context.Checks) return;
  while (auto job = context.Checks->TakeNext(true)) ApplyNote(*job, context);
}

namespace {

// The bytes of the files among the selected items and in their folder trees,
// for the progress bar; stops counting when the user cancels.
// What the save will write: no file more than its chain or the volume holds.
std::uint64_t CountSaveBytes(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                             std::uint8_t fatChoice, TStatusDialog& status) {
  std::uint64_t total = 0;
  for (TFSObject* item : selected) {
    if (status.Cancelled) break;
    if (!item->IsDirectory()) {
      auto* file = static_cast<TFATFile*>(item);
      total += ItemReadableSize(drive, *file, fatChoice);
      continue;
    }
    static_cast<TFATDirectory*>(item)->ForEach(
        [&](TFSObject* child, int) {
          if (child->IsDirectory()) {
            ProcessMessages();
          } else {
            auto* file = static_cast<TFATFile*>(child);
            total += ItemReadableSize(drive, *file, fatChoice);
          }
          return !status.Cancelled;
        },
        deletedMode, 0, true, deletedMode);
  }
  return total;
}

}  // namespace

TSaveReport SaveSelected(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                         TDirSelectDialog& dirDialog, IDirSelectDialogView& dirView, TStatusDialog& status) {
  TSaveTarget target;
  if (!AskSaveTarget(drive, deletedMode, dirDialog, dirView, target)) {
    TSaveReport none;
    none.Stopped = target.Refused;
    return none;
  }
  return SaveSelectedTo(drive, selected, deletedMode, target, status);
}

bool AskSaveTarget(TFATdrive& drive, bool deletedMode, TDirSelectDialog& dirDialog, IDirSelectDialogView& dirView,
                   TSaveTarget& chosen) {
  chosen = TSaveTarget{};
  // Deleted items follow the clusters the FAT marks free where there is a
  // FAT to tell them, consecutive clusters where there is none.
  const std::uint8_t deletedChoice = (drive.Flags & dfNoFAT) ? 0 : kFATChoiceFree;
  dirDialog.FillFATChoices(static_cast<int>(drive.NumberOfFATs), deletedMode ? deletedChoice : drive.FATChoice);
  if (!dirDialog.Execute(dirView)) return false;
  std::string target = dirDialog.Folder;
  if (target.empty() || target.back() != '/') target += '/';

  // Writing to the disk being examined can overwrite what is to be recovered.
  if (DiskPlatform().PathLiesOnDevice(target, DeviceNameOf(drive))) {
    const TMsgResult answer = ShowMessageBox(
        "目标文件夹 " + target + " 位于正在检查的设备上。写入可能会覆盖要恢复的数据！\r\r是否继续?", "警告",
        TMsgType::mtWarning, TMsgButtons::mbYesNo);
    if (answer != TMsgResult::mrYes) {
      chosen.Refused = true;
      return false;
    }
  }
  chosen.Folder = target;
  chosen.FATChoice = dirDialog.FATIndex;
  return true;
}

TSaveReport SaveSelectedTo(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                           const TSaveTarget& chosen, TStatusDialog& status) {
  TSaveContext context;
  context.FATChoice = chosen.FATChoice;
  context.Dialog = &status;
  context.KeepDates = RunSettings().KeepDates;
  context.Record = RunSettings().WriteReport;
  // The save benchmark measures the checks' cost against a save without them.
  context.Check = std::getenv("VANTREL_SAVE_NO_CHECKS") == nullptr;
  // The checks and the report's hashes run beside the copy (one file at a
  // time on the saving thread only to measure what that gains).
  std::unique_ptr<TSaveChecks> checks;
  if ((context.Check || context.Record) && std::getenv("VANTREL_SAVE_SERIAL_CHECKS") == nullptr) {
    checks = std::make_unique<TSaveChecks>();
    context.Checks = checks.get();
  }
  const std::string& target = chosen.Folder;

  status.Init("Saving files...", "Preparing for saving...", "", "", "", true, true);
  status.Show();
  status.Total = CountSaveBytes(drive, selected, deletedMode, context.FATChoice, status);
  status.RefreshInterval = 0;
  for (TFSObject* item : selected) {
    if (status.Cancelled) break;
    bool result;
    if (!item->IsDirectory())
      result = SaveFile(*static_cast<TFATFile*>(item), target, context);
    else if (!context.Walk.MayEnter(*static_cast<TFATDirectory*>(item), 0)) {
      NoteSkippedFolder(*static_cast<TFATDirectory*>(item), target, 0, context);
      continue;
    }
    else
      result = SaveFolder(*static_cast<TFATDirectory*>(item), target, context, true, deletedMode, deletedMode);
    if (!result) break;
  }
  // Every verdict and record in before anything reads them.
  FinishSaveChecks(context);
  if (status.Cancelled) context.Report.Stopped = true;
  if (RunSettings().WriteReport && !context.Report.Saved.empty()) {
    // The record of the save; one that cannot be written costs no saved file.
    const std::string reportPath =
        RunSettings().ReportFile.empty() ? JoinPath(target, "report.xml") : RunSettings().ReportFile;
    const std::string device = DeviceNameOf(drive).empty() && drive.Device ? drive.Device->Name : DeviceNameOf(drive);
    if (WriteRecoveryReport(reportPath, drive, device, context.FATChoice, context.Report)) {
      context.Report.ReportPath = reportPath;
    } else {
      context.Report.ReportFailed = true;
      ShowMessageBox("无法写入恢复报告: " + reportPath + "!", "", TMsgType::mtWarning);
    }
  }
  status.Hide();
  ShowPathList("以下文件的大小超过卷 (或其簇链) 所能容纳的, 只保存了能容纳的部分 (已写入 / 目录项中的字节数):",
               context.Report.Truncated);
  ShowPathList("以下文件的FAT簇链不连续, 按 \"no FAT (consecutive)\" 保存的内容可能属于其他文件:",
               context.Report.NotConsecutive);
  ShowPathList("以下目录未保存:", context.Report.FoldersSkipped);
  ShowPathList("以下文件的内容未通过其格式的校验 (已损坏, 可能含有其他文件的簇):", context.Report.FailedCheck);
  std::vector<std::string> damaged;
  for (const auto& d : context.Report.Damaged) damaged.push_back(d.Path + " (" + LostRangesText(d.Lost) + ")");
  ShowPathList(kDamagedFilesHeader, damaged);
  return context.Report;
}

}  // namespace vantrel
