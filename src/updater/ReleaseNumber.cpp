#include "ReleaseNumber.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t SkipDigits(std::string_view s, std::size_t pos) {
  while (pos < s.size() && IsDigit(s[pos])) ++pos;
  return pos;
}

}  // namespace

double LenientNumber(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;

  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';

  const auto intBegin = pos;
  pos = SkipDigits(text, pos);
  const auto intDigits = text.substr(intBegin, pos - intBegin);

  std::string_view fracDigits;
  if (pos < text.size() && text[pos] == '.') {
    const auto fracBegin = pos + 1;
    const auto fracEnd = SkipDigits(text, fracBegin);
    fracDigits = text.substr(fracBegin, fracEnd - fracBegin);
    pos = fracEnd;
  }
  if (intDigits.empty() && fracDigits.empty()) return 0.0;

  // An exponent counts only when at least one digit follows the "e" and its sign.
  std::string_view expText;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    auto expPos = pos + 1;
    if (expPos < text.size() && (text[expPos] == '+' || text[expPos] == '-')) ++expPos;
    const auto expEnd = SkipDigits(text, expPos);
    if (expEnd > expPos) expText = text.substr(pos + 1, expEnd - pos - 1);
  }

  std::string number(intDigits.empty() ? "0" : intDigits);
  if (!fracDigits.empty()) number.append(".").append(fracDigits);
  if (!expText.empty()) number.append("e").append(expText);

  double value = 0.0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double; which one depends on where the
    // first significant digit stands once the exponent is applied.
    const std::string mantissa = std::string(intDigits) + std::string(fracDigits);
    const auto firstSignificant = mantissa.find_first_not_of('0');
    if (firstSignificant == std::string::npos) return 0.0;
    long long exponent = 0;
    auto expDigits = expText;
    const bool expNegative = expDigits.starts_with('-');
    if (expDigits.starts_with('-') || expDigits.starts_with('+')) expDigits.remove_prefix(1);
    if (std::from_chars(expDigits.data(), expDigits.data() + expDigits.size(), exponent).ec != std::errc{})
      exponent = 1'000'000'000'000LL;  // more digits than any text could hold
    if (expNegative) exponent = -exponent;
    const auto magnitude = static_cast<long long>(intDigits.size()) - static_cast<long long>(firstSignificant) + exponent;
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

double RoundHalfEven(double x) {
  if (!std::isfinite(x)) return x;
  double result = std::floor(x);
  const double rest = x - result;  // exact for doubles
  if (rest > 0.5 || (rest == 0.5 && std::fmod(result, 2.0) != 0.0)) result += 1.0;
  return result;
}

std::optional<std::int32_t> ReleaseNumber(std::string_view text) {
  const double rounded = RoundHalfEven(LenientNumber(text));
  if (!(rounded >= std::numeric_limits<std::int32_t>::min() && rounded <= std::numeric_limits<std::int32_t>::max()))
    return std::nullopt;
  return static_cast<std::int32_t>(rounded);
}
