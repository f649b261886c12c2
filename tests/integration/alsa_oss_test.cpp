// vdlplay through a real third-party OSS emulation: alsa-oss's preload
// library turns /dev/dsp into ALSA's default PCM, which a private
// ~/.asoundrc routes through a plug (rate and format conversion) into a
// WAV file at a fixed 48 kHz S16_LE stereo.  A one-second 440 Hz tone must
// come out as one second at 440 Hz: that holds only when the player set the
// device's rate, channels and sample format from the header.
#include "audio_analysis.h"
#include "testutil.h"
#include "tools.h"

#include <stdlib.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {


// The library that alsa-oss's aoss script preloads.  The script itself
// preloads only where /proc/asound exists, which a machine without a sound
// card (a container, CI) lacks; the null PCM used here needs no card.
std::string FindAossLibrary() {
  return FindFirstFile(
      {"/usr/lib/*/libaoss.so", "/usr/lib*/libaoss.so", "/usr/local/lib/libaoss.so"});
}

// The plug converts rates with alsa-lib's own linear interpolation: where
// libasound2-plugins is installed it would otherwise take the speex
// resampler, whose filter rings before the tone (which the tone measure
// sees through, but the recording then depends on the machine).
std::string AsoundRc(const std::string &outWav) {
  return "pcm.!default {\n"
         "  type plug\n"
         "  rate_converter \"linear\"\n"
         "  slave {\n"
         "    pcm { type file; file \"" + outWav + "\"; format \"wav\"; slave.pcm \"null\" }\n"
         "    rate " + std::to_string(kOutRate) + "\n"
         "    format S16_LE\n"
         "    channels " + std::to_string(kOutChannels) + "\n"
         "  }\n"
         "}\n";
}

// What sox makes of the recorded file.
struct Recording {
  int rate = 0, channels = 0;
  long frames = 0;
  std::vector<double> channel[kOutChannels];
};

int FieldAfter(const std::string &text, const std::string &label) {
  std::size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  at = text.find(':', at);
  return at == std::string::npos ? -1 : atoi(text.c_str() + at + 1);
}

Recording Measure(const std::string &sox, const std::string &wav, const std::string &raw) {
  Recording r;
  RunResult info = Run({sox, "--i", wav});
  EXPECT_EQ(info.status, 0) << info.err;
  r.rate = FieldAfter(info.out, "Sample Rate");
  r.channels = FieldAfter(info.out, "Channels");
  std::size_t eq = info.out.find(" = ", info.out.find("Duration"));
  if (eq != std::string::npos) r.frames = atol(info.out.c_str() + eq + 3);
  RunResult conv = Run({sox, wav, "-t", "raw", "-e", "signed", "-b", "16", raw});
  EXPECT_EQ(conv.status, 0) << conv.err;
  std::string bytes = ReadFile(raw);
  for (int ch = 0; ch < kOutChannels && r.channels == kOutChannels; ++ch)
    r.channel[ch] = S16Channel(bytes, kOutChannels, ch);
  return r;
}

// One tone made at toneRate; headerRate, when not 0, replaces the rate the
// header claims, so the player sets the device to another rate than the
// data was made for and the tone comes out slower or faster.
struct ToneCase {
  int toneRate, channels, bits, headerRate;
};

void PrintTo(const ToneCase &c, std::ostream *os) {
  *os << c.toneRate << " Hz, " << c.channels << " ch, " << c.bits << " bits";
  if (c.headerRate) *os << ", labelled " << c.headerRate << " Hz";
}

std::string CaseName(const ::testing::TestParamInfo<ToneCase> &info) {
  const ToneCase &c = info.param;
  std::string name = std::to_string(c.toneRate) + (c.channels == 1 ? "Mono" : "Stereo") +
                     std::to_string(c.bits) + "Bit";
  if (c.headerRate) name += "LabelledAs" + std::to_string(c.headerRate);
  return name;
}

