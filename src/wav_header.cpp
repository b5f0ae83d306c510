#include "wav_header.hpp"

#include <span>
#include <string_view>

namespace wavwrap {
namespace {

constexpr std::uint16_t k_format_pcm = 1;
constexpr std::uint16_t k_channels = 1;
constexpr std::uint16_t k_bits_per_sample = 8;
constexpr std::uint16_t k_block_align = k_channels * k_bits_per_sample / 8;
constexpr std::uint32_t k_fmt_chunk_size = 16;
// Bytes the RIFF size counts besides the data: "WAVE", the fmt chunk, the data chunk's id and size.
constexpr std::uint32_t k_riff_overhead = 4 + (8 + k_fmt_chunk_size) + 8;

// Writes little-endian fields byte by byte, so the host's byte order never matters.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::byte> out) : out_(out) {}

  void tag(std::string_view four) {
    for (char c : four) out_[at_++] = static_cast<std::byte>(c);
  }
  void u16(std::uint16_t value) { le(value, 2); }
  void u32(std::uint32_t value) { le(value, 4); }

 private:
  void le(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out_[at_++] = static_cast<std::byte>(value >> (8 * i));
  }

  std::span<std::byte> out_;
  std::size_t at_ = 0;
};

}  // namespace

std::array<std::byte, k_riff_header_size> WavHeader::to_bytes() const {
  std::array<std::byte, k_riff_header_size> bytes{};
  ByteWriter w(bytes);
  w.tag("RIFF");
  w.u32(data_length + k_riff_overhead);  // wraps only past the limit, which callers refuse
  w.tag("WAVE");
  w.tag("fmt ");
  w.u32(k_fmt_chunk_size);
  w.u16(k_format_pcm);
  w.u16(k_channels);
  w.u32(sample_rate);
  w.u32(sample_rate * k_block_align);  // byte rate
  w.u16(k_block_align);
  w.u16(k_bits_per_sample);
  w.tag("data");
  w.u32(data_length);
  return bytes;
}

}  // namespace wavwrap
