// The rate parser against a reference written the plain way, digit by digit:
// optional C white space, one optional '+', decimal digits and nothing else,
// with a value from 1 to 2147483647.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "rate.hpp"

namespace {

bool reference(std::string_view text, std::uint64_t& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  const std::size_t first = i;
  value = 0;
  bool too_big = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (!too_big) value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
    too_big = too_big || value > 2'147'483'647;
  }
  return i == text.size() && i > first && !too_big && value >= 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::uint64_t expected = 0;
  const bool accepted = reference(text, expected);
  const auto parsed = wavwrap::parse_rate(text);
  if (parsed.has_value() != accepted) __builtin_trap();
  if (accepted && *parsed != expected) __builtin_trap();
  return 0;
}
