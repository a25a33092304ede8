#include "cli/CliApp.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "app/TOptions.h"
#include "app/TSettingsFile.h"
#include "cli/Json.h"
#include "common/CodePage.h"
#include "common/HexDump.h"
#include "devices/ReadAheadCache.h"
#include "diskio/HostDiskPlatform.h"
#include "diskio/SectorAccess.h"
#include "fs/TFATdrive.h"
#include "recovery/RescueMap.h"

#ifdef _WIN32
#include <windows.h>

#include <system_error>

#include "common/HostPath.h"
#endif

namespace vantrel::cli {

namespace {

const char* kUsage =
    "usage: vantrel-cli [--image FILE [--map MAPFILE]]... [--only-images] [--on-error ask|abort|retry|ignore]\n"
    "                   [--codepage CP] [--json] [--debug] COMMAND [ARGS] [then COMMAND [ARGS]]...\n"
    "  --codepage CP   code page of short names (default from the settings, CP936)\n"
    "commands:\n"
    "  devices                      list the disks and drives of the machine and the images\n"
    "  read DEVICE FIRST COUNT      hex dump of COUNT raw sectors of a device from FIRST\n"
    "  drives                       the FAT drives of every device\n"
    "  ls DRIVE [PATH] [--view live|deleted|lost] [--recursive]\n"
    "     [--sort name|size|date|cluster|condition|type|verdict] [--desc]\n"
    "                               the items of a folder, PATH from the view's top\n"
    "  find DRIVE MASK              items whose name matches MASK (deleted, lost, live)\n"
    "  save DRIVE PATH... --to DIR [--view V] [--fat N|free | --no-fat] [--overwrite ask|all|none]\n"
    "       [--report FILE | --no-report] [--keep-dates]\n"
    "                               saves files and folder trees (PATH / is the whole view),\n"
    "                               with a DFXML report (report.xml in DIR unless FILE)\n"
    "  cat DRIVE PATH [--view V] [--fat N|free | --no-fat]   a file's content to standard output\n"
    "  hex DRIVE PATH [--view V] [--fat N|free | --no-fat]   a file's content as a hex dump\n"
    "  find-lost DRIVE [--range FIRST-LAST|all] [--no-files]\n"
    "                               searches a drive's clusters for lost folders and files\n"
    "  find-drives DEVICE [--range FIRST-LAST|all]\n"
    "                               searches a device's sectors for lost drives\n"
    "  image DEVICE --to FILE [--map MAPFILE] [--retries N] [--used-first]\n"
    "                               (or image --drive N --to FILE ...)\n"
    "                               copies a failing device or drive to an image, first what\n"
    "                               reads well, then the bad areas; the map (GNU ddrescue's\n"
    "                               format, FILE.map by default) lets a stopped run resume;\n"
    "                               --used-first: the FAT drives' structures and files first\n";

// Why an image named with --image did not become a device.
#ifdef _WIN32
// The system's text for the last error, without the line end it comes with.
std::string LastErrorText() {
  std::string text = std::system_category().message(static_cast<int>(::GetLastError()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

std::string ImageProblem(const std::string& path) {
  const std::wstring name = Utf8ToWide(path);
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrorText();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a folder";
  const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastErrorText();
  ::CloseHandle(h);
  return "its size cannot be read";
}
#else
std::string ImageProblem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return "it is a folder";
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return "it is neither a file nor a block device";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return "its size cannot be read";
}
#endif

const char* KindText(const TDevice& d) {
  if (d.Kind == dkWindows) return "logical";
  switch (d.MediaType) {
    case 1: return "floppy";
    case 2: return "removable";
    case 3: return "fixed";
    case 5: return "cdrom";
    default: return "unknown";
  }
}

// The device file or image file a device reads from.
std::string DevicePath(const TDevice& d) {
  return d.Kind == dkBIOS ? HostPlatform().PhysicalDeviceName(d.Number) : HostPlatform().LogicalDeviceName(d.Number);
}

}  // namespace

CliApp::CliApp() {
  Register("devices", [this](const auto& w) { CmdDevices(w); });
  Register("read", [this](const auto& w) { CmdRead(w); });
  Register("drives", [this](const auto& w) { CmdDrives(w); });
  Register("ls", [this](const auto& w) { CmdLs(w); });
  Register("find", [this](const auto& w) { CmdFind(w); });
  Register("save", [this](const auto& w) { CmdSave(w); });
  Register("cat", [this](const auto& w) { CmdCat(w, false); });
  Register("hex", [this](const auto& w) { CmdCat(w, true); });
  Register("find-lost", [this](const auto& w) { CmdFindLost(w); });
  Register("find-drives", [this](const auto& w) { CmdFindDrives(w); });
  Register("image", [this](const auto& w) { CmdImage(w); });
}

CliApp::~CliApp() {
  SetErrorPrompt(nullptr);
  SetMessageBox(nullptr);
  SetDebugSink(nullptr);
}

int CliApp::Main(int argc, char** argv) {
  try {
    std::vector<std::vector<std::string>> commands;
    if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), commands)) {
      std::cout << kUsage;
      return 0;
    }
    StartFrontEnd();
    for (const auto& c : commands) RunCommand(c);
    std::cout.flush();
    // Reads that failed without a question end the run with one line; a
    // listing they cut short is a failure, however they were answered.
    const std::string failures = FailureSummary();
    if (!failures.empty()) {
      std::cerr << "vantrel-cli: " << failures << "\n";
      return prompt_->Aborted() || cutShort_ > 0 ? 1 : 0;
    }
    return 0;
  } catch (const CliError& e) {
    std::cout.flush();
    std::cerr << "vantrel-cli: " << e.what() << ReadFailures() << "\n";
    return e.exitCode;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "vantrel-cli: " << e.what() << ReadFailures() << "\n";
    return 1;
  }
}