class AlsaOss : public ::testing::TestWithParam<ToneCase> {
 protected:
  void SetUp() override {
    sox_ = FindOnPath("sox");
    aoss_ = FindAossLibrary();
    VDL_NEED(!sox_.empty(), "sox");
    VDL_NEED(!aoss_.empty(), "alsa-oss");
  }
  std::string sox_, aoss_;
};

TEST_P(AlsaOss, OneSecondOf440HzComesOutAsOneSecondAt440Hz) {
  const ToneCase c = GetParam();
  TempDir dir;
  WriteFile(dir / ".vdlrc", "[Audio]\nDSP=/dev/dsp\n");
  WriteFile(dir / ".asoundrc", AsoundRc(dir / "out.wav"));
  const std::string tone = dir / "tone.wav";
  RunResult made = vdltest::Run({VDL_MKTONE, tone, "1", std::to_string(c.toneRate),
                        std::to_string(c.channels), std::to_string(c.bits),
                        std::to_string(static_cast<int>(kToneHz))});
  ASSERT_EQ(made.status, 0) << made.err;
  int labelled = c.toneRate;
  if (c.headerRate) {
    labelled = c.headerRate;
    std::string wav = ReadFile(tone);
    wav.replace(24, 8, Le32(labelled) + Le32(labelled * c.channels * c.bits / 8));
    WriteFile(tone, wav);
  }

  // Only the test's own ALSA configuration may define the default PCM.
  std::vector<std::string> env = {"HOME=" + dir.path, "XDG_CONFIG_HOME=" + dir.path,
                                  "LD_PRELOAD=" + aoss_, "ALSA_CONFIG_PATH"};
  // A sanitized player must accept the preloaded library coming first, and
  // not count the record libaoss leaks for each device it opens (24 bytes,
  // valgrind sees it too); the memcheck test covers the player's own leaks.
  const char *asan = getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                ":verify_asan_link_order=0:detect_leaks=0");
  RunResult played = vdltest::Run({VDL_PLAYER, tone}, env, 60);
  ASSERT_EQ(played.status, 0) << played.err;
  EXPECT_EQ(played.err.find("Error"), std::string::npos) << played.err;
  EXPECT_NE(played.out.find("Sampling freq: " + std::to_string(labelled) + " Hz"),
            std::string::npos) << played.out;

  Recording r = Measure(sox_, dir / "out.wav", dir / "out.raw");
  ASSERT_EQ(r.rate, kOutRate);
  ASSERT_EQ(r.channels, kOutChannels);
  const double speed = static_cast<double>(labelled) / c.toneRate;
  EXPECT_NEAR(static_cast<double>(r.frames) / r.rate, 1 / speed, kLengthShare / speed);
  for (int ch = 0; ch < kOutChannels; ++ch) {
    const ToneMeasure m = MeasureTone(r.channel[ch], r.rate);
    SCOPED_TRACE(::testing::Message() << "channel " << ch << ": " << m);
    EXPECT_NEAR(m.seconds, 1 / speed, kLengthShare / speed);
    EXPECT_NEAR(m.hz, kToneHz * speed, kHzTolerance);
    EXPECT_LE(m.longestGap, kLongestGap);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AlsaOss, ::testing::Values(
    ToneCase{8000, 1, 8, 0},
    ToneCase{11025, 2, 8, 0},
    ToneCase{16000, 1, 16, 0},
    ToneCase{22050, 2, 16, 0},
    ToneCase{32000, 2, 8, 0},
    ToneCase{44100, 1, 16, 0},
    ToneCase{48000, 2, 16, 0}), CaseName);

// The measurement sees a wrong device rate: data made at 44.1 kHz but
// labelled 22.05 kHz plays twice as long, an octave down.
INSTANTIATE_TEST_SUITE_P(Mislabelled, AlsaOss, ::testing::Values(
    ToneCase{44100, 2, 16, 22050},
    ToneCase{11025, 1, 8, 22050}), CaseName);

}  // namespace
