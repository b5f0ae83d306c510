// Headers for any rate and length against an independent reader of the
// bytes: it walks the chunks the way a WAV reader does and checks that they
// say exactly what was asked for, RIFF up to the limit and RF64 past it.
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
  std::uint32_t rate = 0;
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
      check(size == 16);
      check(le(b, at + 8, 2) == 1 && le(b, at + 10, 2) == 1);  // PCM, mono
      p.rate = static_cast<std::uint32_t>(le(b, at + 12, 4));
      check(le(b, at + 16, 4) == p.rate);                       // byte rate
      check(le(b, at + 20, 2) == 1 && le(b, at + 22, 2) == 8);  // block align, bits
      have_fmt = true;
    } else {
      check(tag(b, at, "data") && have_fmt);
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
  if (size < 12) return 0;
  std::uint32_t rate = 0;
  std::uint64_t length = 0;
  std::memcpy(&rate, data, 4);
  std::memcpy(&length, data + 4, 8);
  length >>= size > 12 ? data[12] % 64 : 0;  // reach short lengths as easily as long ones

  const auto bytes = wavwrap::WavHeader{.sample_rate = rate, .data_length = length}.to_bytes();
  const auto h = bytes.bytes();
  const Parsed p = parse(h);
  check(p.data_offset == h.size());
  check(p.rate == rate && p.data_size == length);
  check(p.riff_size == h.size() - 8 + length);
  check(p.rf64 == (length > wavwrap::k_riff_max_data_length));
  check(h.size() == (p.rf64 ? wavwrap::k_rf64_header_size : wavwrap::k_riff_header_size));
  if (p.rf64) check(p.sample_count == length);

  const auto streaming = wavwrap::streaming_header(rate);
  const Parsed s = parse(streaming.bytes());
  check(!s.rf64 && s.rate == rate && s.riff_size == 0xFFFF'FFFF && s.data_size == 0xFFFF'FFFF);
  return 0;
}