bool CliApp::ParseCommandLine(const std::vector<std::string>& allWords, std::vector<std::vector<std::string>>& commands) {
  // "--map MAPFILE" right after "--image FILE" belongs to that image; any
  // other --map is the image command's own.
  std::vector<std::string> words;
  std::vector<std::pair<std::size_t, std::string>> maps;  // image index, map
  std::size_t imagesSeen = 0;
  for (std::size_t i = 0; i < allWords.size(); ++i) {
    if (allWords[i] == "--image" && i + 1 < allWords.size()) {
      words.push_back(allWords[i]);
      words.push_back(allWords[++i]);
      ++imagesSeen;
      if (i + 2 < allWords.size() && allWords[i + 1] == "--map") {
        maps.emplace_back(imagesSeen - 1, allWords[i + 2]);
        i += 2;
      }
      continue;
    }
    words.push_back(allWords[i]);
  }
  // Global options may stand anywhere; the rest splits into commands at "then".
  const Args global("vantrel-cli", words, {"--image", "--codepage", "--on-error"},
                    {"--only-images", "--json", "--debug", "--help"}, true);
  const auto& rest = global.Positional();
  if (global.Has("--help") || std::find(rest.begin(), rest.end(), "-h") != rest.end()) return false;
  images_ = global.Values("--image");
  imageMaps_.assign(images_.size(), "");
  for (const auto& [index, map] : maps)
    if (index < imageMaps_.size()) imageMaps_[index] = map;
  onlyImages_ = global.Has("--only-images");
  json_ = global.Has("--json");
  debug_ = global.Has("--debug");
  codePage_ = global.Value("--codepage").value_or("");
  if (const auto v = global.Value("--on-error")) {
    if (*v == "ask") onError_ = OnError::Ask;
    else if (*v == "abort") onError_ = OnError::Abort;
    else if (*v == "retry") onError_ = OnError::Retry;
    else if (*v == "ignore") onError_ = OnError::Ignore;
    else throw UsageError("--on-error takes ask, abort, retry or ignore");
  }
  commands.assign(1, {});
  for (const std::string& w : rest) {
    if (w == "then")
      commands.emplace_back();
    else
      commands.back().push_back(w);
  }
  for (const auto& c : commands)
    if (c.empty()) throw UsageError("no command given (see --help)");
  return true;
}

