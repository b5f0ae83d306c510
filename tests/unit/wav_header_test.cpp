#include "wav_header.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(const wavwrap::WavHeader& header) {
  std::vector<std::uint8_t> out;
  for (std::byte b : header.to_bytes()) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8 | b[at + i];
  return value;
}

TEST(WavHeader, MatchesTheReferenceBytesForRate200AndThreeBytes) {
  const std::vector<std::uint8_t> expected = {
      0x52, 0x49, 0x46, 0x46, 0x27, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
      0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0xC8, 0x00, 0x00, 0x00, 0xC8, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x64, 0x61, 0x74, 0x61, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(bytes_of({.sample_rate = 200, .data_length = 3}), expected);
}

TEST(WavHeader, ComputedFieldsFollowRateAndLength) {
  struct Case {
    std::uint32_t rate;
    std::uint32_t length;
    std::uint32_t riff_size;
  };
  const Case cases[] = {
      {8000, 0, 36},                        // empty data: a 44-byte file
      {8000, 5, 41},                        // odd length: no pad byte is counted
      {44100, 0x8000'0000u, 0x8000'0024u},  // 2 GiB: past any signed 32-bit count
      {1, 0xFFFF'FFDBu, 0xFFFF'FFFFu},      // the longest data RIFF can hold
      {2'147'483'647, 1, 37},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.length) + " bytes");
    const auto b = bytes_of({.sample_rate = c.rate, .data_length = c.length});
    ASSERT_EQ(b.size(), 44u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(le32(b, 4), c.riff_size);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(b, 24), c.rate);
    EXPECT_EQ(le32(b, 28), c.rate);  // byte rate: one byte per frame
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(le32(b, 40), c.length);
  }
}

TEST(WavHeader, LimitIsWhatTheSizeFieldsHold) {
  EXPECT_EQ(wavwrap::k_riff_max_data_length, 4'294'967'259u);
}

}  // namespace
