// The RIFF/WAVE header that turns raw 8-bit mono samples into a playable file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace wavwrap {

inline constexpr std::size_t k_riff_header_size = 44;
inline constexpr std::size_t k_rf64_header_size = 80;

// The size fields are unsigned 32-bit and the RIFF size counts the 36 header
// bytes after it, so this is the longest data a plain RIFF file can describe.
// Longer data gets an RF64 header (EBU Tech 3306), whose sizes are 64-bit.
inline constexpr std::uint64_t k_riff_max_data_length = 0xFFFF'FFFFull - 36;

// The serialised header: 44 bytes for RIFF, 80 for RF64.
class HeaderBytes {
 public:
  [[nodiscard]] std::span<const std::byte> bytes() const { return {storage_.data(), size_}; }
  [[nodiscard]] std::span<std::byte> writable(std::size_t size) {
    size_ = size;
    return {storage_.data(), size_};
  }

 private:
  std::array<std::byte, k_rf64_header_size> storage_{};
  std::size_t size_ = 0;
};

// The header's variable part. Format tag, channel count, sample width and
// block align never change: PCM, 1 channel, 8 bits, 1 byte per frame.
struct WavHeader {
  std::uint32_t sample_rate = 0;
  std::uint64_t data_length = 0;

  [[nodiscard]] bool needs_rf64() const { return data_length > k_riff_max_data_length; }

  // The bytes that start the file: the canonical 44-byte RIFF header while
  // the data fits, the 80-byte RF64 header beyond.
  [[nodiscard]] HeaderBytes to_bytes() const;
};

// A 44-byte header for data whose length is not known: both sizes are
// 0xFFFFFFFF, which streaming readers take as "read to the end".
[[nodiscard]] HeaderBytes streaming_header(std::uint32_t sample_rate);

}  // namespace wavwrap