void CliApp::StartFrontEnd() {
  prompt_ = std::make_unique<TerminalPrompt>(onError_);
  SetErrorPrompt(prompt_.get());
  SetMessageBox(&messageBox_);
  if (debug_) SetDebugSink(&debugSink_);
  // The user's settings, as the window loads them at start-up.
  TSettingsFile settings(TSettingsFile::DefaultPath());
  Options().Load(settings);
  SetOemCodePage(codePage_.empty() ? Options().OemCodePage : codePage_);
  SetReadAheadCacheSwitch(Options().EnableCache);
  SetLegacyAccessSwitches(Options().UseINT13, Options().UseVEV13UDI, Options().UseINT25);
  SetCriticalErrorBoxes(Options().EnableWinErrorMsg);
}

std::string CliApp::ReadFailures() const {
  const std::string failures = FailureSummary();
  return failures.empty() ? "" : "; " + failures;
}

std::string CliApp::FailureSummary() const {
  std::string text;
  if (cutShort_ > 0)
    text = std::to_string(cutShort_) + " folder read(s) cut short by an unreadable sector, the listing is incomplete";
  if (prompt_ && prompt_->Failures() > 0) text += (text.empty() ? "" : "; ") + prompt_->Summary();
  return text;
}

std::uint32_t CliApp::ChainReadFailures() const {
  std::uint32_t count = 0;
  for (int i = 0; i < drives_.Count(); ++i)
    if (const auto* drive = dynamic_cast<const TFATdrive*>(drives_.Items(i))) count += drive->ChainReadFailures;
  return count;
}

void CliApp::RunCommand(const std::vector<std::string>& words) {
  const auto it = commands_.find(words[0]);
  if (it == commands_.end()) throw UsageError("unknown command: " + words[0] + " (see --help)");
  // A listing, search or save that an unreadable sector of a folder or the
  // FAT cut short is told at the end of the run.
  const bool walks = words[0] == "ls" || words[0] == "find" || words[0] == "save";
  const std::uint32_t before = ChainReadFailures();
  try {
    it->second(std::vector<std::string>(words.begin() + 1, words.end()));
  } catch (...) {
    if (walks) cutShort_ += ChainReadFailures() - before;
    throw;
  }
  if (walks) cutShort_ += ChainReadFailures() - before;
}

TDeviceList& CliApp::Devices() {
  if (!detected_) {
    detected_ = true;
    HostDiskPlatform& platform = HostPlatform();
    platform.ClearImageFiles();
    for (const auto& image : images_) platform.AddImageFile(image);
    platform.SetOnlyImages(onlyImages_);
    CloseSectorHandles();
    devices_.Clear();
    devices_.Detect(nullptr);
    // The command line reads with the user's own rights and asks nobody for
    // more; disks it may not read are left out, and the user must know.
    const std::vector<std::string> denied = platform.DisksWithoutReadPermission();
    if (!denied.empty()) {
      std::string list;
      for (const auto& d : denied) list += (list.empty() ? "" : ", ") + d;
      std::cerr << "vantrel-cli: no permission to read " << list
                << ", left out: vantrel-cli reads with your own permissions (run it as root or as a member "
                   "of the disk group to read them)\n";
    }
    // A named image that did not become a device is an error the user must see.
    for (std::size_t i = 0; i < images_.size(); ++i) {
      bool found = false;
      for (int d = 0; d < devices_.Count(); ++d)
        if (devices_.Items(d)->Kind == dkBIOS && devices_.Items(d)->Number == 0x80 + i) found = true;
      if (!found) throw CliError(1, "cannot read image " + images_[i] + ": " + ImageProblem(images_[i]));
    }
    for (int d = 0; d < devices_.Count(); ++d) {
      const TDevice& device = *devices_.Items(d);
      const std::size_t image = device.Number - 0x80u;
      if (device.Kind == dkBIOS && device.Number >= 0x80 && image < images_.size() && device.TotalSectors == 0)
        throw CliError(1, "image " + images_[image] + " is empty: it holds no whole sector");
      if (device.Kind == dkBIOS && device.Number >= 0x80 && image < images_.size() && !imageMaps_[image].empty())
        ApplyImagingMap(*devices_.Items(d), imageMaps_[image]);
    }
  }
  return devices_;
}

