// Measures a tone in a recording: when it sounded, its pitch and the
// silences inside it.  Recordings come through sound servers and
// resamplers, which add things around a tone that the measures must see
// through: ringing before it, a held level (a click) after it, a floor of
// noise.
#ifndef VDL_TESTS_AUDIO_ANALYSIS_H
#define VDL_TESTS_AUDIO_ANALYSIS_H

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace vdltest {

// Near-silence: at or below -40 dBFS, above the noise a resampler or a
// dither leaves, far below the tones the tests play.
constexpr double kQuietLevel = 0.01;

// One channel of interleaved signed 16-bit little-endian samples, scaled to
// [-1, 1).  A partial frame at the end is left out.
std::vector<double> S16Channel(const std::string &bytes, int channels, int channel);

struct ToneMeasure {
  double start = 0;       // seconds into the recording of the first sound
  double seconds = 0;     // first to last sample of sound; 0 for none
  double hz = 0;          // 0 for fewer than two cycles
  double longestGap = 0;  // seconds: the longest near-silence or held level inside
  double extraBefore = 0; // seconds of other sound before the tone (a click)
  double extraAfter = 0;  // and after it
};
std::ostream &operator<<(std::ostream &os, const ToneMeasure &m);

// Sound is every sample louder than kQuietLevel that is not part of a held
// level (1 ms or more within 1/1024 of full scale).  The pitch counts the
// rising crossings of a band of half the tone's median magnitude, so
// ringing and noise smaller than that do not count.  The tone runs from
// the first to the last sample of sound within a period and a half of the
// outer crossings; anything louder than kQuietLevel outside it is other
// sound.
ToneMeasure MeasureTone(const std::vector<double> &samples, int rate);

// How a recording of a stream compares with the stream sent: silence the
// recording may hold first, then the stream byte for byte, then the
// recording's own ending.  Programs start and end a stream their own way:
// with silence while their decoder gets going (SDL2), short of the last
// block, or with silence to fill it.
struct StreamMatch {
  std::size_t lead = 0;     // zero bytes before the stream
  std::size_t common = 0;   // bytes equal after them
  std::size_t missing = 0;  // bytes sent that the recording lacks after those
  std::size_t extra = 0;    // bytes the recording holds past what was sent
  bool extraSilent = true;  // all of them zero: silence in a signed format
  // Equal but for a start and an end of at most maxTail bytes each:
  // silence before, and a short end or silence after.
  bool EqualUpTo(std::size_t maxTail) const {
    return lead <= maxTail && missing <= maxTail && extra <= maxTail && extraSilent &&
           (missing == 0 || extra == 0);
  }
};
std::ostream &operator<<(std::ostream &os, const StreamMatch &m);

StreamMatch CompareStream(const std::string &sent, const std::string &recorded);

}  // namespace vdltest

#endif
