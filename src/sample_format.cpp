#include "sample_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace wavwrap {
namespace {

// The names are the ones ffmpeg's raw formats and most SDR tools use.
constexpr std::array k_formats = {
    SampleFormat{"u8", 1, Encoding::pcm, Conversion::none, "unsigned 8-bit", "u8"},
    SampleFormat{"s8", 1, Encoding::pcm, Conversion::flip_top_bit_8, "signed 8-bit", "u8"},
    SampleFormat{"s16le", 2, Encoding::pcm, Conversion::none, "signed 16-bit, little-endian",
                 "s16le"},
    SampleFormat{"s16be", 2, Encoding::pcm, Conversion::swap_16, "signed 16-bit, big-endian",
                 "s16le"},
    SampleFormat{"u16le", 2, Encoding::pcm, Conversion::flip_top_bit_16,
                 "unsigned 16-bit, little-endian", "s16le"},
    SampleFormat{"u16be", 2, Encoding::pcm, Conversion::swap_flip_16, "unsigned 16-bit, big-endian",
                 "s16le"},
    SampleFormat{"s24le", 3, Encoding::pcm, Conversion::none, "signed 24-bit, little-endian",
                 "s24le"},
    SampleFormat{"s24be", 3, Encoding::pcm, Conversion::swap_24, "signed 24-bit, big-endian",
                 "s24le"},
    SampleFormat{"s32le", 4, Encoding::pcm, Conversion::none, "signed 32-bit, little-endian",
                 "s32le"},
    SampleFormat{"s32be", 4, Encoding::pcm, Conversion::swap_32, "signed 32-bit, big-endian",
                 "s32le"},
    SampleFormat{"f32le", 4, Encoding::ieee_float, Conversion::none, "32-bit float, little-endian",
                 "f32le"},
    SampleFormat{"f32be", 4, Encoding::ieee_float, Conversion::swap_32, "32-bit float, big-endian",
                 "f32le"},
    SampleFormat{"f64le", 8, Encoding::ieee_float, Conversion::none, "64-bit float, little-endian",
                 "f64le"},
    SampleFormat{"f64be", 8, Encoding::ieee_float, Conversion::swap_64, "64-bit float, big-endian",
                 "f64le"},
    SampleFormat{"alaw", 1, Encoding::alaw, Conversion::none, "G.711 A-law", "alaw"},
    SampleFormat{"mulaw", 1, Encoding::mulaw, Conversion::none, "G.711 mu-law", "mulaw"},
};

// The top bit of a 16-bit value as the host holds it.
constexpr std::uint16_t k_top_bit_16 = std::endian::native == std::endian::little ? 0x8000 : 0x0080;

// Applies `change` to every sample of type T. The copies in and out through
// memcpy are what lets the compiler treat the bytes as T (and vectorise the
// loop) without breaking aliasing rules.
template <class T, class Change>
void each_sample(std::span<std::byte> samples, Change change) {
  std::byte* const p = samples.data();
  const std::size_t n = samples.size() / sizeof(T);
  for (std::size_t i = 0; i < n; ++i) {
    T value;
    std::memcpy(&value, p + i * sizeof(T), sizeof(T));
    value = change(value);
    std::memcpy(p + i * sizeof(T), &value, sizeof(T));
  }
}

// Byte swaps spelled as shifts and masks: without SSSE3's byte shuffle the
// compiler vectorises these, and not std::byteswap.
constexpr std::uint32_t swap_32_bit(std::uint32_t v) {
  v = (v & 0xFF00FF00U) >> 8 | (v & 0x00FF00FFU) << 8;
  return v >> 16 | v << 16;
}
constexpr std::uint64_t swap_64_bit(std::uint64_t v) {
  v = (v & 0xFF00FF00FF00FF00U) >> 8 | (v & 0x00FF00FF00FF00FFU) << 8;
  v = (v & 0xFFFF0000FFFF0000U) >> 16 | (v & 0x0000FFFF0000FFFFU) << 16;
  return v >> 32 | v << 32;
}
static_assert(swap_32_bit(0x01020304U) == 0x04030201U);
static_assert(swap_64_bit(0x0102030405060708U) == 0x0807060504030201U);

void swap_24_bit(std::span<std::byte> samples) {
  std::byte* const p = samples.data();
  const std::size_t n = samples.size() / 3;
  for (std::size_t i = 0; i < n; ++i) std::swap(p[3 * i], p[3 * i + 2]);
}

}  // namespace

std::span<const SampleFormat> sample_formats() {
  return k_formats;
}

std::optional<SampleFormat> find_sample_format(std::string_view name) {
  const auto* found = std::ranges::find(k_formats, name, &SampleFormat::name);
  if (found == k_formats.end()) return std::nullopt;
  return *found;
}

SampleKernel kernel_for(Conversion conversion) {
  switch (conversion) {
    case Conversion::none:
      return nullptr;
    case Conversion::flip_top_bit_8:
      return [](std::span<std::byte> s) {
        each_sample<std::uint8_t>(
            s, [](std::uint8_t v) { return static_cast<std::uint8_t>(v ^ 0x80U); });
      };
    case Conversion::flip_top_bit_16:
      return [](std::span<std::byte> s) {
        each_sample<std::uint16_t>(
            s, [](std::uint16_t v) { return static_cast<std::uint16_t>(v ^ k_top_bit_16); });
      };
    case Conversion::swap_16:
      return [](std::span<std::byte> s) {
        each_sample<std::uint16_t>(s, [](std::uint16_t v) { return std::byteswap(v); });
      };
    case Conversion::swap_flip_16:
      return [](std::span<std::byte> s) {
        each_sample<std::uint16_t>(s, [](std::uint16_t v) {
          return static_cast<std::uint16_t>(std::byteswap(v) ^ k_top_bit_16);
        });
      };
    case Conversion::swap_24:
      return swap_24_bit;
    case Conversion::swap_32:
      return [](std::span<std::byte> s) {
        each_sample<std::uint32_t>(s, [](std::uint32_t v) { return swap_32_bit(v); });
      };
    case Conversion::swap_64:
      return [](std::span<std::byte> s) {
        each_sample<std::uint64_t>(s, [](std::uint64_t v) { return swap_64_bit(v); });
      };
  }
  return nullptr;
}

}  // namespace wavwrap
