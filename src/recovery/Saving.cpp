#include "recovery/Saving.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/DebugLog.h"
#include "common/Routines.h"
#include "devices/TDevice.h"
#include "diskio/DiskPlatform.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/TStatusDialog.h"
#include "host/UserInterface.h"

namespace vantrel {
namespace {

constexpr std::uint32_t kPieceSize = 65536;

void Restart(TSaveContext& context) {
  if (context.Dialog) context.Dialog->RestartTimeEstimate();
}

bool Cancelled(const TSaveContext& context) { return context.Dialog && context.Dialog->Cancelled; }

// lstat without following a symbolic link: 0 none, 1 directory, 2 regular file, 3 anything else.
int PathKind(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  if (S_ISDIR(st.st_mode)) return 1;
  if (S_ISREG(st.st_mode)) return 2;
  return 3;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
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
  if (out.size() > 255) {
    std::size_t cut = 255;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool SaveFileData(TFATFile& file, const std::string& folder, TSaveContext& context) {
  TFATdrive& drive = *file.FATDrive();
  TFATCursor cursor;
  InitCursor(cursor, file.StartCluster, file.Size);
  const std::string path = JoinPath(folder, SafeFileName(DisplayNameOf(file)));
  if (context.Dialog) {
    context.Dialog->SetTexts("正在保存文件...", "文件: " + ShortenPath(path, 30), "", "", "");
    ProcessMessages();
  }
  auto writeFailed = [&] {
    ::unlink(path.c_str());
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
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return writeFailed();

  std::vector<std::uint8_t> buffer(kPieceSize);
  bool readFailed = false, writeError = false;
  for (;;) {
    std::uint32_t delivered = 0;
    const bool ok = ReadFileData(drive, cursor, kPieceSize, delivered, context.FATChoice, buffer.data());
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
    if (delivered > 0 && !WriteAll(fd, buffer.data(), delivered)) {
      writeError = true;
      break;
    }
    if (delivered == 0 || cursor.Pos >= cursor.Size || Cancelled(context)) break;
  }
  if (::close(fd) != 0) writeError = true;
  if (writeError) return writeFailed();
  if (readFailed || Cancelled(context)) {
    ::unlink(path.c_str());
    ++context.Report.FilesFailed;
    return false;
  }
  if (cursor.FailedSectors > 0) {
    ShowMessageBox("部分扇区无法读取，已用零填充: " + path + " (" + std::to_string(cursor.FailedSectors) + " 扇区)", "",
                   TMsgType::mtWarning);
    Restart(context);
    ++context.Report.FilesWithUnreadableSectors;
  }
  ++context.Report.FilesSaved;
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
  if (!IsRemotePath(folder) && GetFreeBytes(folder) < file.Size) {
    ShowMessageBox(Format("无法保存文件 %s. 没有足够的空间在驱动器 %s.", name.c_str(), DriveRootOf(folder).c_str()), "",
                   TMsgType::mtError);
    ++context.Report.FilesFailed;
    context.Report.Stopped = true;
    return false;
  }
  SaveFileData(file, folder, context);
  return true;
}

bool SaveFolder(TFATDirectory& folder, const std::string& target, TSaveContext& context, bool recursive,
                bool onlyDeleted, bool load, int depth) {
  if (Cancelled(context)) {
    context.Report.Stopped = true;
    return false;
  }
  const std::string displayName = DisplayNameOf(folder);
  const std::string path = JoinPath(target, SafeFileName(displayName));
  const int kind = PathKind(path);
  bool usable = true;
  if (kind == 0) {
    if (::mkdir(path.c_str(), 0755) != 0) {
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
      return false;
    }
    context.ReplaceAllFiles = true;
    if (answer == TMsgResult::mrAll) context.ReplaceAllFolders = true;
  }
  if (!usable) return true;

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
      if (!context.Walk.MayEnter(sub, depth + 1)) continue;
      result = SaveFolder(sub, path, context, recursive, onlyDeleted, load, depth + 1);
    }
    if (!result || Cancelled(context)) break;
  }
  if (loadedHere) folder.Items.reset();
  if (Cancelled(context)) context.Report.Stopped = true;
  return result;
}

TSaveReport SaveSelected(TFATdrive& drive, const std::vector<TFSObject*>& selected, bool deletedMode,
                         TDirSelectDialog& dirDialog, IDirSelectDialogView& dirView, TStatusDialog& status) {
  TSaveReport none;
  dirDialog.FillFATChoices(static_cast<int>(drive.NumberOfFATs), deletedMode ? 0 : drive.FATChoice);
  if (!dirDialog.Execute(dirView)) return none;
  TSaveContext context;
  context.FATChoice = dirDialog.FATIndex;
  context.Dialog = &status;
  std::string target = dirDialog.Folder;
  if (target.empty() || target.back() != '/') target += '/';

  // Writing to the disk being examined can overwrite what is to be recovered.
  if (DiskPlatform().PathLiesOnDevice(target, DeviceNameOf(drive))) {
    const TMsgResult answer = ShowMessageBox(
        "目标文件夹 " + target + " 位于正在检查的设备上。写入可能会覆盖要恢复的数据！\r\r是否继续?", "警告",
        TMsgType::mtWarning, TMsgButtons::mbYesNo);
    if (answer != TMsgResult::mrYes) {
      none.Stopped = true;
      return none;
    }
  }

  status.Init("Saving files...", "Preparing for saving...", "", "", "", true, true);
  status.Show();
  std::uint64_t total = 0;
  for (TFSObject* item : selected) {
    if (status.Cancelled) break;
    if (!item->IsDirectory()) {
      total += static_cast<TFATFile*>(item)->Size;
      continue;
    }
    static_cast<TFATDirectory*>(item)->ForEach(
        [&](TFSObject* child, int) {
          if (child->IsDirectory()) {
            ProcessMessages();
          } else {
            total += static_cast<TFATFile*>(child)->Size;
          }
          return !status.Cancelled;
        },
        deletedMode, 0, true, deletedMode);
  }
  status.Total = total;
  status.RefreshInterval = 0;
  for (TFSObject* item : selected) {
    if (status.Cancelled) break;
    bool result;
    if (!item->IsDirectory())
      result = SaveFile(*static_cast<TFATFile*>(item), target, context);
    else if (!context.Walk.MayEnter(*static_cast<TFATDirectory*>(item), 0))
      continue;
    else
      result = SaveFolder(*static_cast<TFATDirectory*>(item), target, context, true, deletedMode, deletedMode);
    if (!result) break;
  }
  if (status.Cancelled) context.Report.Stopped = true;
  status.Hide();
  return context.Report;
}

}  // namespace vantrel
