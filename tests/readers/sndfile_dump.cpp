// Reads a WAV file with libsndfile, an independent reader: prints
// "RATE CHANNELS FORMAT FRAMES" and, when given a second file, writes the
// samples there as libsndfile's API hands them out: 32-bit integers
// (scaled to the top of the int, the API's convention) or, with a third
// argument "double", 64-bit floats, in the host's byte order.
#include <sndfile.h>

#include <cstdio>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: sndfile_dump IN.wav [OUT.raw [int|double]]\n");
    return 2;
  }
  SF_INFO info{};
  SNDFILE* in = sf_open(argv[1], SFM_READ, &info);
  if (in == nullptr) {
    std::fprintf(stderr, "sndfile: %s\n", sf_strerror(nullptr));
    return 1;
  }
  std::printf("%d %d 0x%x %lld\n", info.samplerate, info.channels,
              static_cast<unsigned>(info.format), static_cast<long long>(info.frames));
  if (argc == 2) return sf_close(in) == 0 ? 0 : 1;
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  const bool as_double = argc == 4 && std::string_view(argv[3]) == "double";
  // Whole frames at a time: libsndfile refuses item counts that split one.
  constexpr sf_count_t k_frames = 1024;
  const auto items = static_cast<std::size_t>(k_frames * info.channels);
  sf_count_t n = 0;
  if (as_double) {
    std::vector<double> block(items);
    while ((n = sf_readf_double(in, block.data(), k_frames)) > 0)
      std::fwrite(block.data(), sizeof(double), static_cast<std::size_t>(n * info.channels), out);
  } else {
    std::vector<int> block(items);
    while ((n = sf_readf_int(in, block.data(), k_frames)) > 0)
      std::fwrite(block.data(), sizeof(int), static_cast<std::size_t>(n * info.channels), out);
  }
  sf_close(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
