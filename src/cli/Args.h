#pragma once
// Arguments of one command: positional words and "--name [value]" flags.

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vantrel::cli {

// A failure that ends the run with a one-line message and an exit status.
struct CliError : std::runtime_error {
  CliError(int code, const std::string& message) : std::runtime_error(message), exitCode(code) {}
  int exitCode;
};

inline CliError UsageError(const std::string& message) { return CliError(2, message); }

class Args {
 public:
  // valueFlags take a value; switchFlags take none. Anything else starting
  // with "--" is a usage error, unless keepOthers: then it stays among the
  // positional words in its place (the global options picked out of a whole
  // command line, the commands' own options left to them).
  Args(const std::string& command, const std::vector<std::string>& words,
       const std::set<std::string>& valueFlags, const std::set<std::string>& switchFlags, bool keepOthers = false);

  const std::vector<std::string>& Positional() const { return positional_; }
  bool Has(const std::string& flag) const;
  std::optional<std::string> Value(const std::string& flag) const;
  std::vector<std::string> Values(const std::string& flag) const;
  // Checks the number of positional words.
  void Expect(std::size_t min, std::size_t max, const std::string& usage) const;

 private:
  std::string command_;
  std::vector<std::string> positional_;
  std::vector<std::pair<std::string, std::string>> flags_;
};

// Parses a whole unsigned number (decimal, or hex with 0x); usage error otherwise.
unsigned long long ParseNumber(const std::string& text, const std::string& what);

}  // namespace vantrel::cli
