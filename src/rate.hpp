// The sample-rate argument.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace wavwrap {

inline constexpr std::uint32_t k_max_sample_rate = 2'147'483'647;

enum class RateError {
  no_digits,      // empty, blanks only, a sign alone, or not a number at all
  trailing_text,  // digits followed by anything: "300Hz", "44.1", "8k", "0x10"
  out_of_range,   // zero, negative, or above k_max_sample_rate
};

// Accepts leading white space, one optional '+', then decimal digits and
// nothing else, with a value from 1 to k_max_sample_rate.
[[nodiscard]] std::expected<std::uint32_t, RateError> parse_rate(std::string_view text);

}  // namespace wavwrap
