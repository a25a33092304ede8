#include "cli/Json.h"

#include <cstdio>

#include "common/Routines.h"

namespace vantrel::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  // Bytes that are not UTF-8 (a raw deletion mark, say) go out as U+FFFD so
  // that the output stays valid JSON.
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t len = Utf8SequenceLength(text, pos);
    if (len == 0) {
      out += "\\ufffd";
      ++pos;
      continue;
    }
    if (len > 1) {
      out.append(text, pos, len);
      pos += len;
      continue;
    }
    const char c = text[pos++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::Add(const std::string& key, const std::string& value) {
  fields_.emplace_back(key, JsonString(value));
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, std::int64_t value) {
  fields_.emplace_back(key, std::to_string(value));
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, std::uint64_t value) {
  fields_.emplace_back(key, std::to_string(value));
  return *this;
}

JsonObject& JsonObject::Add(const std::string& key, bool value) {
  fields_.emplace_back(key, value ? "true" : "false");
  return *this;
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  fields_.emplace_back(key, json);
  return *this;
}

std::string JsonObject::Text() const {
  std::string out = "{";
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (i) out += ", ";
    out += JsonString(fields_[i].first) + ": " + fields_[i].second;
  }
  return out + "}";
}

std::string JsonArray(const std::vector<JsonObject>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += i ? ",\n  " : "\n  ";
    out += items[i].Text();
  }
  out += items.empty() ? "]" : "\n]";
  return out + "\n";
}

}  // namespace vantrel::cli
