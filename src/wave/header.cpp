// Reading and testing the canonical 44-byte RIFF/WAVE header.
#include "vdl/wave.h"

#include "dsp.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

using namespace vdlwave;

namespace {

// Field offsets in the header; integers are little-endian.
constexpr int kRiffId = 0;
constexpr int kWaveId = 8;
constexpr int kFmtId = 12;
constexpr int kFmtSize = 16;
constexpr int kChannels = 22;
constexpr int kFrequency = 24;
constexpr int kByteRate = 28;
constexpr int kBits = 34;
constexpr int kDataId = 36;
constexpr int kDataSize = 40;
constexpr int32_t kCanonicalFmtSize = 16;

// Byte rates below this give whole seconds times 100 as the playing time.
constexpr int32_t kCoarseRateLimit = 100;

int32_t Read32(const unsigned char *p) {
  uint32_t u = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
               static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return static_cast<int32_t>(u);
}

int32_t Read16(const unsigned char *p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

bool IsCanonical(const unsigned char *h) {
  return memcmp(h + kRiffId, "RIFF", 4) == 0 && memcmp(h + kWaveId, "WAVE", 4) == 0 &&
         memcmp(h + kFmtId, "fmt ", 4) == 0 &&
         Read32(h + kFmtSize) == kCanonicalFmtSize &&
         memcmp(h + kDataId, "data", 4) == 0;
}

// Playing time in hundredths of a second.  For byte rates of 1 to 99 the
// product wraps modulo 2^32, as a 32-bit multiply would; it is formed in
// 64 bits and narrowed so the wrap is defined.
int32_t PlayingTime(int32_t byteRate, int32_t dataSize) {
  if (byteRate <= 0) return 0;
  if (byteRate < kCoarseRateLimit) {
    int64_t hundredths = static_cast<int64_t>(dataSize / byteRate) * 100;
    return static_cast<int32_t>(static_cast<uint32_t>(hundredths));
  }
  return dataSize / (byteRate / 100);
}

}  // namespace

FILE *vdlOpenFile_WaveDSP(const char *path, int32_t *time, int32_t *stereo,
                          int32_t *channels, int32_t *freq, int32_t *bits,
                          int32_t *size) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    fprintf(stderr, "Error: Wave - Can't open file (%s).\n", path);
    return nullptr;
  }
  unsigned char h[kHeaderSize];
  if (fread(h, 1, sizeof h, fp) < sizeof h || !IsCanonical(h)) {
    fprintf(stderr,
            "Error: Wave - This file is not Linear PCM Wave Format file(%s).\n",
            path);
    fclose(fp);
    return nullptr;
  }
  int32_t channelCount = Read16(h + kChannels);
  *time = PlayingTime(Read32(h + kByteRate), Read32(h + kDataSize));
  *stereo = channelCount - 1;
  *channels = channelCount;
  *freq = Read32(h + kFrequency);
  *bits = Read16(h + kBits);
  *size = Read32(h + kDataSize);
  return fp;
}
