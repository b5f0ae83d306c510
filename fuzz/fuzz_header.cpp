// Headers for any layout, rate and length against an independent reader of
// the bytes: it walks the chunks the way a WAV reader does and checks that
// they say exactly what was asked for, RIFF up to the limit and RF64 past it.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "wav_header.hpp"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

std::uint64_t le(std::span<const std::byte> b, std::size_t at, std::size_t width) {
  check(at + width <= b.size());
  std::uint64_t value = 0;
  for (std::size_t i = width; i-- > 0;)
    value = value << 8 | std::to_integer<std::uint64_t>(b[at + i]);
  return value;
}

bool tag(std::span<const std::byte> b, std::size_t at, const char* four) {
  check(at + 4 <= b.size());
  return std::memcmp(b.data() + at, four, 4) == 0;
}

struct Parsed {
  std::uint64_t riff_size = 0, data_size = 0, sample_count = 0;
  std::uint64_t fact = 0;
  bool have_fact = false;
  wavwrap::Layout layout;
  std::size_t data_offset = 0;
  bool rf64 = false;
};

// Reads RIFF or RF64 the way a reader does: chunk by chunk, until "data".
Parsed parse(std::span<const std::byte> b) {
  Parsed p;
  p.rf64 = tag(b, 0, "RF64");
  check(p.rf64 || tag(b, 0, "RIFF"));
  check(tag(b, 8, "WAVE"));
  p.riff_size = le(b, 4, 4);
  bool have_fmt = false;
  for (std::size_t at = 12;;) {
    const std::uint64_t size = le(b, at + 4, 4);
    if (tag(b, at, "ds64")) {
      check(p.rf64 && size == 28 && at == 12);
      p.riff_size = le(b, at + 8, 8);
      p.data_size = le(b, at + 16, 8);
      p.sample_count = le(b, at + 24, 8);
      check(le(b, at + 32, 4) == 0);
    } else if (tag(b, at, "fmt ")) {
      check(!have_fmt);
      auto code = le(b, at + 8, 2);
      const auto channels = le(b, at + 10, 2);
      const auto rate = le(b, at + 12, 4);
      const auto byte_rate = le(b, at + 16, 4);
      const auto block = le(b, at + 20, 2);
      const auto bits = le(b, at + 22, 2);
      check(bits % 8 == 0 && bits > 0 && block == channels * bits / 8 && byte_rate == rate * block);
      if (code == 0xFFFE) {
        // Extensible: for more than two channels or PCM wider than 16 bits only.
        check(size == 40 && le(b, at + 24, 2) == 22 && le(b, at + 26, 2) == bits);
        const auto mask = le(b, at + 28, 4);
        check(channels > 8 ? mask == 0 : std::popcount(mask) == static_cast<int>(channels));
        code = le(b, at + 32, 2);
        check(le(b, at + 34, 4) == 0 && le(b, at + 38, 4) == 0x0080'0010 &&
              le(b, at + 42, 4) == 0x3800'AA00 && le(b, at + 46, 2) == 0x719B);
        check(channels > 2 || (code == 1 && bits > 16));
      } else if (code == 1) {
        check(size == 16 && channels <= 2 && bits <= 16);
      } else {
        check(size == 18 && le(b, at + 24, 2) == 0 && channels <= 2);
      }
      check(code == 1 || code == 3 || code == 6 || code == 7);
      check(code != 3 || bits == 32 || bits == 64);
      check(code < 6 || bits == 8);
      p.layout = {static_cast<wavwrap::Encoding>(code), static_cast<std::uint16_t>(bits / 8),
                  static_cast<std::uint16_t>(channels), static_cast<std::uint32_t>(rate)};
      have_fmt = true;
    } else if (tag(b, at, "fact")) {
      check(have_fmt && !p.have_fact && size == 4);
      p.fact = le(b, at + 8, 4);
      p.have_fact = true;
    } else {
      check(tag(b, at, "data") && have_fmt);
      check(p.have_fact == (p.layout.encoding != wavwrap::Encoding::pcm));
      if (p.rf64) {
        check(size == 0xFFFF'FFFF);
      } else {
        p.data_size = size;
      }
      p.data_offset = at + 8;
      return p;
    }
    at += 8 + size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  std::uint32_t rate = 0;
  std::uint64_t length = 0;
  std::uint16_t channels = 0;
  std::memcpy(&rate, data, 4);
  std::memcpy(&length, data + 4, 8);
  std::memcpy(&channels, data + 12, 2);
  const auto formats = wavwrap::sample_formats();
  const wavwrap::SampleFormat& format = formats[data[14] % formats.size()];
  length >>= data[15] % 64;  // reach short lengths as easily as long ones
  const wavwrap::Layout layout{format.encoding, format.bytes, channels, rate};
  if (channels == 0 || !wavwrap::check_layout(layout)) return 0;

  const auto bytes = wavwrap::WavHeader{.layout = layout, .data_length = length}.to_bytes();
  const auto h = bytes.bytes();
  const Parsed p = parse(h);
  const std::uint64_t frames = length / layout.block_align();
  check(p.data_offset == h.size());
  check(p.layout.encoding == layout.encoding && p.layout.sample_bytes == layout.sample_bytes &&
        p.layout.channels == channels && p.layout.sample_rate == rate);
  check(p.data_size == length);
  check(p.riff_size == h.size() - 8 + length);
  check(p.rf64 == (length > 0xFFFF'FFFFull - (wavwrap::riff_header_size(layout) - 8)));
  check(h.size() ==
        wavwrap::riff_header_size(layout) + (p.rf64 ? wavwrap::k_ds64_chunk_length : 0));
  if (p.rf64) check(p.sample_count == frames);
  if (p.have_fact) check(p.fact == (frames > 0xFFFF'FFFF ? 0xFFFF'FFFF : frames));

  const auto streaming = wavwrap::streaming_header(layout);
  const Parsed s = parse(streaming.bytes());
  check(!s.rf64 && s.layout.channels == channels && s.riff_size == 0xFFFF'FFFF &&
        s.data_size == 0xFFFF'FFFF);
  check(streaming.bytes().size() == wavwrap::riff_header_size(layout));
  return 0;
}
