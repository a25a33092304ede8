#pragma once
// A small writer for the JSON the listing commands print: one array of flat objects.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::cli {

class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  JsonObject& Add(const std::string& key, std::int64_t value);
  JsonObject& Add(const std::string& key, std::uint32_t value) { return Add(key, static_cast<std::int64_t>(value)); }
  // Sector numbers of disks beyond 2 TiB.
  JsonObject& Add(const std::string& key, std::uint64_t value);
  JsonObject& Add(const std::string& key, int value) { return Add(key, static_cast<std::int64_t>(value)); }
  JsonObject& Add(const std::string& key, bool value);
  // A value already written as JSON (an array of objects).
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;  // key, encoded value
};

std::string JsonString(const std::string& text);
std::string JsonArray(const std::vector<JsonObject>& items);

}  // namespace vantrel::cli
