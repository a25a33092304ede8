#include "cli/Args.h"

#include <charconv>

namespace vantrel::cli {

Args::Args(const std::string& command, const std::vector<std::string>& words,
           const std::set<std::string>& valueFlags, const std::set<std::string>& switchFlags, bool keepOthers)
    : command_(command) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() > 2 && w.rfind("--", 0) == 0) {
      std::string name = w, value;
      const auto eq = w.find('=');
      if (eq != std::string::npos) {
        name = w.substr(0, eq);
        value = w.substr(eq + 1);
      }
      if (valueFlags.count(name)) {
        if (eq == std::string::npos) {
          if (i + 1 >= words.size())
            throw UsageError((keepOthers ? "" : command + ": ") + name + " needs a value");
          value = words[++i];
        }
        flags_.emplace_back(name, value);
      } else if (switchFlags.count(name) && eq == std::string::npos) {
        flags_.emplace_back(name, "");
      } else if (keepOthers) {
        positional_.push_back(w);
      } else {
        throw UsageError(command + ": unknown option " + w);
      }
    } else {
      positional_.push_back(w);
    }
  }
}

bool Args::Has(const std::string& flag) const {
  for (const auto& f : flags_)
    if (f.first == flag) return true;
  return false;
}

std::optional<std::string> Args::Value(const std::string& flag) const {
  std::optional<std::string> last;
  for (const auto& f : flags_)
    if (f.first == flag) last = f.second;
  return last;
}

std::vector<std::string> Args::Values(const std::string& flag) const {
  std::vector<std::string> all;
  for (const auto& f : flags_)
    if (f.first == flag) all.push_back(f.second);
  return all;
}

void Args::Expect(std::size_t min, std::size_t max, const std::string& usage) const {
  if (positional_.size() < min || positional_.size() > max) throw UsageError("usage: vantrel-cli " + usage);
}

unsigned long long ParseNumber(const std::string& text, const std::string& what) {
  // Digits only: no blanks or signs, and a leading zero is no octal prefix
  // ("010" is sector 10).
  const char* first = text.data();
  const char* const last = text.data() + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  unsigned long long value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, base);
  if (first == last || ec != std::errc() || end != last) throw UsageError("not a number for " + what + ": " + text);
  return value;
}

}  // namespace vantrel::cli
