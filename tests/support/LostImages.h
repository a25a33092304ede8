#pragma once
// Helpers that make the images of the lost-data and lost-drive tests with the
// real tools: fixed dates for mtools, first clusters as mshowfat reports
// them, and files of recognised types (ZIP and TAR by Python's modules, a
// PNG, JPEG headers, MP3 by lame from a sine wave). Header only, so that the
// core tests and the command-line tests share it.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace vantrel::test {

// Quotes a word for the shell.
inline std::string ShellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs a command that makes or changes an image (mkfs.fat, mtools, sfdisk,
// dd, python3, lame) with fixed dates; throws with the command when it fails.
inline void ImageTool(const std::string& command) {
  if (!Run("MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC " + command + " >/dev/null 2>&1"))
    throw std::runtime_error("failed: " + command);
}

// The first clusters of files and folders of a volume image ("::/PATH"), as
// mshowfat lists their chains ("::/PATH <5-9>"), in the order of paths.
inline std::vector<std::uint32_t> FirstClusters(const std::string& image, const std::vector<std::string>& paths) {
  std::string command = "MTOOLS_SKIP_CHECK=1 mshowfat -i " + ShellQuote(image);
  for (const auto& path : paths) command += " " + ShellQuote(path);
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run mshowfat");
  std::vector<std::uint32_t> clusters;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) {
    const std::string line = buffer;
    const auto at = line.rfind('<');
    if (at != std::string::npos) clusters.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(at + 1))));
  }
  ::pclose(pipe);
  if (clusters.size() != paths.size()) throw std::runtime_error("mshowfat did not list every path of " + image);
  return clusters;
}

// First clusters noted while the images were made, kept in a file beside
// them: one "path<TAB>cluster" a line.
inline void SaveClusters(const std::string& file, const std::map<std::string, std::uint32_t>& clusters) {
  std::ofstream out(file);
  for (const auto& [path, cluster] : clusters) out << path << '\t' << cluster << '\n';
}

inline std::map<std::string, std::uint32_t> LoadClusters(const std::string& file) {
  std::ifstream in(file);
  std::map<std::string, std::uint32_t> clusters;
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) clusters[line.substr(0, tab)] = static_cast<std::uint32_t>(std::stoul(line.substr(tab + 1)));
  }
  return clusters;
}

// A folder of images that make(folder) fills, made once for each build of
// the test program: ctest runs every test in a process of its own, and the
// images take longer to make than the tests take to run. The folder lies
// beside the program, named after the program's time of writing; another
// process that makes it at the same moment leaves the first one's in place.
inline std::string MadeOnce(const std::string& name, const std::function<void(const std::string&)>& make) {
  namespace fs = std::filesystem;
  const fs::path program = fs::read_symlink("/proc/self/exe");
  const auto stamp = fs::last_write_time(program).time_since_epoch().count();
  const fs::path root = program.parent_path() / "made-images";
  const std::string prefix = name + "-";
  const fs::path done = root / (prefix + std::to_string(stamp));
  if (fs::exists(done / "complete")) return done.string();
  fs::create_directories(root);
  const fs::path work = root / (name + ".making-" + std::to_string(::getpid()));
  fs::remove_all(work);
  fs::create_directories(work);
  try {
    make(work.string());
  } catch (...) {
    fs::remove_all(work);
    throw;
  }
  WriteFile((work / "complete").string(), "");
  std::error_code ec;
  fs::rename(work, done, ec);
  if (ec) fs::remove_all(work, ec);
  // The images of earlier builds.
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    const std::string other = entry.path().filename().string();
    if (other.rfind(prefix, 0) == 0 && entry.path() != done) fs::remove_all(entry.path(), ec);
  }
  return done.string();
}

// Python from the system, when there is one: a version manager's wrapper
// costs more time than the script.
inline std::string Python() { return Run("test -x /usr/bin/python3") ? "/usr/bin/python3" : "python3"; }


// Writes into folder: A.ZIP (zipfile), B.TAR (tarfile), C.PNG and G.PNG
// (64 x 64 pixels), J1.JPG to J3.JPG (a JFIF header, under 2 KiB each),
// D.MP3 (3 s at 128 kbit/s, frames from the first byte) and E.MP3 (the same
// behind an ID3 tag).
inline void MakeTypedFiles(const std::string& folder) {
  static const char* kScript = R"PY(
import io, math, os, struct, sys, tarfile, wave, zipfile, zlib
out = sys.argv[1]
def put(name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
z = io.BytesIO()
with zipfile.ZipFile(z, "w", zipfile.ZIP_DEFLATED) as zf:
    for i in range(3):
        info = zipfile.ZipInfo("part%d.txt" % i, (2023, 11, 14, 22, 13, 20))
        zf.writestr(info, ("zip part %d " % i) * 400)
put("A.ZIP", z.getvalue())
t = io.BytesIO()
with tarfile.open(fileobj=t, mode="w") as tf:
    data = b"tar member\n" * 500
    info = tarfile.TarInfo("member.txt")
    info.size = len(data)
    info.mtime = 1700000000
    tf.addfile(info, io.BytesIO(data))
put("B.TAR", t.getvalue())
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)
def png(seed):
    raw = b"".join(b"\0" + bytes((x * seed + y) & 255 for x in range(64 * 3)) for y in range(64))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 64, 64, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
put("C.PNG", png(4))
put("G.PNG", png(7))
for i in range(3):
    put("J%d.JPG" % (i + 1), b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00" +
        bytes((i * 7 + k) & 255 for k in range(1500)) + b"\xff\xd9")
with wave.open(os.path.join(out, "tone.wav"), "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(44100)
    w.writeframes(b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 440 * n / 44100) +
                                                6000 * math.sin(2 * math.pi * 1234 * n / 44100)))
                           for n in range(44100 * 3)))
)PY";
  WriteFile(folder + "/make.py", kScript);
  ImageTool(Python() + " " + ShellQuote(folder + "/make.py") + " " + ShellQuote(folder));
  // lame is in the packages of scripts/setup-debian.sh.
  const std::string wav = ShellQuote(folder + "/tone.wav");
  ImageTool("lame --quiet -b 128 " + wav + " " + ShellQuote(folder + "/D.MP3"));
  ImageTool("lame --quiet -b 128 --tt Tone --add-id3v2 " + wav + " " + ShellQuote(folder + "/E.MP3"));
  ImageTool("rm -f " + wav + " " + ShellQuote(folder + "/make.py"));
}

}  // namespace vantrel::test
