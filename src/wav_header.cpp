#include "wav_header.hpp"

#include <string_view>

namespace wavwrap {
namespace {

constexpr std::uint16_t k_format_pcm = 1;
constexpr std::uint16_t k_channels = 1;
constexpr std::uint16_t k_bits_per_sample = 8;
constexpr std::uint16_t k_block_align = k_channels * k_bits_per_sample / 8;
constexpr std::uint32_t k_fmt_chunk_size = 16;
constexpr std::uint32_t k_ds64_chunk_size = 28;
constexpr std::uint32_t k_size_in_ds64 = 0xFFFF'FFFF;  // "see the ds64 chunk", and "unknown"

// Writes little-endian fields byte by byte, so the host's byte order never matters.
class ByteWriter {
 public:
  explicit ByteWriter(std::span<std::byte> out) : out_(out) {}

  void tag(std::string_view four) {
    for (char c : four) out_[at_++] = static_cast<std::byte>(c);
  }
  void u16(std::uint16_t value) { le(value, 2); }
  void u32(std::uint32_t value) { le(value, 4); }
  void u64(std::uint64_t value) { le(value, 8); }

  // The "fmt " chunk and the "data" chunk's header, shared by RIFF and RF64.
  void fmt_and_data(std::uint32_t sample_rate, std::uint32_t data_size) {
    tag("fmt ");
    u32(k_fmt_chunk_size);
    u16(k_format_pcm);
    u16(k_channels);
    u32(sample_rate);
    u32(sample_rate * k_block_align);  // byte rate
    u16(k_block_align);
    u16(k_bits_per_sample);
    tag("data");
    u32(data_size);
  }

 private:
  void le(std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out_[at_++] = static_cast<std::byte>(value >> (8 * i));
  }

  std::span<std::byte> out_;
  std::size_t at_ = 0;
};

// RIFF with the given size fields. The RIFF size counts everything after its
// own field: "WAVE", the fmt chunk and the data chunk with its 8-byte header.
HeaderBytes riff(std::uint32_t sample_rate, std::uint32_t riff_size, std::uint32_t data_size) {
  HeaderBytes header;
  ByteWriter w(header.writable(k_riff_header_size));
  w.tag("RIFF");
  w.u32(riff_size);
  w.tag("WAVE");
  w.fmt_and_data(sample_rate, data_size);
  return header;
}

}  // namespace

HeaderBytes WavHeader::to_bytes() const {
  if (!needs_rf64()) {
    const auto length = static_cast<std::uint32_t>(data_length);
    return riff(sample_rate, length + (k_riff_header_size - 8), length);
  }
  HeaderBytes header;
  ByteWriter w(header.writable(k_rf64_header_size));
  w.tag("RF64");
  w.u32(k_size_in_ds64);
  w.tag("WAVE");
  w.tag("ds64");
  w.u32(k_ds64_chunk_size);
  w.u64(data_length + (k_rf64_header_size - 8));  // RIFF size
  w.u64(data_length);                             // data size
  w.u64(data_length / k_block_align);             // sample count
  w.u32(0);                                       // no table of other chunk sizes
  w.fmt_and_data(sample_rate, k_size_in_ds64);
  return header;
}

HeaderBytes streaming_header(std::uint32_t sample_rate) {
  return riff(sample_rate, k_size_in_ds64, k_size_in_ds64);
}

}  // namespace wavwrap
