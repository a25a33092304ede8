#include "host/RangeDialogs.h"

#include "common/FATChoice.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>

namespace vantrel {
namespace {

std::int64_t RoundEven(double x) { return static_cast<std::int64_t>(std::nearbyint(x)); }

int ClampTrackBar(int position) {
  return position < 0 ? 0 : position > RangeTrackBarMax ? RangeTrackBarMax : position;
}

// "%.2f" without the C locale's decimal comma creeping in under a front end
// that set the user's locale.
std::string FixedTwo(double value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2);
  return ec == std::errc() ? std::string(buf, end) : std::string("0.00");
}

std::optional<std::int32_t> ParseInt32(const std::string& text) {
  auto v = ParseEditInteger(text);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() ||
      *v > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

}  // namespace

std::optional<std::int64_t> ParseEditInteger(const std::string& text) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  std::size_t b = 0, e = text.size();
  while (b < e && isBlank(text[b])) ++b;
  while (e > b && isBlank(text[e - 1])) --e;
  // from_chars takes '-' but not '+'; after a '+' only digits may follow.
  const bool plus = b < e && text[b] == '+';
  if (plus) ++b;
  if (b == e || (plus && text[b] == '-')) return std::nullopt;
  std::int64_t value = 0;
  auto [p, ec] = std::from_chars(text.data() + b, text.data() + e, value, 10);
  if (ec != std::errc() || p != text.data() + e) return std::nullopt;
  return value;
}

// ---------------------------------------------------------------- sectors

void TSectorDialog::SetDefaults(std::uint64_t sectorCount, std::uint16_t bytesPerSector) {
  MaxSector = sectorCount;
  RangeStart = 0;
  RangeEnd = sectorCount > 99999 ? 100000 : static_cast<std::int64_t>(sectorCount) - 1;
  if (RangeEnd < 0) RangeEnd = 0;  // a device without sectors
  SectorSize = bytesPerSector;
}

std::int64_t TSectorDialog::LastSector() const {
  return MaxSector > 0 ? static_cast<std::int64_t>(MaxSector) - 1 : 0;
}

void TSectorDialog::FormActivate() {
  GroupStartCaption = "开始扇区 (min. 0)";
  GroupEndCaption = "结束扇区 (max. " + std::to_string(LastSector()) + ")";
  auto barOf = [this](std::int64_t sector) {
    if (MaxSector == 0) return 0;
    const double pos = static_cast<double>(sector) / static_cast<double>(MaxSector) * RangeTrackBarMax;
    // A track bar clamps what it is given; so do we, before the cast.
    if (pos <= 0) return 0;
    if (pos >= RangeTrackBarMax) return RangeTrackBarMax;
    return static_cast<int>(RoundEven(pos));
  };
  TrackBarStartSec = barOf(RangeStart);
  TrackBarEndSec = barOf(RangeEnd);
  // The edits show the fields themselves, not the coarse track bar steps.
  EditStartSec = std::to_string(RangeStart);
  EditEndSec = std::to_string(RangeEnd);
  UpdateSizeLabel();
}

void TSectorDialog::TrackBarStartSecChange(int position) {
  TrackBarStartSec = ClampTrackBar(position);
  if (TrackBarEndSec < TrackBarStartSec) return;
  EditStartSec = std::to_string(
      RoundEven(static_cast<double>(TrackBarStartSec) / RangeTrackBarMax * LastSector()));
  UpdateSizeLabel();
}

void TSectorDialog::TrackBarEndSecChange(int position) {
  TrackBarEndSec = ClampTrackBar(position);
  if (TrackBarEndSec < TrackBarStartSec) return;
  EditEndSec = std::to_string(
      RoundEven(static_cast<double>(TrackBarEndSec) / RangeTrackBarMax * LastSector()));
  UpdateSizeLabel();
}

void TSectorDialog::UpdateSizeLabel() {
  auto s = ParseEditInteger(EditStartSec);
  auto e = ParseEditInteger(EditEndSec);
  if (!s || !e) return;
  const double mb = (static_cast<double>(*e) - static_cast<double>(*s) + 1) / 1024 * SectorSize / 1024;
  LabelSize = mb >= 1000 ? FixedTwo(mb / 1024) + " GB" : FixedTwo(mb) + " MB";
}

