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
#include "recovery/UsedRanges.h"

namespace vantrel::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

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
  MarkKnownUnreadable(map, *device, first, count);
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