void CliApp::ApplyImagingMap(TDevice& device, const std::string& mapPath) {
  std::uint64_t unreadable = 0;
  std::string error;
  if (!vantrel::ApplyImagingMap(device, mapPath, unreadable, error)) throw CliError(1, error);
  std::cerr << "vantrel-cli: map " << mapPath << ": " << unreadable << " sector(s) not rescued, taken as unreadable\n";
}

TDevice& CliApp::DeviceArg(const std::string& text) {
  const unsigned long long n = ParseNumber(text, "DEVICE");
  TDeviceList& list = Devices();
  if (n < 1 || n > static_cast<unsigned long long>(list.Count()))
    throw CliError(1, "no device number " + text + " (see devices)");
  return *list.Items(static_cast<int>(n - 1));
}

void CliApp::CmdDevices(const std::vector<std::string>& words) {
  Args args("devices", words, {}, {});
  args.Expect(0, 0, "devices");
  TDeviceList& list = Devices();
  if (json_) {
    std::vector<JsonObject> items;
    for (int i = 0; i < list.Count(); ++i) {
      const TDevice& d = *list.Items(i);
      JsonObject o;
      o.Add("number", i + 1)
          .Add("name", d.Name)
          .Add("kind", KindText(d))
          .Add("bios_number", static_cast<int>(d.Number))
          .Add("total_sectors", d.TotalSectors)
          .Add("bytes_per_sector", static_cast<int>(d.BytesPerSector))
          .Add("partitioned", d.Partitioned != 0)
          .Add("removable", (d.Flags & 1) != 0)
          .Add("path", DevicePath(d));
      items.push_back(o);
    }
    std::cout << JsonArray(items);
    return;
  }
  std::cout << "No  Name                                   Kind       Sectors        Bytes/sector  Path\n";
  for (int i = 0; i < list.Count(); ++i) {
    const TDevice& d = *list.Items(i);
    // The path goes out apart: an image's path can be longer than any line buffer.
    char line[64];
    std::snprintf(line, sizeof line, " %-10s %-14llu %-13u ", KindText(d),
                  static_cast<unsigned long long>(d.TotalSectors),
                  static_cast<unsigned>(d.BytesPerSector));
    std::cout << Pad(std::to_string(i + 1), 4) << Pad(d.Name, 38) << line << DevicePath(d) << "\n";
  }
}

void CliApp::CmdRead(const std::vector<std::string>& words) {
  Args args("read", words, {}, {});
  args.Expect(3, 3, "read DEVICE FIRST COUNT");
  TDevice& device = DeviceArg(args.Positional()[0]);
  const unsigned long long first = ParseNumber(args.Positional()[1], "FIRST");
  const unsigned long long count = ParseNumber(args.Positional()[2], "COUNT");
  if (count == 0) return;
  // Compared without adding: a huge COUNT would wrap the sum around.
  if (count > device.TotalSectors || first > device.TotalSectors - count)
    throw CliError(1, "sectors " + std::to_string(first) + ".." + std::to_string(first + count - 1) +
                          " lie beyond the end of the device (" + std::to_string(device.TotalSectors) +
                          " sectors)");
  const std::size_t sectorSize = device.BytesPerSector;
  std::vector<std::uint8_t> buffer;
  std::uint64_t done = 0;
  while (done < count) {
    const auto n = static_cast<std::uint16_t>(std::min<unsigned long long>(count - done, 128));
    buffer.resize(n * sectorSize);
    const std::uint64_t sector = first + done;
    if (!device.ReadSectors(sector, n, true, buffer.data()))
      throw CliError(1, "cannot read sectors " + std::to_string(sector) + ".." + std::to_string(sector + n - 1));
    const std::uint64_t base = (first + done) * sectorSize;
    for (std::size_t off = 0; off < buffer.size(); off += 16)
      std::cout << HexDumpLine(base + off, buffer.data() + off, std::min<std::size_t>(16, buffer.size() - off)) << "\n";
    done += n;
  }
}

}  // namespace vantrel::cli