bool TSectorDialog::Execute(ISectorDialogView& view) {
  FormActivate();
  TRangeDialogResult r = view.ShowModal(*this);
  if (!r.Ok) return false;
  EditStartSec = r.StartText;
  EditEndSec = r.EndText;
  if (auto v = ParseEditInteger(EditStartSec)) RangeStart = *v;
  if (auto v = ParseEditInteger(EditEndSec)) RangeEnd = *v;
  return true;
}

// ---------------------------------------------------------------- clusters

void TClusterDialog::SetDefaults(std::int32_t clusterCount, std::uint32_t bytesPerCluster) {
  ClusterCount = clusterCount;
  RangeStart = 2;
  RangeEnd = clusterCount + 1;
  ClusterBytes = bytesPerCluster;
}

void TClusterDialog::FormActivate() {
  GroupStartCaption = "开始簇 (min. 2)";
  GroupEndCaption = "结束簇 (max. " + std::to_string(static_cast<std::int64_t>(ClusterCount) + 1) + ")";
  // The edits follow the track bars, whose positions carry over from the
  // last use; at 0 and 50 they show the whole drive.
  StartChanged();
  EndChanged();
  UpdateSizeLabel();
}

void TClusterDialog::TrackBarStartClusChange(int position) {
  TrackBarStartClus = ClampTrackBar(position);
  StartChanged();
  UpdateSizeLabel();
}

void TClusterDialog::TrackBarEndClusChange(int position) {
  TrackBarEndClus = ClampTrackBar(position);
  EndChanged();
  UpdateSizeLabel();
}

void TClusterDialog::StartChanged() {
  if (TrackBarEndClus < TrackBarStartClus) return;
  const double span = static_cast<double>(ClusterCount) - 2;
  EditStartClus =
      std::to_string(RoundEven(static_cast<double>(TrackBarStartClus) / RangeTrackBarMax * span) + 2);
}

void TClusterDialog::EndChanged() {
  if (TrackBarEndClus < TrackBarStartClus) return;
  const double span = static_cast<double>(ClusterCount) - 2;
  // + 3: the last cluster is ClusterCount + 1 when the bar is at its end.
  EditEndClus =
      std::to_string(RoundEven(static_cast<double>(TrackBarEndClus) / RangeTrackBarMax * span) + 3);
}

void TClusterDialog::UpdateSizeLabel() {
  auto s = ParseEditInteger(EditStartClus);
  auto e = ParseEditInteger(EditEndClus);
  if (!s || !e) return;
  const double mb = (static_cast<double>(*e) - static_cast<double>(*s) + 1) / 1024 * ClusterBytes / 1024;
  LabelSize = std::to_string(RoundEven(mb)) + " MB";
}

bool TClusterDialog::Execute(IClusterDialogView& view) {
  FormActivate();
  TRangeDialogResult r = view.ShowModal(*this);
  if (!r.Ok) return false;
  EditStartClus = r.StartText;
  EditEndClus = r.EndText;
  if (auto v = ParseInt32(EditStartClus)) RangeStart = *v;
  if (auto v = ParseInt32(EditEndClus)) RangeEnd = *v;
  return true;
}

// ---------------------------------------------------------------- folder

void TDirSelectDialog::FillFATChoices(int numberOfFATs, int selected) {
  ComboBoxFAT = FATChoiceItems(numberOfFATs);
  numberOfFATs_ = numberOfFATs;
  ComboBoxFATItemIndex = ItemOfFATChoice(static_cast<std::uint8_t>(selected < 0 || selected > 255 ? 0 : selected),
                                         numberOfFATs);
}

void TDirSelectDialog::FolderChanged(const std::string& path) {
  constexpr char sep = static_cast<char>(std::filesystem::path::preferred_separator);
  LabelFolder = path;
  // Windows takes "/" as a separator too: a folder ending in it has one.
  const bool ends = !LabelFolder.empty() && (LabelFolder.back() == sep || LabelFolder.back() == '/');
  if (!ends) LabelFolder += sep;
}

bool TDirSelectDialog::Execute(IDirSelectDialogView& view) {
  TDirSelectResult r = view.ShowModal(*this);
  if (!r.Ok) return false;
  // A view that reports no selection leaves the preselected entry; with none
  // at all the chains are followed as consecutive clusters, which is what a
  // FAT that cannot be trusted calls for anyway.
  int index = r.FATItemIndex;
  if (index < 0 || index >= static_cast<int>(ComboBoxFAT.size())) index = ComboBoxFATItemIndex;
  FATIndex = FATChoiceOfItem(index, numberOfFATs_);
  Folder = r.Folder;
  return true;
}

}  // namespace vantrel
