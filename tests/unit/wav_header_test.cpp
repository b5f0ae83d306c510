#include "wav_header.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bytes_of(const wavwrap::HeaderBytes& header) {
  std::vector<std::uint8_t> out;
  for (std::byte b : header.bytes()) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::vector<std::uint8_t> bytes_of(const wavwrap::WavHeader& header) {
  return bytes_of(header.to_bytes());
}

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;) value = value << 8 | b[at + i];
  return value;
}
std::uint64_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return le(b, at, 4);
}
std::uint64_t le64(const std::vector<std::uint8_t>& b, std::size_t at) {
  return le(b, at, 8);
}
std::string text(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t n) {
  return {b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n)};
}

// The fmt chunk and the data chunk's id, wherever they start.
void expect_fmt_and_data_id(const std::vector<std::uint8_t>& b, std::size_t at,
                            std::uint32_t rate) {
  EXPECT_EQ(text(b, at, 4), "fmt ");
  EXPECT_EQ(le32(b, at + 4), 16u);
  EXPECT_EQ(le(b, at + 8, 2), 1u);   // PCM
  EXPECT_EQ(le(b, at + 10, 2), 1u);  // mono
  EXPECT_EQ(le32(b, at + 12), rate);
  EXPECT_EQ(le32(b, at + 16), rate);  // byte rate: one byte per frame
  EXPECT_EQ(le(b, at + 20, 2), 1u);   // block align
  EXPECT_EQ(le(b, at + 22, 2), 8u);   // bits per sample
  EXPECT_EQ(text(b, at + 24, 4), "data");
}

TEST(WavHeader, MatchesTheReferenceBytesForRate200AndThreeBytes) {
  const std::vector<std::uint8_t> expected = {
      0x52, 0x49, 0x46, 0x46, 0x27, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6D, 0x74,
      0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0xC8, 0x00, 0x00, 0x00, 0xC8, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x64, 0x61, 0x74, 0x61, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(bytes_of({.sample_rate = 200, .data_length = 3}), expected);
}

TEST(WavHeader, RiffWhileTheDataFits) {
  struct Case {
    std::uint32_t rate;
    std::uint64_t length;
    std::uint64_t riff_size;
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
    EXPECT_EQ(text(b, 0, 4), "RIFF");
    EXPECT_EQ(le32(b, 4), c.riff_size);
    EXPECT_EQ(text(b, 8, 4), "WAVE");
    expect_fmt_and_data_id(b, 12, c.rate);
    EXPECT_EQ(le32(b, 40), c.length);
  }
}

TEST(WavHeader, Rf64PastTheRiffLimit) {
  const std::uint64_t lengths[] = {wavwrap::k_riff_max_data_length + 1, 0xFFFF'FFFF, 0x1'0000'0000,
                                   0x7FFF'FFFF'FFFF'FFFF};
  for (const std::uint64_t length : lengths) {
    SCOPED_TRACE(std::to_string(length) + " bytes");
    const auto b = bytes_of({.sample_rate = 2'400'000, .data_length = length});
    ASSERT_EQ(b.size(), 80u);
    EXPECT_EQ(text(b, 0, 4), "RF64");
    EXPECT_EQ(le32(b, 4), 0xFFFF'FFFFu);
    EXPECT_EQ(text(b, 8, 8), "WAVEds64");
    EXPECT_EQ(le32(b, 16), 28u);
    EXPECT_EQ(le64(b, 20), length + 72);  // RIFF size: the file less its first 8 bytes
    EXPECT_EQ(le64(b, 28), length);       // data size
    EXPECT_EQ(le64(b, 36), length);       // sample count: one byte per frame
    EXPECT_EQ(le32(b, 44), 0u);           // no table
    expect_fmt_and_data_id(b, 48, 2'400'000);
    EXPECT_EQ(le32(b, 76), 0xFFFF'FFFFu);
  }
}

TEST(WavHeader, StreamingHeaderSaysReadToTheEnd) {
  const auto b = bytes_of(wavwrap::streaming_header(8000));
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(text(b, 0, 4), "RIFF");
  EXPECT_EQ(le32(b, 4), 0xFFFF'FFFFu);
  EXPECT_EQ(text(b, 8, 4), "WAVE");
  expect_fmt_and_data_id(b, 12, 8000);
  EXPECT_EQ(le32(b, 40), 0xFFFF'FFFFu);
}

TEST(WavHeader, LimitIsWhatTheSizeFieldsHold) {
  EXPECT_EQ(wavwrap::k_riff_max_data_length, 4'294'967'259u);
}

}  // namespace
