// The RIFF/WAVE header that turns raw samples of a given layout into a
// playable file, in each of its forms: RIFF, RF64 and streaming.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "sample_format.hpp"

namespace wavwrap {

// What the samples in the data chunk are.
struct Layout {
  Encoding encoding = Encoding::pcm;
  std::uint16_t sample_bytes = 1;
  std::uint16_t channels = 1;
  std::uint32_t sample_rate = 0;  // frames per second

  // Bytes per frame and per second, wide enough to tell when they do not fit.
  [[nodiscard]] std::uint64_t block_align() const { return std::uint64_t{channels} * sample_bytes; }
  [[nodiscard]] std::uint64_t byte_rate() const { return sample_rate * block_align(); }
};

// The fmt chunk holds both in fields of 16 and 32 bits.
inline constexpr std::uint64_t k_max_block_align = 0xFFFF;
inline constexpr std::uint64_t k_max_byte_rate = 0xFFFF'FFFF;

enum class LayoutError { frame_too_large, byte_rate_too_large };

[[nodiscard]] std::expected<void, LayoutError> check_layout(const Layout& layout);

// The ds64 chunk (EBU Tech 3306) that an RF64 header has and a RIFF one lacks.
inline constexpr std::size_t k_ds64_chunk_length = 36;

// 44 bytes for 8- and 16-bit PCM in one or two channels; longer where the
// layout needs the extended fmt chunk or a fact chunk.
[[nodiscard]] std::size_t riff_header_size(const Layout& layout);

// The size fields are unsigned 32-bit and the RIFF size counts the header
// bytes after it, so this is the longest data a plain RIFF file can describe.
// Longer data gets an RF64 header, whose sizes are 64-bit.
[[nodiscard]] std::uint64_t riff_max_data_length(const Layout& layout);

inline constexpr std::size_t k_max_header_size = 80 + k_ds64_chunk_length;

// The serialised header.
class HeaderBytes {
 public:
  [[nodiscard]] std::span<const std::byte> bytes() const { return {storage_.data(), size_}; }
  [[nodiscard]] std::span<std::byte> writable(std::size_t size) {
    size_ = size;
    return {storage_.data(), size_};
  }

 private:
  std::array<std::byte, k_max_header_size> storage_{};
  std::size_t size_ = 0;
};

struct WavHeader {
  Layout layout;
  std::uint64_t data_length = 0;

  [[nodiscard]] bool needs_rf64() const { return data_length > riff_max_data_length(layout); }

  // The bytes that start the file: RIFF while the data fits, RF64 beyond.
  [[nodiscard]] HeaderBytes to_bytes() const;
};

// A RIFF header for data whose length is not known: every size is
// 0xFFFFFFFF, which streaming readers take as "read to the end".
[[nodiscard]] HeaderBytes streaming_header(const Layout& layout);

}  // namespace wavwrap
