#include "wav_header.hpp"

#include <algorithm>
#include <string_view>

namespace wavwrap {
namespace {

// The header is "RIFF" size "WAVE", then the chunks: ds64 (RF64 only), fmt,
// fact (all but PCM), and the 8 bytes that open the data chunk.
constexpr std::size_t k_riff_preamble = 12;
constexpr std::size_t k_chunk_preamble = 8;
constexpr std::size_t k_fact_chunk_length = k_chunk_preamble + 4;

constexpr std::uint32_t k_size_unknown = 0xFFFF'FFFF;  // "see the ds64 chunk", or "read to the end"

// The fmt chunk comes in three lengths, chosen by the layout alone, as
// Microsoft's rules (and libsndfile, sox and ffmpeg) have it.
enum class FmtKind {
  plain,       // 16 bytes: PCM of 8 or 16 bits in one or two channels
  with_size,   // 18 bytes: the same fields and an empty extension, for non-PCM codes
  extensible,  // 40 bytes: WAVE_FORMAT_EXTENSIBLE, for more channels or wider PCM
};

constexpr std::uint16_t k_format_extensible = 0xFFFE;
constexpr std::uint16_t k_extension_size = 22;

FmtKind fmt_kind(const Layout& layout) {
  if (layout.channels > 2 || (layout.encoding == Encoding::pcm && layout.sample_bytes > 2))
    return FmtKind::extensible;
  return layout.encoding == Encoding::pcm ? FmtKind::plain : FmtKind::with_size;
}

std::uint32_t fmt_chunk_size(FmtKind kind) {
  switch (kind) {
    case FmtKind::plain:
      return 16;
    case FmtKind::with_size:
      return 18;
    case FmtKind::extensible:
      return 40;
  }
  return 16;
}

bool has_fact(const Layout& layout) {
  return layout.encoding != Encoding::pcm;
}

// The usual speaker positions for one to eight channels; beyond, no
// assignment at all.
std::uint32_t channel_mask(std::uint16_t channels) {
  constexpr std::array<std::uint32_t, 9> k_masks = {
      0,
      0x4,    // front centre
      0x3,    // front left, front right
      0x7,    // + front centre
      0x33,   // front left and right, back left and right
      0x37,   // + front centre
      0x3F,   // 5.1: front left, right, centre, LFE, back left, right
      0x70F,  // 6.1: front left, right, centre, LFE, back centre, side left, right
      0x63F,  // 7.1: front left, right, centre, LFE, back left, right, side left, right
  };
  return channels < k_masks.size() ? k_masks[channels] : 0;
}

// The tail every KSDATAFORMAT_SUBTYPE GUID shares after its 16-bit format code.
constexpr std::array<std::uint8_t, 14> k_guid_tail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

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

  // Everything after "WAVE" but the ds64 chunk: fmt, fact, and the data
  // chunk's header. The sizes are given as they are to be written.
  void chunks(const Layout& layout, std::uint32_t frames, std::uint32_t data_size) {
    const FmtKind kind = fmt_kind(layout);
    const auto code = static_cast<std::uint16_t>(layout.encoding);
    tag("fmt ");
    u32(fmt_chunk_size(kind));
    u16(kind == FmtKind::extensible ? k_format_extensible : code);
    u16(layout.channels);
    u32(layout.sample_rate);
    u32(static_cast<std::uint32_t>(layout.byte_rate()));
    u16(static_cast<std::uint16_t>(layout.block_align()));
    u16(static_cast<std::uint16_t>(layout.sample_bytes * 8));
    if (kind == FmtKind::with_size) u16(0);
    if (kind == FmtKind::extensible) {
      u16(k_extension_size);
      u16(static_cast<std::uint16_t>(layout.sample_bytes * 8));  // valid bits: all of them
      u32(channel_mask(layout.channels));
      u16(code);
      for (std::uint8_t b : k_guid_tail) out_[at_++] = static_cast<std::byte>(b);
    }
    if (has_fact(layout)) {
      tag("fact");
      u32(4);
      u32(frames);
    }
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

HeaderBytes riff(const Layout& layout, std::uint32_t riff_size, std::uint32_t frames,
                 std::uint32_t data_size) {
  HeaderBytes header;
  ByteWriter w(header.writable(riff_header_size(layout)));
  w.tag("RIFF");
  w.u32(riff_size);
  w.tag("WAVE");
  w.chunks(layout, frames, data_size);
  return header;
}

}  // namespace

std::expected<void, LayoutError> check_layout(const Layout& layout) {
  if (layout.block_align() > k_max_block_align)
    return std::unexpected(LayoutError::frame_too_large);
  if (layout.byte_rate() > k_max_byte_rate)
    return std::unexpected(LayoutError::byte_rate_too_large);
  return {};
}

std::size_t riff_header_size(const Layout& layout) {
  return k_riff_preamble + k_chunk_preamble + fmt_chunk_size(fmt_kind(layout)) +
         (has_fact(layout) ? k_fact_chunk_length : 0) + k_chunk_preamble;
}

std::uint64_t riff_max_data_length(const Layout& layout) {
  return 0xFFFF'FFFFULL - (riff_header_size(layout) - 8);
}

HeaderBytes WavHeader::to_bytes() const {
  const std::uint64_t frames = data_length / layout.block_align();
  const std::size_t riff_size = riff_header_size(layout);
  if (!needs_rf64()) {
    const auto length = static_cast<std::uint32_t>(data_length);
    return riff(layout, static_cast<std::uint32_t>(length + (riff_size - 8)),
                static_cast<std::uint32_t>(frames), length);
  }
  const std::size_t size = riff_size + k_ds64_chunk_length;
  HeaderBytes header;
  ByteWriter w(header.writable(size));
  w.tag("RF64");
  w.u32(k_size_unknown);
  w.tag("WAVE");
  w.tag("ds64");
  w.u32(k_ds64_chunk_length - k_chunk_preamble);
  w.u64(data_length + (size - 8));  // RIFF size
  w.u64(data_length);               // data size
  w.u64(frames);                    // sample count
  w.u32(0);                         // no table of other chunk sizes
  // The fact chunk's 32 bits hold the frame count where it fits.
  w.chunks(layout, static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, k_size_unknown)),
           k_size_unknown);
  return header;
}

HeaderBytes streaming_header(const Layout& layout) {
  return riff(layout, k_size_unknown, k_size_unknown, k_size_unknown);
}

}  // namespace wavwrap
