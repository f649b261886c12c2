// The canonical 44-byte WAV header, as the tools and the tests write it:
// one layout, so a recording, a tone and a test fixture cannot disagree.
#ifndef VDL_TOOLS_WAV_HEADER_H
#define VDL_TOOLS_WAV_HEADER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace vdl {

constexpr size_t kWavHeaderBytes = 44;
// The most data bytes a header can count: its RIFF size holds 36 more.
constexpr uint32_t kMaxWavData = 0xFFFFFFFFu - 36;

// Each field as it stands in the header; tests set odd values on purpose.
struct WavFields {
  uint32_t riffSize;  // bytes after this field: 36 + the data bytes
  uint32_t fmtSize;
  uint16_t formatTag;
  uint16_t channels;
  uint32_t rate;
  uint32_t byteRate;
  uint16_t blockAlign;
  uint16_t bits;
  uint32_t dataSize;
};

inline void PutLe(uint8_t *p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutWavHeader(uint8_t out[kWavHeaderBytes], const WavFields &f) {
  memcpy(out, "RIFF", 4);
  PutLe(out + 4, f.riffSize, 4);
  memcpy(out + 8, "WAVEfmt ", 8);
  PutLe(out + 16, f.fmtSize, 4);
  PutLe(out + 20, f.formatTag, 2);
  PutLe(out + 22, f.channels, 2);
  PutLe(out + 24, f.rate, 4);
  PutLe(out + 28, f.byteRate, 4);
  PutLe(out + 32, f.blockAlign, 2);
  PutLe(out + 34, f.bits, 2);
  memcpy(out + 36, "data", 4);
  PutLe(out + 40, f.dataSize, 4);
}

// Linear PCM of dataBytes bytes; counts too large for their fields are
// held to the largest that fit, so a long recording keeps a readable header.
inline WavFields PcmWavFields(uint32_t rate, uint32_t channels, uint32_t bits,
                              uint64_t dataBytes) {
  uint32_t data = dataBytes > kMaxWavData ? kMaxWavData : static_cast<uint32_t>(dataBytes);
  uint32_t frame = channels * (bits / 8);
  uint64_t byteRate = static_cast<uint64_t>(rate) * frame;
  return {.riffSize = 36 + data,
          .fmtSize = 16,
          .formatTag = 1,  // Linear PCM
          .channels = static_cast<uint16_t>(channels),
          .rate = rate,
          .byteRate = byteRate > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(byteRate),
          .blockAlign = static_cast<uint16_t>(frame),
          .bits = static_cast<uint16_t>(bits),
          .dataSize = data};
}

}  // namespace vdl

#endif
