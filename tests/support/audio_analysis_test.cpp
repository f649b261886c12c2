// The tone measures on signals made here, one row per kind of recording the
// integration tests meet: a clean tone, one with a gap, one after a
// resampler's ringing, one beside a padding click.
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

// A stretch of signal: a sine tone of kHz, silence, a held level, ringing
// that grows towards what follows, as a resampler's filter leaves before a
// step (alternating sign), or a click: a jump to a held level, where the
// resampler rings for kClickRing samples.
struct Piece {
  enum Kind { kTone, kSilence, kHeld, kRinging, kClick } kind;
  double seconds;
  double level = kAmplitude;  // tone amplitude, held level, ringing peak
};

constexpr int kClickRing = 7;
constexpr double kClickOvershoot = 0.06;

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
        case Piece::kClick:
          x.push_back(i < kClickRing && i % 2 == 0 ? p.level * (1 - kClickOvershoot) : p.level);
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
  EXPECT_NEAR(got.extraBefore, c.want.extraBefore, kTimeTolerance);
  EXPECT_NEAR(got.extraAfter, c.want.extraAfter, kTimeTolerance);
}

// 130 samples of ringing below -40 dBFS: what ALSA's rate plugin leaves
// before a tone starts.
constexpr double kRinging = 130.0 / kRate;
constexpr double kRingingPeak = 0.006;
// Louder ringing, just before the tone: its last 27 samples are sound.
constexpr int kLoudRinging = 40, kLoudRingingHeard = 27;
constexpr double kLoudRingingPeak = 0.03;

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
    Case{"RingingRightBeforeTone",
         {{Piece::kSilence, 0.1}, {Piece::kRinging, kLoudRinging / double{kRate}, kLoudRingingPeak},
          {Piece::kTone, 2}},
         {.start = 0.1 + (kLoudRinging - kLoudRingingHeard) / double{kRate},
          .seconds = 2 + kLoudRingingHeard / double{kRate}, .hz = kHz}},
    Case{"QuietRingingBeforeTone",
         {{Piece::kSilence, 0.1}, {Piece::kRinging, kRinging, kRingingPeak}, {Piece::kTone, 2}},
         {.start = 0.1 + kRinging, .seconds = 2, .hz = kHz}},
    Case{"EightBitPaddingClickBeforeTone",
         {{Piece::kHeld, 0.045, -1}, {Piece::kTone, 2}},
         {.start = 0.045, .seconds = 2, .hz = kHz, .extraBefore = 0.045}},
    // The ringing where the tone jumps into the click joins the tone.
    Case{"EightBitPaddingClicksAfterTone",
         {{Piece::kTone, 2}, {Piece::kClick, 0.005, -1}, {Piece::kSilence, 0.085},
          {Piece::kClick, 0.043, -1}, {Piece::kSilence, 0.085}},
         {.seconds = 2 + kClickRing / double{kRate}, .hz = kHz,
          .extraAfter = 0.048 - kClickRing / double{kRate}}},
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

namespace {

// ---- comparing a recording with the stream sent ---------------------------

struct Ending {
  const char *name;
  std::string recorded;  // of the stream "abcdef"
  std::size_t maxTail;
  bool equal;
};
class StreamEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(StreamEnding, AllowsOnlySilenceBeforeAndAShortEndOrSilenceAfter) {
  const Ending &e = GetParam();
  EXPECT_EQ(CompareStream("abcdef", e.recorded).EqualUpTo(e.maxTail), e.equal)
      << CompareStream("abcdef", e.recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, StreamEnding,
    ::testing::Values(Ending{"Whole", "abcdef", 0, true},
                      Ending{"ShortEnd", "abcd", 2, true},
                      Ending{"TooShort", "abc", 2, false},
                      Ending{"SilencePadded", std::string("abcdef\0\0", 8), 2, true},
                      Ending{"TooMuchSilence", std::string("abcdef\0\0\0", 9), 2, false},
                      Ending{"SoundPadded", "abcdefg", 2, false},
                      Ending{"ChangedInside", "abXdef", 6, false},
                      Ending{"ShortAndPadded", std::string("abcde\0", 6), 6, false},
                      Ending{"SilenceBefore", std::string("\0\0abcdef", 8), 2, true},
                      Ending{"TooMuchSilenceBefore", std::string("\0\0\0abcdef", 9), 2, false},
                      Ending{"SoundBefore", "xabcdef", 2, false}),
    ByName());

}  // namespace
