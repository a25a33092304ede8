// vantrel-cli image: copies a failing device (or one of its drives) to an
// image file with a GNU ddrescue map beside it, resumable.

#include <csignal>
#include <filesystem>
#include <iostream>

#include "cli/CliApp.h"
#include "cli/Json.h"
#include "common/HostPath.h"
#include "diskio/DiskPlatform.h"
#include "diskio/HostDiskPlatform.h"
#include "fs/TCustom.h"
#include "fs/TFATDirectory.h"
#include "fs/TFATdrive.h"
#include "recovery/Imaging.h"

namespace vantrel::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

using ByteRanges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The bytes (from the imaged area's start) of one FAT drive that hold its
// boot sectors, FATs and root area, and the clusters its files use: those
// the FAT marks in use (live files and folders) and those the deleted
// entries start (deleted files, as consecutive clusters).
void AddUsedRanges(TFATdrive& drive, std::uint64_t first, std::uint64_t count, ByteRanges& ranges) {
  if (!drive.GeometryValid || !drive.Device || drive.SectorsPerCluster == 0) return;
  const std::uint64_t ss = drive.Device->BytesPerSector ? drive.Device->BytesPerSector : 512;
  const std::uint64_t scale = std::max<std::uint64_t>(1, drive.BytesPerSector / ss);
  auto add = [&](std::uint64_t volumeSector, std::uint64_t sectors) {
    const std::uint64_t a = drive.StartSector + volumeSector * scale, b = a + sectors * scale;
    const std::uint64_t lo = std::max(a, first), hi = std::min(b, first + count);
    if (hi > lo) ranges.emplace_back((lo - first) * ss, (hi - lo) * ss);
  };
  add(0, drive.FirstDataSector);
  std::uint32_t runStart = 0, runLength = 0;
  auto addClusters = [&](std::uint32_t cluster, std::uint32_t n) {
    if (runLength && cluster == runStart + runLength) {
      runLength += n;
      return;
    }
    if (runLength) add(drive.ClusterToSector(runStart), std::uint64_t{runLength} * drive.SectorsPerCluster);
    runStart = cluster;
    runLength = n;
  };
  if (drive.FATChoice >= 1 && drive.FATChoice <= drive.NumberOfFATs)
    for (std::uint32_t c = 2; drive.IsValidCluster(c); ++c)
      if (ClassifyEntry(drive.FATType, drive.GetFATEntry(c, drive.FATChoice - 1u)) != feFree) addClusters(c, 1);
  if (runLength) add(drive.ClusterToSector(runStart), std::uint64_t{runLength} * drive.SectorsPerCluster);
  runLength = 0;
  drive.Deleted()->ForEach(
      [&](TFSObject* item, int) {
        if (item->IsDirectory() || item->Status != isDeleted) return true;
        auto* file = static_cast<TFATFile*>(item);
        if (!drive.IsValidCluster(file->StartCluster)) return true;
        const std::uint64_t clusters = (std::uint64_t{file->Size} + drive.BytesPerCluster - 1) / drive.BytesPerCluster;
        const std::uint64_t room = std::uint64_t{drive.MaxCluster()} - file->StartCluster + 1;
        add(drive.ClusterToSector(file->StartCluster), std::min(clusters, room) * drive.SectorsPerCluster);
        return true;
      },
      true, 0, true, true);
}

}  // namespace

