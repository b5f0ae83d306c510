// Reads a WAV file with libsndfile, an independent reader: prints
// "RATE CHANNELS FORMAT FRAMES" and, when given a second file, writes the
// decoded samples there as unsigned 8-bit values.
#include <sndfile.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: sndfile_dump IN.wav [OUT.raw]\n");
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
  int block[4096];
  sf_count_t n = 0;
  // libsndfile scales 8-bit samples to the top byte of an int, centred on zero.
  while ((n = sf_read_int(in, block, 4096)) > 0) {
    for (sf_count_t i = 0; i < n; ++i) std::fputc((block[i] >> 24) + 128, out);
  }
  sf_close(in);
  return std::fclose(out) == 0 ? 0 : 1;
}
