// vantrel-cli commands on drives and their files: drives, ls, find, save, cat, hex.

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>

#include "cli/CliApp.h"
#include "cli/CliViews.h"
#include "cli/Json.h"
#include "common/HexDump.h"
#include "common/HostPath.h"
#include "common/Routines.h"
#include "common/Verdict.h"
#include "format/FATFormat.h"
#include "fs/FileData.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "host/RangeDialogs.h"
#include "host/RunSettings.h"
#include "recovery/Saving.h"

namespace vantrel::cli {

const char* ViewName(View view) {
  switch (view) {
    case View::Live: return "live";
    case View::Deleted: return "deleted";
    case View::Lost: return "lost";
  }
  return "live";
}

namespace {

const char* StatusName(std::uint8_t status) {
  switch (status) {
    case isDeleted: return "deleted";
    case isLost: return "lost";
    default: return "normal";
  }
}

std::string FlagsText(std::uint8_t flags) {
  std::string text;
  if (flags & dfLost) text += text.empty() ? "lost" : ",lost";
  if (flags & dfRebuilt) text += text.empty() ? "rebuilt" : ",rebuilt";
  if (flags & dfNoFAT) text += text.empty() ? "nofat" : ",nofat";
  return text.empty() ? "-" : text;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

int SortColumn(const std::string& name) {
  static const std::vector<std::string> kNames{"name", "size", "date", "cluster", "condition", "type", "verdict"};
  const auto it = std::find(kNames.begin(), kNames.end(), name);
  if (it == kNames.end()) throw UsageError("--sort takes name, size, date, cluster, condition, type or verdict");
  return static_cast<int>(it - kNames.begin());
}

}  // namespace

TDriveList& CliApp::Drives() {
  if (!scanned_) {
    TDeviceList& devices = Devices();
    scanned_ = true;
    drives_.Clear();
    for (int i = 0; i < devices.Count(); ++i) drives_.ScanDevice(*devices.Items(i));
  }
  return drives_;
}

TFATdrive& CliApp::DriveArg(const std::string& text) {
  const unsigned long long n = ParseNumber(text, "DRIVE");
  TDriveList& list = Drives();
  if (n < 1 || n > static_cast<unsigned long long>(list.Count()))
    throw CliError(1, "no drive number " + text + " (see drives)");
  auto* drive = dynamic_cast<TFATdrive*>(list.Items(static_cast<int>(n - 1)));
  if (!drive) throw CliError(1, "drive " + text + " is not a FAT drive");
  if (!drive->GeometryValid) throw CliError(1, "drive " + text + " has no usable boot sector");
  return *drive;
}

View CliApp::ViewArg(const Args& args) {
  const auto v = args.Value("--view");
  if (!v || *v == "live") return View::Live;
  if (*v == "deleted") return View::Deleted;
  if (*v == "lost") return View::Lost;
  throw UsageError("--view takes live, deleted or lost");
}

TFATDirectory& CliApp::ViewTop(TFATdrive& drive, View view) {
  switch (view) {
    case View::Deleted: return *drive.Deleted();
    case View::Lost: return *drive.Lost();
    default: return *drive.Root();
  }
}

TFSObject* CliApp::Resolve(TFATdrive& drive, View view, const std::string& path) {
  TFATDirectory* folder = &ViewTop(drive, view);
  const bool deletedView = view == View::Deleted;
  TFSObject* found = nullptr;
  for (const std::string& part : SplitPath(path)) {
    if (!folder) throw CliError(1, "not a folder on the way to " + path);
    // Folders load as the window loads them when they are opened.
    if (!folder->Items) folder->LoadChildren(deletedView, true);
    found = nullptr;
    for (const auto& child : *folder->Items)
      if (DisplayNameOf(*child) == part) {
        found = child.get();
        break;
      }
    if (!found) throw CliError(1, "no such file or folder: " + path + " (in the " + ViewName(view) + " view)");
    folder = found->IsDirectory() ? static_cast<TFATDirectory*>(found) : nullptr;
  }
  return found;
}

std::uint8_t CliApp::FATChoiceArg(const Args& args, TFATdrive& drive, View view) {
  if (args.Has("--no-fat")) {
    if (args.Has("--fat")) throw UsageError("--fat and --no-fat exclude each other");
    return 0;
  }
  if (const auto fat = args.Value("--fat")) {
    if (*fat == "free") return kFATChoiceFree;
    const auto n = ParseNumber(*fat, "--fat");
    if (n < 1 || n > drive.NumberOfFATs)
      throw UsageError("--fat takes free or 1 to " + std::to_string(drive.NumberOfFATs) + " on this drive");
    return static_cast<std::uint8_t>(n);
  }
  // As the window preselects: in the deleted view the clusters the FAT marks
  // free (consecutive ones without a usable FAT), else the drive's choice.
  if (view == View::Deleted) return (drive.Flags & dfNoFAT) ? 0 : kFATChoiceFree;
  return drive.FATChoice;
}

void CliApp::CmdDrives(const std::vector<std::string>& words) {
  Args args("drives", words, {}, {});
  args.Expect(0, 0, "drives");
  TDriveList& list = Drives();
  TDeviceList& devices = Devices();
  std::vector<JsonObject> items;
  if (!json_) std::cout << "No  Name                                        Start        Sectors      Type   Flags\n";
  for (int i = 0; i < list.Count(); ++i) {
    auto* drive = dynamic_cast<TFATdrive*>(list.Items(i));
    if (!drive) continue;
    const int deviceIndex = devices.IndexOf(drive->Device);
    const std::string deviceName = deviceIndex >= 0 ? devices.GetDeviceName(deviceIndex, false) : "";
    const std::string name = (drive->Name.empty() ? std::string("NONAME") : drive->Name) + "   on " + deviceName;
    const std::uint64_t sectors = drive->SectorCount ? drive->SectorCount : drive->TotalSectors;
    const char* type = drive->TypeName();
    if (json_) {
      JsonObject o;
      o.Add("number", i + 1)
          .Add("name", name)
          .Add("label", drive->Name)
          .Add("device", deviceIndex + 1)
          .Add("device_name", deviceName)
          .Add("start_sector", drive->StartSector)
          .Add("boot_sector", drive->BootSector)
          .Add("sector_count", sectors)
          .Add("fat_type", type)
          .Add("flags", FlagsText(drive->Flags))
          .Add("fat_choice", static_cast<int>(drive->FATChoice))
          .Add("fat_note", drive->FATChoiceNote)
          .Add("table_note", drive->TableNote)
          .Add("clusters", drive->ClusterCount)
          .Add("bytes_per_cluster", drive->BytesPerCluster);
      items.push_back(o);
    } else {
      char line[128];
      std::snprintf(line, sizeof line, "%-12llu %-12llu %-6s %s\n", static_cast<unsigned long long>(drive->StartSector),
                    static_cast<unsigned long long>(sectors), type,
                    FlagsText(drive->Flags).c_str());
      std::cout << Pad(std::to_string(i + 1), 4) << Pad(name, 44) << line;
      if (!drive->FATChoiceNote.empty()) std::cout << "    " << drive->FATChoiceNote << "\n";
      if (!drive->TableNote.empty()) std::cout << "    " << drive->TableNote << "\n";
    }
  }
  if (json_) std::cout << JsonArray(items);
}

void CliApp::CmdLs(const std::vector<std::string>& words) {
  Args args("ls", words, {"--view", "--sort"}, {"--recursive", "--desc"});
  args.Expect(1, 2, "ls DRIVE [PATH] [--view live|deleted|lost] [--recursive] [--sort COLUMN] [--desc]");
  TFATdrive& drive = DriveArg(args.Positional()[0]);
  const View view = ViewArg(args);
  const std::string path = args.Positional().size() > 1 ? args.Positional()[1] : "/";
  TFSObject* start = Resolve(drive, view, path);
  if (start && !start->IsDirectory()) throw CliError(1, path + " is a file, not a folder");
  TFATDirectory& folder = start ? *static_cast<TFATDirectory*>(start) : ViewTop(drive, view);
  const int column = SortColumn(args.Value("--sort").value_or("name"));
  const bool descending = args.Has("--desc");
  const bool recursive = args.Has("--recursive");

  std::vector<JsonObject> items;
  std::string prefix;
  for (const auto& part : SplitPath(path)) prefix += part + "/";
  if (!json_)
    std::cout << Pad("名称", 32) << Pad("大小", 12) << Pad("修改日期", 18) << Pad("蔟", 10) << Pad("条件", 6) << "类型\n";

  TWalkGuard guard;
  guard.MayEnter(folder, 0);
  std::function<void(TFATDirectory&, const std::string&, int)> list = [&](TFATDirectory& dir, const std::string& at,
                                                                          int depth) {
    CollectingListView view_;
    dir.FillListView(view_, view == View::Deleted);
    std::stable_sort(view_.items.begin(), view_.items.end(), [&](const TListItem& a, const TListItem& b) {
      const int c = dir.CompareItems(a, b, column);
      return descending ? c > 0 : c < 0;
    });
    for (const TListItem& item : view_.items) {
      const std::string itemPath = at + item.Caption;
      if (json_) {
        JsonObject o;
        o.Add("name", item.Caption)
            .Add("path", itemPath)
            .Add("is_dir", item.Data->IsDirectory())
            .Add("size", static_cast<std::int64_t>(item.Size))
            .Add("date", item.SubItems[1])
            .Add("cluster", static_cast<std::int64_t>(item.FirstCluster))
            .Add("condition", item.SubItems[3])
            .Add("type", item.SubItems[4])
            .Add("status", StatusName(item.Data->Status));
        // What the file's bytes said, where they were checked already (a
        // lost file when found, any file when saved or viewed).
        if (!item.Data->IsDirectory()) {
          const auto& file = *static_cast<const TCustomFile*>(item.Data);
          if (file.Verdict != vdNone) o.Add("verdict", VerdictName(file.Verdict));
          if (file.Verdict == vdDamaged) o.Add("bad_offset", file.BadOffset);
        }
        items.push_back(o);
      } else {
        std::cout << Pad(recursive ? itemPath + (item.Data->IsDirectory() ? "/" : "") : item.Caption, 32)
                  << Pad(item.SubItems[0], 12) << Pad(item.SubItems[1], 18) << Pad(item.SubItems[2], 10)
                  << Pad(item.SubItems[3], 6) << item.SubItems[4] << "\n";
      }
      if (recursive && item.Data->IsDirectory()) {
        auto& sub = *static_cast<TFATDirectory*>(item.Data);
        if (!guard.MayEnter(sub, depth + 1)) continue;
        list(sub, itemPath + "/", depth + 1);
      }
    }
  };
  list(folder, prefix, 0);
  if (json_) std::cout << JsonArray(items);
}

void CliApp::CmdFind(const std::vector<std::string>& words) {
  Args args("find", words, {}, {});
  args.Expect(2, 2, "find DRIVE MASK");
  TFATdrive& drive = DriveArg(args.Positional()[0]);
  CliFindDialog dialog(args.Positional()[1]);
  drive.Find(dialog);
  std::vector<JsonObject> items;
  for (const auto& hit : dialog.hits) {
    if (json_) {
      JsonObject o;
      o.Add("name", hit.name)
          .Add("view", hit.view)
          .Add("path", hit.path)
          .Add("is_dir", hit.isDirectory)
          .Add("status", StatusName(hit.status));
      items.push_back(o);
    } else {
      std::cout << hit.view << ":/" << TerminalText(hit.path) << (hit.isDirectory ? "/" : "") << "\n";
    }
  }
  if (json_) std::cout << JsonArray(items);
}

void CliApp::CmdSave(const std::vector<std::string>& words) {
  Args args("save", words, {"--to", "--view", "--fat", "--overwrite", "--report"}, {"--no-fat", "--no-report", "--keep-dates"});
  const char* usage =
      "save DRIVE PATH... --to DIR [--view V] [--fat N|free | --no-fat] [--overwrite ask|all|none] "
      "[--report FILE | --no-report] [--keep-dates]";
  args.Expect(2, 100000, usage);
  const auto to = args.Value("--to");
  if (!to || to->empty()) throw UsageError(std::string("usage: vantrel-cli ") + usage);
  TFATdrive& drive = DriveArg(args.Positional()[0]);
  const View view = ViewArg(args);
  const std::uint8_t choice = FATChoiceArg(args, drive, view);

  const std::string overwrite = args.Value("--overwrite").value_or("none");
  if (overwrite == "all") {
    messageBox_.PresetAnswer = TMsgResult::mrAll;
  } else if (overwrite == "none") {
    messageBox_.PresetAnswer = TMsgResult::mrNo;
  } else if (overwrite == "ask") {
    messageBox_.PresetAnswer = TMsgResult::mrNo;
    messageBox_.Interactive = true;
  } else {
    throw UsageError("--overwrite takes ask, all or none");
  }

  // A missing target folder is made, with its missing parents, as cp -r
  // does; anything else of that name is refused.
  std::error_code ec;
  const std::filesystem::path toPath = PathFromUtf8(*to);
  if (!std::filesystem::exists(std::filesystem::symlink_status(toPath, ec)))
    std::filesystem::create_directories(toPath, ec);
  if (!std::filesystem::is_directory(toPath, ec)) throw CliError(1, "target is not a folder: " + *to);
#ifdef _WIN32
  const bool writable = ::_waccess(toPath.c_str(), 2) == 0;
#else
  const bool writable = ::access(toPath.c_str(), W_OK) == 0;
#endif
  if (!writable) throw CliError(1, "cannot write into the target folder: " + *to);

  std::vector<TFSObject*> selected;
  for (std::size_t i = 1; i < args.Positional().size(); ++i) {
    TFSObject* item = Resolve(drive, view, args.Positional()[i]);
    if (item) {
      selected.push_back(item);
    } else {
      // The view's top stands for everything in it.
      TFATDirectory& top = ViewTop(drive, view);
      if (!top.Items) top.LoadChildren(view == View::Deleted, true);
      for (const auto& child : *top.Items) selected.push_back(child.get());
    }
  }
  if (args.Has("--report") && args.Has("--no-report")) throw UsageError("--report and --no-report exclude each other");
  TRunSettings& settings = RunSettings();
  const TRunSettings before = settings;
  settings.WriteReport = !args.Has("--no-report");
  settings.ReportFile = args.Value("--report") ? Utf8FromPath(std::filesystem::absolute(PathFromUtf8(*args.Value("--report")))) : "";
  settings.KeepDates = args.Has("--keep-dates") || settings.KeepDates;
  TDirSelectDialog dirDialog;
  CliDirSelectView dirView(Utf8FromPath(std::filesystem::absolute(toPath)),
                           args.Has("--fat") || args.Has("--no-fat") ? choice : -1);
  const int warningsBefore = messageBox_.Warnings;
  // The damaged files get a line each below, not the window's list.
  messageBox_.Unprinted = kDamagedFilesHeader;
  const TSaveReport report = SaveSelected(drive, selected, view == View::Deleted, dirDialog, dirView, status_);
  settings.WriteReport = before.WriteReport;
  settings.ReportFile = before.ReportFile;
  settings.KeepDates = before.KeepDates;
  messageBox_.Unprinted.clear();
  messageBox_.Interactive = false;
  std::cerr << "saved " << report.FilesSaved << " file(s)";
  if (report.FilesSkipped) std::cerr << ", kept " << report.FilesSkipped << " existing";
  if (report.FilesFailed) std::cerr << ", " << report.FilesFailed << " failed";
  if (report.FilesWithUnreadableSectors) std::cerr << ", " << report.FilesWithUnreadableSectors << " with unreadable sectors";
  if (report.FoldersFailed) std::cerr << ", " << report.FoldersFailed << " folder(s) not created";
  if (!report.Truncated.empty())
    std::cerr << ", " << report.Truncated.size() << " cut to what the volume holds";
  if (!report.NotConsecutive.empty())
    std::cerr << ", " << report.NotConsecutive.size() << " read as consecutive clusters against their FAT chain";
  if (!report.FoldersSkipped.empty()) std::cerr << ", " << report.FoldersSkipped.size() << " folder(s) skipped";
  if (!report.FailedCheck.empty()) std::cerr << ", " << report.FailedCheck.size() << " damaged";
  if (report.DatesImpossible) std::cerr << ", " << report.DatesImpossible << " impossible date(s) left as the save time";
  std::cerr << (report.Stopped ? " (stopped)" : "") << "\n";
  for (const auto& path : report.FailedCheck) std::cerr << "damaged: " << TerminalText(path) << "\n";
  // Every damaged file by name, with the bytes that were written as zeros.
  for (const TDamagedFile& d : report.Damaged)
    std::cerr << "vantrel-cli: damaged: " << TerminalText(d.Path) << " (" << d.LostBytes() << " of " << d.Size
              << " bytes unreadable: " << LostRangesText(d.Lost) << ")\n";
  if (json_) {
    std::vector<JsonObject> damaged;
    for (const TDamagedFile& d : report.Damaged) {
      std::string ranges = "[";
      for (std::size_t i = 0; i < d.Lost.size(); ++i)
        ranges += (i ? ", " : "") + JsonObject().Add("first", d.Lost[i].First).Add("count", d.Lost[i].Count).Text();
      JsonObject o;
      o.Add("path", d.Path).Add("size", d.Size).Add("lost_bytes", d.LostBytes()).AddRaw("lost", ranges + "]");
      damaged.push_back(o);
    }
    JsonObject summary;
    summary.Add("saved", report.FilesSaved)
        .Add("failed", report.FilesFailed)
        .Add("stopped", report.Stopped)
        .AddRaw("damaged", JsonArray(damaged));
    std::cout << "[\n  " << summary.Text() << "\n]\n";
  }
  if (report.FilesFailed || report.FoldersFailed || report.FilesWithUnreadableSectors || !report.Truncated.empty() ||
      !report.FailedCheck.empty() ||
      (report.Stopped && messageBox_.Warnings > warningsBefore))
    throw CliError(1, "the save was not complete");
}

void CliApp::CmdCat(const std::vector<std::string>& words, bool hex) {
  const std::string name = hex ? "hex" : "cat";
  Args args(name, words, {"--view", "--fat"}, {"--no-fat"});
  args.Expect(2, 2, name + " DRIVE PATH [--view V] [--fat N|free | --no-fat]");
  TFATdrive& drive = DriveArg(args.Positional()[0]);
  const View view = ViewArg(args);
  const std::uint8_t choice = FATChoiceArg(args, drive, view);
  TFSObject* item = Resolve(drive, view, args.Positional()[1]);
  if (!item || item->IsDirectory()) throw CliError(1, args.Positional()[1] + " is not a file");
  auto& file = *static_cast<TFATFile*>(item);
  // No more than the chain (or the volume) can hold.
  const std::uint32_t size = ItemReadableSize(drive, file, choice);
  if (size < file.Size)
    std::cerr << "vantrel-cli: " << TerminalText(args.Positional()[1]) << " claims " << file.Size
              << " bytes; its chain holds " << size << "\n";
  TFATStream stream(drive, ItemFATChoice(drive, file, choice), size, file.StartCluster);
  // Read through the stream the viewers use, in 64 KiB pieces.
  std::vector<std::uint8_t> block(65536);
  std::uint64_t offset = 0;
  for (;;) {
    const std::uint32_t n = stream.Read(block.data(), static_cast<std::uint32_t>(block.size()));
    if (n == 0) break;
    if (hex) {
      for (std::uint32_t i = 0; i < n; i += 16)
        std::cout << HexDumpLine(offset + i, block.data() + i, std::min<std::uint32_t>(16, n - i)) << "\n";
    } else {
      std::cout.write(reinterpret_cast<const char*>(block.data()), n);
    }
    offset += n;
  }
  std::cout.flush();
  if (stream.Cursor().FailedSectors > 0)
    throw CliError(1, std::to_string(stream.Cursor().FailedSectors) + " sector(s) could not be read (zeros given)");
}

}  // namespace vantrel::cli
