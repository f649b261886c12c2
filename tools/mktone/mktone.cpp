// Writes a sine tone as a canonical 44-byte-header Linear PCM WAV file:
// the demo's test sound and a fixture for the integration tests.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "wav_header.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void Usage() {
  fprintf(stderr,
          "usage: vdlmktone OUT.wav [SECONDS [RATE [CHANNELS [BITS [HZ]]]]]\n"
          "  defaults: 1 second, 44100 Hz, 2 channels, 16 bits, 440 Hz\n");
}

bool ParseNumber(const char *text, double lo, double hi, double *out) {
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 1, rate = 44100, channels = 2, bits = 16, hz = 440;
  double *fields[] = {&seconds, &rate, &channels, &bits, &hz};
  const double lo[] = {0, 1000, 1, 8, 1};
  const double hi[] = {3600, 192000, 2, 16, 20000};
  if (argc < 2 || argc > 7) {
    Usage();
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (!ParseNumber(argv[i], lo[i - 2], hi[i - 2], fields[i - 2])) {
      fprintf(stderr, "vdlmktone: bad value '%s'\n", argv[i]);
      Usage();
      return 2;
    }
  }
  if (bits != 8 && bits != 16) {
    fprintf(stderr, "vdlmktone: bits must be 8 or 16\n");
    return 2;
  }
  const uint32_t nRate = static_cast<uint32_t>(rate);
  const uint32_t nChannels = static_cast<uint32_t>(channels);
  const uint32_t nBytes = static_cast<uint32_t>(bits) / 8;
  const uint64_t frames = static_cast<uint64_t>(seconds * nRate + 0.5);
  const uint64_t dataSize = frames * nChannels * nBytes;

  uint8_t h[vdl::kWavHeaderBytes];
  vdl::PutWavHeader(h, vdl::PcmWavFields(nRate, nChannels, nBytes * 8, dataSize));

  FILE *fp = fopen(argv[1], "wb");
  if (!fp) {
    perror(argv[1]);
    return 1;
  }
  bool ok = fwrite(h, 1, sizeof h, fp) == sizeof h;
  // Half amplitude: loud enough to hear, far from clipping.
  for (uint64_t i = 0; ok && i < frames; ++i) {
    double s = 0.5 * sin(2 * kPi * hz * static_cast<double>(i) / nRate);
    uint8_t frame[4] = {};
    for (uint32_t c = 0; c < nChannels; ++c) {
      if (nBytes == 1) {
        frame[c] = static_cast<uint8_t>(lrint(128 + 127 * s));
      } else {
        int16_t sample = static_cast<int16_t>(lrint(32767 * s));
        vdl::PutLe(frame + 2 * c, static_cast<uint16_t>(sample), 2);
      }
    }
    ok = fwrite(frame, 1, nChannels * nBytes, fp) == nChannels * nBytes;
  }
  if (fclose(fp) != 0) ok = false;
  if (!ok) {
    perror(argv[1]);
    remove(argv[1]);
    return 1;
  }
  return 0;
}
