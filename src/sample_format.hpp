// How raw samples can be stored, what each becomes in a WAV file, and the
// kernels that turn one into the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace wavwrap {

// The WAV format codes of the encodings a WAV file can hold here.
enum class Encoding : std::uint16_t {
  pcm = 1,         // integers: unsigned at 8 bits, signed two's complement above
  ieee_float = 3,  // IEEE 754 binary32 or binary64
  alaw = 6,        // G.711 A-law
  mulaw = 7,       // G.711 mu-law
};

// What has to happen to the stored bytes for them to be the WAV form. Every
// conversion maps a sample of N bytes to a sample of N bytes.
enum class Conversion {
  none,
  flip_top_bit_8,   // s8 -> u8
  flip_top_bit_16,  // u16le -> s16le
  swap_16,          // s16be -> s16le
  swap_flip_16,     // u16be -> s16le
  swap_24,          // s24be -> s24le
  swap_32,          // s32be, f32be -> little-endian
  swap_64,          // f64be -> little-endian
};

struct SampleFormat {
  std::string_view name;
  std::uint16_t bytes;  // per sample, stored and in the WAV file alike
  Encoding encoding;    // of the WAV form
  Conversion conversion;
  std::string_view description;
  std::string_view wav_form;  // the name of the format the WAV file holds

  [[nodiscard]] bool is_stored() const { return conversion == Conversion::none; }
};

// Every format, in the order --help lists them.
[[nodiscard]] std::span<const SampleFormat> sample_formats();

[[nodiscard]] std::optional<SampleFormat> find_sample_format(std::string_view name);

inline constexpr std::string_view k_default_format_name = "u8";

// Turns whole stored samples into their WAV form, in place: `samples` holds
// a whole number of samples of the conversion's width.
using SampleKernel = void (*)(std::span<std::byte> samples);

// The kernel of a conversion; null for Conversion::none.
[[nodiscard]] SampleKernel kernel_for(Conversion conversion);

}  // namespace wavwrap