void CliApp::CmdImage(const std::vector<std::string>& words) {
  Args args("image", words, {"--to", "--map", "--drive", "--retries"}, {"--used-first"});
  const char* usage =
      "image DEVICE --to FILE [--map MAPFILE] [--retries N] [--used-first] | image --drive N --to FILE [--map MAPFILE]";
  const auto driveArg = args.Value("--drive");
  args.Expect(driveArg ? 0 : 1, driveArg ? 0 : 1, usage);
  const auto to = args.Value("--to");
  if (!to || to->empty()) throw UsageError(std::string("usage: vantrel-cli ") + usage);
  const std::string mapPath = args.Value("--map").value_or(*to + ".map");
  const int retries = static_cast<int>(ParseNumber(args.Value("--retries").value_or("0"), "--retries"));

  TDevice* device = nullptr;
  std::uint64_t first = 0, count = 0;
  if (driveArg) {
    const unsigned long long n = ParseNumber(*driveArg, "DRIVE");
    TDriveList& list = Drives();
    if (n < 1 || n > static_cast<unsigned long long>(list.Count()))
      throw CliError(1, "no drive number " + *driveArg + " (see drives)");
    TCustomDrive* drive = list.Items(static_cast<int>(n - 1));
    if (!drive->Device || drive->SectorCount == 0) throw CliError(1, "drive " + *driveArg + " has no sectors to image");
    device = drive->Device;
    first = drive->StartSector;
    count = std::min<std::uint64_t>(drive->SectorCount, device->TotalSectors > first ? device->TotalSectors - first : 0);
  } else {
    device = &DeviceArg(args.Positional()[0]);
    count = device->TotalSectors;
  }
  if (count == 0) throw CliError(1, "the device has no sectors to image");
  auto source = DeviceImagingSource(*device, first, count);

  // The image is never the device being read, nor on it.
  const std::string deviceFile = DeviceFileOf(*device);
  if (TargetOnDevice(*to, deviceFile) || TargetOnDevice(mapPath, deviceFile))
    throw CliError(1, "refused: " + *to + " would be written onto the device being read (" + deviceFile + ")");

  std::error_code ec;
  const bool targetExists = std::filesystem::exists(PathFromUtf8(*to), ec);
  const bool mapExists = std::filesystem::exists(PathFromUtf8(mapPath), ec);
  TRescueMap map(source->Size());
  if (mapExists) {
    std::string error;
    if (!TRescueMap::Load(mapPath, source->Size(), map, error)) throw CliError(1, "refused: " + error);
    if (!targetExists && map.BytesWith(rsFinished) > 0)
      throw CliError(1, "refused: the map " + mapPath + " holds rescued bytes but the image " + *to + " is missing");
    std::cerr << "vantrel-cli: resuming from " << mapPath << ": " << map.BytesWith(rsFinished) << " of "
              << map.Size() << " bytes rescued already\n";
  } else if (targetExists) {
    throw CliError(1, "refused: " + *to + " exists and has no map (" + mapPath +
                          "); it would be overwritten. Remove it, or give its map with --map");
  }

  TImagingOptions options;
  if (args.Has("--used-first")) {
    // What the drives of the device use, read before the free space.
    TDriveList& list = Drives();
    for (int i = 0; i < list.Count(); ++i)
      if (auto* drive = dynamic_cast<TFATdrive*>(list.Items(i)); drive && drive->Device == device)
        AddUsedRanges(*drive, first, count, options.First);
  }
  options.Retries = retries;
  options.MapPath = mapPath;
  options.CommandLine = "vantrel-cli image " + deviceFile + " --to " + *to + " --map " + mapPath;
  const bool terminal = StderrIsTerminal();
  options.OnProgress = [&](const TImagingProgress& p) {
    if (terminal) std::cerr << "\r\033[K" << ProgressText(p) << std::flush;
  };
  g_interrupted = 0;
  options.Cancelled = [] { return g_interrupted != 0; };
  auto previous = std::signal(SIGINT, OnInterrupt);
  TImager imager(*source, *to, map, options);
  TImagingResult result = TImagingResult::WriteFailed;
  if (imager.OpenTarget(!targetExists)) result = imager.Run();
  std::signal(SIGINT, previous);
  if (terminal) std::cerr << "\r\033[K";
  const TImagingProgress p = imager.Progress();
  std::cerr << "vantrel-cli: " << ProgressText(p) << "; " << p.Reads << " read(s); map " << mapPath << "\n";
  if (json_) {
    JsonObject o;
    o.Add("image", *to)
        .Add("map", mapPath)
        .Add("size", p.Size)
        .Add("rescued", p.Rescued)
        .Add("bad_bytes", p.BadBytes)
        .Add("bad_areas", p.BadAreas)
        .Add("finished", result == TImagingResult::Finished);
    std::cout << JsonArray({o});
  }
  switch (result) {
    case TImagingResult::Finished: break;
    case TImagingResult::Cancelled: throw CliError(1, "stopped; run the same command again to resume");
    default: throw CliError(1, imager.Error());
  }
}

}  // namespace vantrel::cli
