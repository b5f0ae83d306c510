#include "wav_header.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using wavwrap::Encoding;
using wavwrap::Layout;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const wavwrap::HeaderBytes& header) {
  Bytes out;
  for (std::byte b : header.bytes()) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes bytes_of(const Layout& layout, std::uint64_t length) {
  return bytes_of(wavwrap::WavHeader{.layout = layout, .data_length = length}.to_bytes());
}

// The header as Microsoft's rules and EBU Tech 3306 describe it, written
// apart from the tool's builder. `length` empty: the streaming form.
class Reference {
 public:
  Reference(const Layout& l, std::optional<std::uint64_t> length) {
    const unsigned bits = l.sample_bytes * 8u;
    const bool pcm = l.encoding == Encoding::pcm;
    const bool extensible = l.channels > 2 || (pcm && bits > 16);
    const std::uint32_t fmt_size = extensible ? 40 : pcm ? 16 : 18;
    const std::uint32_t header = 12 + 8 + fmt_size + (pcm ? 0 : 12) + 8;
    const std::uint64_t block = std::uint64_t{l.channels} * l.sample_bytes;
    const bool rf64 = length && *length > 0xFFFFFFFFull - (header - 8);
    const std::uint64_t data = length.value_or(0);
    const std::uint64_t frames = data / block;
    const std::uint32_t unknown = 0xFFFFFFFF;

    text(rf64 ? "RF64" : "RIFF");
    put(!length || rf64 ? unknown : data + header - 8, 4);
    text("WAVE");
    if (rf64) {
      text("ds64");
      put(28, 4);
      put(data + header + 36 - 8, 8);
      put(data, 8);
      put(frames, 8);
      put(0, 4);
    }
    text("fmt ");
    put(fmt_size, 4);
    put(extensible ? 0xFFFE : static_cast<unsigned>(l.encoding), 2);
    put(l.channels, 2);
    put(l.sample_rate, 4);
    put(l.sample_rate * block, 4);
    put(block, 2);
    put(bits, 2);
    if (fmt_size == 18) put(0, 2);
    if (extensible) {
      const std::uint32_t masks[] = {0, 4, 3, 7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
      put(22, 2);
      put(bits, 2);
      put(l.channels <= 8 ? masks[l.channels] : 0, 4);
      put(static_cast<unsigned>(l.encoding), 2);
      for (unsigned b : {0x00U, 0x00U, 0x00U, 0x00U, 0x10U, 0x00U, 0x80U, 0x00U, 0x00U, 0xAAU,
                         0x00U, 0x38U, 0x9BU, 0x71U})
        put(b, 1);
    }
    if (!pcm) {
      text("fact");
      put(4, 4);
      put(!length || frames > unknown ? unknown : frames, 4);
    }
    text("data");
    put(!length || rf64 ? unknown : data, 4);
  }

  Bytes bytes;

 private:
  void text(const char* four) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(four[i]));
  }
  void put(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
};

// Layouts that reach every form of the fmt chunk, with and without fact.
const Layout k_layouts[] = {
    {Encoding::pcm, 1, 1, 8000},            // the default: the canonical 44 bytes
    {Encoding::pcm, 2, 2, 48000},           // plain PCM, stereo
    {Encoding::pcm, 3, 1, 96000},           // wider than 16 bits: extensible
    {Encoding::pcm, 4, 2, 44100},           //
    {Encoding::pcm, 2, 3, 48000},           // more than two channels: extensible
    {Encoding::pcm, 1, 6, 8000},            // 5.1
    {Encoding::ieee_float, 4, 1, 44100},    // float: code 3 with fact
    {Encoding::ieee_float, 8, 2, 2400000},  // 64-bit float I/Q
    {Encoding::ieee_float, 4, 8, 48000},    // float in 7.1: extensible with fact
    {Encoding::alaw, 1, 1, 8000},
    {Encoding::mulaw, 1, 2, 8000},
    {Encoding::alaw, 1, 7, 8000},
    {Encoding::mulaw, 1, 9, 8000},  // past the usual layouts: no speaker assignment
    {Encoding::pcm, 1, 65535, 1},   // the most channels there are
    {Encoding::pcm, 2, 2, 0x7FFFFFFF / 4},
};

std::string describe(const Layout& l, std::optional<std::uint64_t> length) {
  return "encoding " + std::to_string(static_cast<int>(l.encoding)) + ", " +
         std::to_string(l.sample_bytes) + " bytes x " + std::to_string(l.channels) + " at " +
         std::to_string(l.sample_rate) + ", " +
         (length ? std::to_string(*length) + " bytes" : "streaming");
}

TEST(WavHeader, MatchesTheReferenceBytesForRate200AndThreeBytes) {
  const Bytes expected = {0x52, 0x49, 0x46, 0x46, 0x27, 0x00, 0x00, 0x00, 0x57, 0x41, 0x56,
                          0x45, 0x66, 0x6D, 0x74, 0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00,
                          0x01, 0x00, 0xC8, 0x00, 0x00, 0x00, 0xC8, 0x00, 0x00, 0x00, 0x01,
                          0x00, 0x08, 0x00, 0x64, 0x61, 0x74, 0x61, 0x03, 0x00, 0x00, 0x00};
  EXPECT_EQ(bytes_of(Layout{.sample_rate = 200}, 3), expected);
}

TEST(WavHeader, EveryLayoutAndFormMatchesTheReference) {
  for (const Layout& layout : k_layouts) {
    const std::uint64_t limit = wavwrap::riff_max_data_length(layout);
    const std::uint64_t block = layout.block_align();
    const std::uint64_t lengths[] = {0,
                                     block * 5,
                                     block * 5 + 1,
                                     limit,
                                     limit + 1,
                                     0xFFFF'FFFFull * block + block,
                                     0x7FFF'FFFF'FFFF'FFFFull};
    for (std::uint64_t length : lengths) {
      SCOPED_TRACE(describe(layout, length));
      const Reference expected(layout, length);
      EXPECT_EQ(bytes_of(layout, length), expected.bytes);
      EXPECT_EQ(wavwrap::WavHeader({layout, length}).needs_rf64(), length > limit);
    }
    SCOPED_TRACE(describe(layout, std::nullopt));
    const Reference streaming(layout, std::nullopt);
    EXPECT_EQ(bytes_of(wavwrap::streaming_header(layout)), streaming.bytes);
    EXPECT_EQ(wavwrap::riff_header_size(layout), streaming.bytes.size());
  }
}

TEST(WavHeader, HeaderSizesAndTheLimitsTheyLeave) {
  struct Case {
    Layout layout;
    std::size_t size;
    std::uint64_t limit;
  };
  const Case cases[] = {
      {{Encoding::pcm, 1, 1, 8000}, 44, 4'294'967'259u},
      {{Encoding::ieee_float, 4, 2, 8000}, 58, 4'294'967'245u},
      {{Encoding::pcm, 3, 2, 8000}, 68, 4'294'967'235u},
      {{Encoding::ieee_float, 4, 3, 8000}, 80, 4'294'967'223u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.layout, std::nullopt));
    EXPECT_EQ(wavwrap::riff_header_size(c.layout), c.size);
    EXPECT_EQ(wavwrap::riff_max_data_length(c.layout), c.limit);
  }
}

TEST(WavHeader, LayoutsThatTheFmtChunkCannotHoldAreRefused) {
  using wavwrap::LayoutError;
  struct Case {
    Layout layout;
    std::optional<LayoutError> error;
  };
  const Case cases[] = {
      {{Encoding::pcm, 1, 65535, 65535}, std::nullopt},
      {{Encoding::ieee_float, 8, 8191, 1}, std::nullopt},  // 65528 bytes per frame
      {{Encoding::ieee_float, 8, 8192, 1}, LayoutError::frame_too_large},
      {{Encoding::pcm, 2, 65535, 1}, LayoutError::frame_too_large},
      {{Encoding::pcm, 4, 1, 1'073'741'823}, std::nullopt},  // 4294967292 bytes per second
      {{Encoding::pcm, 4, 1, 1'073'741'824}, LayoutError::byte_rate_too_large},
      {{Encoding::pcm, 2, 2, 2'147'483'647}, LayoutError::byte_rate_too_large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(describe(c.layout, std::nullopt));
    const auto checked = wavwrap::check_layout(c.layout);
    EXPECT_EQ(checked.has_value(), !c.error.has_value());
    if (!checked) {
      EXPECT_EQ(checked.error(), *c.error);
    }
  }
}

// A few headers spelled out byte by byte, so that the reference itself is pinned down.
TEST(WavHeader, ExtensibleAndFactChunksByteForByte) {
  auto hex = [](const Bytes& b) {
    std::string out;
    for (std::uint8_t v : b) {
      static constexpr char k_digits[] = "0123456789abcdef";
      out += k_digits[v >> 4];
      out += k_digits[v & 15];
    }
    return out;
  };
  // s24le stereo at 48000 Hz, 6 bytes.
  EXPECT_EQ(hex(bytes_of({Encoding::pcm, 3, 2, 48000}, 6)),
            "52494646"
            "42000000"
            "57415645"
            "666d7420"
            "28000000"
            "feff"
            "0200"
            "80bb0000"
            "00650400"
            "0600"
            "1800"
            "1600"
            "1800"
            "03000000"
            "0100000000001000800000aa00389b71"
            "64617461"
            "06000000");
  // f32le mono at 8000 Hz, 8 bytes: two frames.
  EXPECT_EQ(hex(bytes_of({Encoding::ieee_float, 4, 1, 8000}, 8)),
            "52494646"
            "3a000000"
            "57415645"
            "666d7420"
            "12000000"
            "0300"
            "0100"
            "401f0000"
            "007d0000"
            "0400"
            "2000"
            "0000"
            "66616374"
            "04000000"
            "02000000"
            "64617461"
            "08000000");
}

}  // namespace
