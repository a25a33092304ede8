#include "host/RunSettings.h"

#include "common/Routines.h"

namespace vantrel {
namespace {

TRunSettings*& Current() {
  static TRunSettings defaults;
  static TRunSettings* current = &defaults;
  return current;
}

}  // namespace

std::string TRunSettings::DisplayName(const std::string& name) const {
  // A deleted short name keeps the raw 0xE5 of its first byte in front of
  // decoded text. Real characters U+5000..U+5FFF also start with 0xE5 in
  // UTF-8, so only a 0xE5 that starts no valid sequence is the mark.
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t n = Utf8SequenceLength(name, i);
    if (n > 0) {
      i += n;
      continue;
    }
    if (static_cast<unsigned char>(name[i]) == 0xE5) {
      std::string shown = name;
      shown.replace(i, 1, DeletedUseMultiByte ? DeletedCharMultibyte : DeletedCharAnsi);
      return shown;
    }
    ++i;
  }
  return name;
}

TRunSettings& RunSettings() { return *Current(); }

void UseRunSettings(TRunSettings& settings) { Current() = &settings; }

}  // namespace vantrel
