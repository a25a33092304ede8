#pragma once
// What tests/fixtures/make_images.sh says an image holds: the NAME.files list
// next to the image, one item a line, written from what mtools reported.

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::test {

struct FixtureItem {
  std::string view;  // "live" or "deleted"
  bool isDir = false;
  std::string path;  // display names joined by "/" from the view's top
  std::uint32_t size = 0;
  std::string date;  // "DD.MM.YYYY hh:mm"
  std::uint32_t cluster = 0;
  std::string condition;  // "" for a live folder, else "好" or "差"
};

inline std::string FixturePath(const std::string& name) { return std::string(VANTREL_FIXTURE_DIR) + "/" + name; }

inline std::vector<FixtureItem> ReadFixtureList(const std::string& name) {
  std::ifstream in(FixturePath(name));
  if (!in) throw std::runtime_error("no fixture list " + name);
  std::vector<FixtureItem> items;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() != 7) throw std::runtime_error("bad line in " + name + ": " + line);
    FixtureItem item;
    item.view = fields[0];
    item.isDir = fields[1] == "dir";
    item.path = fields[2];
    item.size = static_cast<std::uint32_t>(std::stoul(fields[3]));
    item.date = fields[4];
    item.cluster = static_cast<std::uint32_t>(std::stoul(fields[5]));
    item.condition = fields[6] == "-" ? "" : fields[6];
    items.push_back(item);
  }
  return items;
}

// The items a view shows: the live view its live items; the deleted view
// its deleted items and every live folder.
inline std::vector<FixtureItem> FixtureView(const std::vector<FixtureItem>& all, const std::string& view) {
  std::vector<FixtureItem> shown;
  for (const auto& item : all)
    if (item.view == view || (view == "deleted" && item.isDir && item.view == "live")) shown.push_back(item);
  return shown;
}

}  // namespace vantrel::test
