// Number formatting for log messages and reasons: fixed-point with a given number of decimals, and
// the shortest decimal form that reads back as the same double, laid out the way Python's repr
// lays it out (3.0, 0.75, 0.0001, 1e-05, 1e+16), since hosts compare these texts byte for byte.
#pragma once

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

namespace utils {

// `value` rounded correctly to `decimals` digits after the point: fixed(2.25, 1) == "2.2" (the
// binary value of 2.25 is an exact tie and rounds to even, as printf does).
inline std::string fixed(double value, int decimals) {
  char buf[512];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return std::to_string(value);
  return std::string(buf, end);
}

inline std::string fixed1(double value) { return fixed(value, 1); }
inline std::string fixed6(double value) { return fixed(value, 6); }

// The shortest round-trip form with at least one digit after the point for whole numbers.
inline std::string shortest(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) return std::to_string(value);
  std::string sci(buf, end);
  const auto e_pos = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  if (exponent < -4 || exponent >= 16) return sci;

  // Rebuild in fixed notation from the shortest digits.
  std::string mantissa = sci.substr(0, e_pos);
  std::string sign;
  if (mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  std::string out;
  if (exponent < 0) {
    out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  return sign + out;
}

}  // namespace utils
