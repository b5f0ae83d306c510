#include "sample_format.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using wavwrap::Conversion;
using wavwrap::Encoding;
using Bytes = std::vector<std::uint8_t>;

Bytes converted(std::string_view format, Bytes bytes) {
  const auto f = wavwrap::find_sample_format(format);
  EXPECT_TRUE(f.has_value()) << format;
  if (const auto kernel = wavwrap::kernel_for(f->conversion))
    kernel(std::as_writable_bytes(std::span(bytes)));
  return bytes;
}

TEST(SampleFormat, TableIsConsistent) {
  std::set<std::string_view> names;
  for (const auto& f : wavwrap::sample_formats()) {
    SCOPED_TRACE(std::string(f.name));
    EXPECT_TRUE(names.insert(f.name).second);
    EXPECT_EQ(f.is_stored(), f.wav_form == f.name);
    // A converted format ends as a stored one of the same width and encoding.
    const auto target = wavwrap::find_sample_format(f.wav_form);
    ASSERT_TRUE(target.has_value());
    EXPECT_TRUE(target->is_stored());
    EXPECT_EQ(target->bytes, f.bytes);
    EXPECT_EQ(target->encoding, f.encoding);
    EXPECT_EQ(wavwrap::kernel_for(f.conversion) == nullptr, f.is_stored());
  }
  EXPECT_EQ(names.size(), 16u);
  EXPECT_EQ(wavwrap::find_sample_format(wavwrap::k_default_format_name)->name, "u8");
  EXPECT_FALSE(wavwrap::find_sample_format("U8").has_value());
  EXPECT_FALSE(wavwrap::find_sample_format("s16").has_value());
}

// Edge values of each conversion, two samples at a time so that a kernel
// that touched only the first would show.
TEST(SampleFormat, KernelsOnEdgeValues) {
  struct Case {
    std::string_view format;
    Bytes in, out;
  };
  const Case cases[] = {
      {"s8", {0x80, 0x7F, 0x00, 0xFF}, {0x00, 0xFF, 0x80, 0x7F}},
      {"u16le",
       {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0xFF, 0xFF},
       {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F}},
      {"u16be",
       {0x80, 0x00, 0x7F, 0xFF, 0x00, 0x00, 0x12, 0x34},
       {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0x34, 0x92}},
      {"s16be", {0x80, 0x00, 0x7F, 0xFF, 0x12, 0x34}, {0x00, 0x80, 0xFF, 0x7F, 0x34, 0x12}},
      {"s24be",
       {0x80, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x01, 0x02, 0x03},
       {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x03, 0x02, 0x01}},
      {"s32be",
       {0x80, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04},
       {0x00, 0x00, 0x00, 0x80, 0x04, 0x03, 0x02, 0x01}},
      // Negative zero, and NaNs whose payload and sign bits are kept as they are.
      {"f32be",
       {0x80, 0x00, 0x00, 0x00, 0x7F, 0xC0, 0x00, 0x01, 0xFF, 0x80, 0x00, 0x01},
       {0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0xC0, 0x7F, 0x01, 0x00, 0x80, 0xFF}},
      {"f64be",
       {0x80, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xF0, 0, 0, 0, 0, 0, 1},
       {0, 0, 0, 0, 0, 0, 0, 0x80, 1, 0, 0, 0, 0, 0, 0xF0, 0x7F}},
      // Stored formats are left alone.
      {"f32le", {0x01, 0x00, 0xC0, 0x7F}, {0x01, 0x00, 0xC0, 0x7F}},
      {"mulaw", {0x7F, 0xFF}, {0x7F, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.format));
    EXPECT_EQ(converted(c.format, c.in), c.out);
  }
}

// Converting a big-endian or unsigned format gives exactly the bytes of its
// stored form for the equivalent input, on lengths that exercise the
// vectorised loops and their tails.
TEST(SampleFormat, EveryConversionMatchesItsStoredForm) {
  for (const auto& f : wavwrap::sample_formats()) {
    if (f.is_stored()) continue;
    SCOPED_TRACE(std::string(f.name));
    for (std::size_t samples : {1u, 7u, 16u, 33u, 1000u}) {
      Bytes in(samples * f.bytes);
      for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<std::uint8_t>(i * 37 + (i >> 3));
      Bytes expected = in;
      for (std::size_t at = 0; at < expected.size(); at += f.bytes) {
        const auto sample = expected.begin() + static_cast<long>(at);
        const bool big_endian = f.name.ends_with("be");
        if (big_endian) std::reverse(sample, sample + f.bytes);
        if (f.name.starts_with("u16") || f.name == "s8") sample[f.bytes - 1] ^= 0x80;
      }
      EXPECT_EQ(converted(f.name, in), expected) << samples << " samples";
    }
  }
}

}  // namespace
