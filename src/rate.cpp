#include "rate.hpp"

#include <charconv>
#include <system_error>

namespace wavwrap {
namespace {

// The C locale's white space, as strtol skips it.
constexpr bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::expected<std::uint32_t, NumberError> parse_whole_number(std::string_view text,
                                                             std::uint32_t max) {
  std::size_t at = 0;
  while (at < text.size() && is_space(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  std::string_view digits = text;
  digits.remove_prefix(at);  // at <= size, and unlike substr this cannot throw
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
    return std::unexpected(NumberError::no_digits);
  }

  std::uint64_t value = 0;
  const char* const end = digits.data() + digits.size();
  const auto [stop, ec] = std::from_chars(digits.data(), end, value, 10);
  // from_chars consumes every digit even when the value overflows.
  if (stop != end) return std::unexpected(NumberError::trailing_text);
  if (ec == std::errc::result_out_of_range || negative || value == 0 || value > max) {
    return std::unexpected(NumberError::out_of_range);
  }
  return static_cast<std::uint32_t>(value);
}

std::expected<std::uint32_t, RateError> parse_rate(std::string_view text) {
  return parse_whole_number(text, k_max_sample_rate);
}

}  // namespace wavwrap
