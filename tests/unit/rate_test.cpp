#include "rate.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using wavwrap::parse_rate;
using wavwrap::RateError;

TEST(Rate, AcceptsWholeDecimalNumbersInRange) {
  const std::pair<std::string, std::uint32_t> cases[] = {
      {"8000", 8000},  {"1", 1},           {"2147483647", 2147483647}, {"+300", 300},
      {"  +300", 300}, {"\t44100", 44100}, {"0008000", 8000},
  };
  for (const auto& [text, rate] : cases) {
    SCOPED_TRACE(text);
    const auto parsed = parse_rate(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, rate);
  }
}

TEST(Rate, RefusesEverythingElseAndSaysWhy) {
  const std::pair<std::string, RateError> cases[] = {
      {"", RateError::no_digits},
      {"   ", RateError::no_digits},
      {"abc", RateError::no_digits},
      {"+", RateError::no_digits},
      {"++5", RateError::no_digits},
      {"300Hz", RateError::trailing_text},
      {"44.1", RateError::trailing_text},
      {"8k", RateError::trailing_text},
      {"0x10", RateError::trailing_text},
      {"8000 ", RateError::trailing_text},
      {std::string("80\0"
                   "00",
                   5),
       RateError::trailing_text},
      {"99999999999999999999999x", RateError::trailing_text},
      {"0", RateError::out_of_range},
      {"-5", RateError::out_of_range},
      {"-0", RateError::out_of_range},
      {"2147483648", RateError::out_of_range},
      {"4294967295", RateError::out_of_range},
      {"99999999999999999999999", RateError::out_of_range},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE("\"" + text + "\"");
    const auto parsed = parse_rate(text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), why);
  }
}

}  // namespace
