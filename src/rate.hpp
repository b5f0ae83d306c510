// Whole numbers on the command line: the sample rate, the channel count.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace wavwrap {

inline constexpr std::uint32_t k_max_sample_rate = 2'147'483'647;

enum class NumberError {
  no_digits,      // empty, blanks only, a sign alone, or not a number at all
  trailing_text,  // digits followed by anything: "300Hz", "44.1", "8k", "0x10"
  out_of_range,   // zero, negative, or above k_max_sample_rate
};

using RateError = NumberError;

// Accepts leading white space, one optional '+', then decimal digits and
// nothing else, with a value from 1 to `max`.
[[nodiscard]] std::expected<std::uint32_t, NumberError> parse_whole_number(std::string_view text,
                                                                           std::uint32_t max);

// A whole number from 1 to k_max_sample_rate.
[[nodiscard]] std::expected<std::uint32_t, RateError> parse_rate(std::string_view text);

}  // namespace wavwrap
