// The tone measures on signals made here, one row per kind of recording the
// integration tests meet: a clean tone, one with a gap, one after a
// resampler's ringing, one followed by a padding click.
#include "audio_analysis.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;
constexpr double kHz = 440;
constexpr double kAmplitude = 0.5;
// A sample or two at each edge of a tone or a gap lies near zero.
constexpr double kTimeTolerance = 0.0002;
constexpr double kHzTolerance = 0.05;

// A stretch of signal: a sine tone of kHz, silence, a held level, or
// ringing that grows towards what follows, as a resampler's filter leaves
// before a step (alternating sign, a few percent of full scale).
struct Piece {
  enum Kind { kTone, kSilence, kHeld, kRinging } kind;
  double seconds;
  double level = kAmplitude;  // tone amplitude, held level, ringing peak
};

struct Case {
  std::string name;
  std::vector<Piece> pieces;
  ToneMeasure want;
  double noise = 0;  // peak of a uniform noise added everywhere
};

std::vector<double> Make(const Case &c) {
  std::vector<double> x;
  for (const Piece &p : c.pieces) {
    const auto n = static_cast<std::size_t>(std::lround(p.seconds * kRate));
    for (std::size_t i = 0; i < n; ++i) {
      switch (p.kind) {
        case Piece::kTone:
          x.push_back(p.level * std::sin(2 * kPi * kHz * static_cast<double>(i) / kRate));
          break;
        case Piece::kSilence: x.push_back(0); break;
        case Piece::kHeld: x.push_back(p.level); break;
        case Piece::kRinging:
          x.push_back((i % 2 ? -p.level : p.level) * static_cast<double>(i + 1) /
                      static_cast<double>(n));
          break;
      }
    }
  }
  uint32_t seed = 12345;
  for (double &v : x) {
    seed = seed * 1103515245u + 12345u;
    v += c.noise * (static_cast<double>(seed >> 8) / (1u << 23) - 1);
  }
  return x;
}

class MeasureToneTest : public ::testing::TestWithParam<Case> {};

TEST_P(MeasureToneTest, FindsTheTonesSpanPitchAndGaps) {
  const Case &c = GetParam();
  const ToneMeasure got = MeasureTone(Make(c), kRate);
  SCOPED_TRACE(::testing::Message() << "measured " << got);
  EXPECT_NEAR(got.start, c.want.start, kTimeTolerance);
  EXPECT_NEAR(got.seconds, c.want.seconds, kTimeTolerance);
  EXPECT_NEAR(got.hz, c.want.hz, kHzTolerance);
  EXPECT_NEAR(got.longestGap, c.want.longestGap, kTimeTolerance);
  EXPECT_NEAR(got.heldAfter, c.want.heldAfter, kTimeTolerance);
}

// 130 samples of ringing: what a band-limited resampler leaves before a
// tone starts.
constexpr double kRinging = 130.0 / kRate;

INSTANTIATE_TEST_SUITE_P(Signals, MeasureToneTest, ::testing::Values(
    Case{"CleanTone", {{Piece::kSilence, 0.1}, {Piece::kTone, 2}, {Piece::kSilence, 0.1}},
         {.start = 0.1, .seconds = 2, .hz = kHz}},
    Case{"QuietTone", {{Piece::kSilence, 0.1}, {Piece::kTone, 2, 0.05}},
         {.start = 0.1, .seconds = 2, .hz = kHz}},
    Case{"ToneWithGap",
         {{Piece::kTone, 1}, {Piece::kSilence, 0.02}, {Piece::kTone, 1}},
         {.seconds = 2.02, .hz = kHz, .longestGap = 0.02}},
    Case{"ToneDroppingToAHeldLevel",
         {{Piece::kTone, 1}, {Piece::kHeld, 0.01, 0.3}, {Piece::kTone, 1}},
         {.seconds = 2.01, .hz = kHz, .longestGap = 0.01}},
    Case{"RingingBeforeTone",
         {{Piece::kSilence, 0.1}, {Piece::kRinging, kRinging, 0.03}, {Piece::kTone, 2}},
         {.start = 0.1 + kRinging / 3, .seconds = 2 + kRinging * 2 / 3, .hz = kHz}},
    Case{"EightBitPaddingClickAfterTone",
         {{Piece::kTone, 2}, {Piece::kHeld, 0.005, -1}, {Piece::kSilence, 0.085},
          {Piece::kHeld, 0.043, -1}, {Piece::kSilence, 0.085}},
         {.seconds = 2, .hz = kHz, .heldAfter = 0.048}},
    Case{"ToneInNoiseBelowTheSilenceLevel",
         {{Piece::kSilence, 0.1}, {Piece::kTone, 2}, {Piece::kSilence, 0.1}},
         {.start = 0.1, .seconds = 2, .hz = kHz}, 0.005},
    Case{"SilenceOnly", {{Piece::kSilence, 1}}, {}}), ByName());

TEST(S16Channel, TakesOneChannelOfInterleavedFramesScaledToOne) {
  const std::string bytes = Le32(0x80004000) + Le32(0x7fffffff) + "\x01";
  EXPECT_EQ(S16Channel(bytes, 2, 0), (std::vector<double>{0.5, -1.0 / 32768}));
  EXPECT_EQ(S16Channel(bytes, 2, 1), (std::vector<double>{-1, 32767.0 / 32768}));
  EXPECT_EQ(S16Channel(bytes, 1, 0).size(), 4u);
}

}  // namespace
