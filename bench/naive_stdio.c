/* The naive baseline: stdio streams, the length found by seeking to the end,
 * then one fread and one fwrite of a single byte per sample. This is what a
 * straightforward first version of the tool looks like; the benchmark shows
 * what the kernel copy paths gain over it. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void put32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  FILE* in = fopen(argv[1], "rb");
  FILE* out = fopen(argv[2], "wb");
  if (in == NULL || out == NULL) return 1;
  uint32_t rate = (uint32_t)strtol(argv[3], NULL, 10);
  fseek(in, 0, SEEK_END);
  uint32_t length = (uint32_t)ftell(in);
  fseek(in, 0, SEEK_SET);
  unsigned char h[44];
  memcpy(h, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\0\0\0\0\0\0\0\0\x01\0\x08\0data", 40);
  put32(h + 4, length + 36);
  put32(h + 24, rate);
  put32(h + 28, rate);
  put32(h + 40, length);
  fwrite(h, 1, 44, out);
  static unsigned char byte;
  for (uint32_t i = 0; i < length; ++i) {
    fread(&byte, 1, 1, in);
    fwrite(&byte, 1, 1, out);
  }
  fclose(in);
  fclose(out);
  return 0;
}
