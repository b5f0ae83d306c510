// The RIFF/WAVE header that turns raw 8-bit mono samples into a playable file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wavwrap {

inline constexpr std::size_t k_riff_header_size = 44;

// The size fields are unsigned 32-bit and the RIFF size counts the 36 header
// bytes after it, so this is the longest data a plain RIFF file can describe.
inline constexpr std::uint64_t k_riff_max_data_length = 0xFFFF'FFFFull - 36;

// The header's variable part. Format tag, channel count, sample width and
// block align never change: PCM, 1 channel, 8 bits, 1 byte per frame.
struct WavHeader {
  std::uint32_t sample_rate = 0;
  std::uint32_t data_length = 0;

  // The 44 bytes as they appear at the start of the file.
  [[nodiscard]] std::array<std::byte, k_riff_header_size> to_bytes() const;
};

}  // namespace wavwrap
