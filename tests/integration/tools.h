// What the integration tests share: what they do when an outside program
// they drive is missing (vdltest::FindOnPath finds them), and what a sound
// stack's recording of the test tone must show.
#ifndef VDL_TESTS_INTEGRATION_TOOLS_H
#define VDL_TESTS_INTEGRATION_TOOLS_H

#include <stdlib.h>

#include <gtest/gtest.h>

// Skips the test when something it needs is missing; fails it in CI, where
// scripts/deps.sh has installed everything and a skip would hide a gap.
#define VDL_NEED(found, what)                                                  \
  do {                                                                         \
    if (!(found)) {                                                            \
      if (getenv("CI")) FAIL() << "missing " << (what);                        \
      GTEST_SKIP() << "needs " << (what) << " (scripts/deps.sh installs it)";  \
    }                                                                          \
  } while (0)

// The sound stacks record 16-bit stereo at 48 kHz, whatever they are fed.
constexpr int kOutRate = 48000;
constexpr int kOutChannels = 2;
constexpr int kToneHz = 440;
// The pitch counts whole cycles over the tone: one cycle more or less over
// a second, and a resampler's rate a little off, stay within it; a tone
// played at the wrong rate (a fifth off and more) does not.
constexpr double kHzTolerance = 3;
// Of the tone's length, how much the recording may differ by: a server's
// last period cut short or padded, and the measure's edges (a period and
// a half each side); a lost or doubled block of 256 bytes at 8 kHz is
// past it.
constexpr double kLengthShare = 0.02;
// The longest run of near-silence inside the tone, in seconds: the zero
// crossings of a 440 Hz tone and a resampler's ringing at a block edge,
// never an underrun (a period of 10 ms or more).
constexpr double kLongestGap = 0.005;

#endif
