// vdlplay and background playback through a sound server's OSS emulation:
// libpulsedsp, preloaded, turns /dev/dsp into a PulseAudio stream, served
// by a private PulseAudio or by PipeWire's pipewire-pulse, each started by
// sound_server.sh in the test's own directory.  The server's one sink is a
// pipe read at a sound card's pace into a 48 kHz S16LE stereo recording,
// which must hold the tone played: as long, at its pitch, without a break,
// and nothing after a Ctrl-C.
#include "audio_analysis.h"
#include "testutil.h"
#include "tools.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

// PipeWire (0.3.65) pads an 8-bit stream with 0x00 bytes, full-scale
// negative in unsigned 8-bit: a click of some 5 to 90 ms before or after
// the tone.  Not the player's doing: pacat --format=u8 gets it too.
constexpr double kEightBitPadding = 0.15;
// What the server still holds when the player ends reaches the recording
// within this time, a click or a sound that should not be there included.
constexpr double kSettleSeconds = 0.5;
constexpr double kRunTimeout = 60;

enum class Server { kPulseAudio, kPipeWire };

struct Program {
  const char *name, *package;
};

// The programs a server needs, each with the Debian package that brings it.
std::vector<Program> Needs(Server s) {
  if (s == Server::kPulseAudio) return {{"pulseaudio", "pulseaudio"}};
  return {{"pipewire", "pipewire"},         {"wireplumber", "wireplumber"},
          {"pipewire-pulse", "pipewire-pulse"}, {"dbus-daemon", "dbus-daemon"},
          {"pactl", "pulseaudio-utils"}};
}

std::string ServerName(Server s) { return s == Server::kPulseAudio ? "PulseAudio" : "PipeWire"; }

// PulseAudio's OSS preload library, which the padsp script would preload.
std::string FindPulseDsp() {
  return FindFirstFile(
      {"/usr/lib/*/pulseaudio/libpulsedsp.so", "/usr/lib*/pulseaudio/libpulsedsp.so"});
}

// A private server living in dir, stopped when the object goes: on every
// way out of a test, a failed assertion included.  Should the test process
// die first, the script stops the server by itself.
class PrivateServer {
 public:
  PrivateServer(Server s, const std::string &dir) : dir_(dir) {
    started = vdltest::Run({"/bin/sh", SOUND_SERVER, "start", "-w", std::to_string(getpid()),
                            s == Server::kPulseAudio ? "pulse" : "pipewire", dir},
                           {}, kRunTimeout);
    const std::string &out = started.out;
    clientEnv = out.substr(0, out.find('\n'));
  }
  ~PrivateServer() { Stop(); }
  PrivateServer(const PrivateServer &) = delete;
  PrivateServer &operator=(const PrivateServer &) = delete;

  // Stops the server; what it played is then all in dir/out.raw.
  void Stop() {
    if (!stopped_) vdltest::Run({"/bin/sh", SOUND_SERVER, "stop", dir_}, {}, kRunTimeout);
    stopped_ = true;
  }

  RunResult started;
  std::string clientEnv;  // PULSE_SERVER=...

 private:
  std::string dir_;
  bool stopped_ = false;
};

// A test through one server (Row::server), started for it.
template <class Row>
class ThroughServer : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    const Server s = this->GetParam().server;
    for (const Program &p : Needs(s)) VDL_NEED(!FindOnPath(p.name).empty(), p.package);
    dsp_ = FindPulseDsp();
    VDL_NEED(!dsp_.empty(), "libpulsedsp");
    // libpulsedsp takes over this exact path only.
    WriteFile(dir_ / ".vdlrc", "[Audio]\nDSP=/dev/dsp\n");
    server_ = std::make_unique<PrivateServer>(s, dir_.path);
    ASSERT_EQ(server_->started.status, 0) << server_->started.err;
    ASSERT_TRUE(server_->clientEnv.starts_with("PULSE_SERVER=")) << server_->started.out;
  }

  void TearDown() override { server_.reset(); }

  std::string MakeTone(double seconds, int rate, int channels, int bits) {
    const std::string path = dir_ / "tone.wav";
    RunResult made = vdltest::Run({VDL_MKTONE, path, std::to_string(seconds),
                                   std::to_string(rate), std::to_string(channels),
                                   std::to_string(bits), std::to_string(kToneHz)});
    EXPECT_EQ(made.status, 0) << made.err;
    return path;
  }

  // A client of the server, with this test's HOME and libpulsedsp
  // preloaded.  libpulse keeps its runtime files in the test's directory
  // too, not in a /tmp/pulse-* of its own.  A sanitized program must
  // accept the library coming first and not count what libpulse leaves
  // allocated at exit.
  std::vector<std::string> ClientEnv() const {
    const char *asan = getenv("ASAN_OPTIONS");
    return {"HOME=" + dir_.path, "XDG_RUNTIME_DIR=" + dir_.path, server_->clientEnv,
            "LD_PRELOAD=" + dsp_,
            std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                ":verify_asan_link_order=0:detect_leaks=0"};
  }

  // When the recording first holds sound (louder than kQuietLevel), as the
  // server writes it; 0 when none comes within the time.
  double SoundBegins(double timeoutSec) {
    constexpr useconds_t kPollMicros = 2000;
    std::ifstream in(dir_ / "out.raw", std::ios::binary);
    for (double end = Now() + timeoutSec; Now() < end; usleep(kPollMicros)) {
      char frame[2 * kOutChannels];
      in.clear();
      while (in.read(frame, sizeof frame)) {
        if (std::fabs(S16Channel(std::string(frame, sizeof frame), kOutChannels, 0)[0]) >
            kQuietLevel)
          return Now();
      }
      // A partial frame read is read again, whole, next time.
      in.clear();
      in.seekg(-in.gcount(), std::ios::cur);
    }
    return 0;
  }

  // Lets the server play out, stops it and measures each channel of what
  // it played.
  std::vector<ToneMeasure> Recorded() {
    usleep(static_cast<useconds_t>(kSettleSeconds * 1e6));
    server_->Stop();
    const std::string bytes = ReadFile(dir_ / "out.raw");
    std::vector<ToneMeasure> measures;
    for (int ch = 0; ch < kOutChannels; ++ch)
      measures.push_back(MeasureTone(S16Channel(bytes, kOutChannels, ch), kOutRate));
    return measures;
  }

  TempDir dir_;
  std::string dsp_;
  std::unique_ptr<PrivateServer> server_;
};

// The tone came out whole: seconds long (within tolerance), at 440 Hz,
// without a break, and with no more other sound around it than allowed.
void ExpectTone(const std::vector<ToneMeasure> &measures, double seconds, double tolerance,
                double otherAllowed = 0) {
  for (std::size_t ch = 0; ch < measures.size(); ++ch) {
    const ToneMeasure &m = measures[ch];
    SCOPED_TRACE(::testing::Message() << "channel " << ch << ": " << m);
    EXPECT_NEAR(m.seconds, seconds, tolerance);
    EXPECT_NEAR(m.hz, kToneHz, kHzTolerance);
    EXPECT_LE(m.longestGap, kLongestGap);
    EXPECT_LE(m.extraBefore + m.extraAfter, otherAllowed);
  }
}

// One tone format played through one server.
struct FormatRow {
  std::string name;
  Server server;
  int rate, channels, bits;
};

std::vector<FormatRow> FormatRows() {
  struct Format {
    int rate, channels, bits;
  };
  const Format formats[] = {{8000, 1, 8}, {11025, 2, 8}, {22050, 2, 16}, {44100, 1, 16},
                            {48000, 2, 16}};
  std::vector<FormatRow> rows;
  for (Server s : {Server::kPulseAudio, Server::kPipeWire})
    for (const Format &f : formats)
      rows.push_back({ServerName(s) + std::to_string(f.rate) +
                          (f.channels == 1 ? "Mono" : "Stereo") + std::to_string(f.bits) + "Bit",
                      s, f.rate, f.channels, f.bits});
  return rows;
}

using ServerFormat = ThroughServer<FormatRow>;

TEST_P(ServerFormat, TwoSecondsOf440HzComeOutWholeAtPitch) {
  const FormatRow &row = GetParam();
  constexpr double kSeconds = 2;
  const std::string tone = MakeTone(kSeconds, row.rate, row.channels, row.bits);
  RunResult played = vdltest::Run({VDL_PLAYER, tone}, ClientEnv(), kRunTimeout);
  ASSERT_EQ(played.status, 0) << played.err;
  EXPECT_EQ(played.err.find("Error"), std::string::npos) << played.err;
  EXPECT_NE(played.out.find("Sampling freq: " + std::to_string(row.rate) + " Hz"),
            std::string::npos) << played.out;
  const bool padded = row.server == Server::kPipeWire && row.bits == 8;
  ExpectTone(Recorded(), kSeconds, kSeconds * kLengthShare, padded ? kEightBitPadding : 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, ServerFormat, ::testing::ValuesIn(FormatRows()), ByName());

// A test that needs nothing but the server.
struct ServerRow {
  std::string name;
  Server server;
};

const auto kServers = ::testing::Values(ServerRow{"PulseAudio", Server::kPulseAudio},
                                        ServerRow{"PipeWire", Server::kPipeWire});

using ServerInterrupt = ThroughServer<ServerRow>;

// Ctrl-C 1.5 s into the sound drops what the server still holds for the
// stream: no sound comes after the signal, and the player ends at once.
TEST_P(ServerInterrupt, CtrlCStopsTheSoundWithTheSignal) {
  // Heard: the signal lands within the test's own wake-up and the
  // server's latency of it, some 50 ms each way.  Exit: the handler's
  // reset and close, and the test's wait for the child.
  constexpr double kFileSeconds = 5, kSignalAt = 1.5, kHeardTolerance = 0.1,
                   kExitWithin = 0.1;
  const std::string tone = MakeTone(kFileSeconds, 44100, 2, 16);
  pid_t pid = Spawn({VDL_PLAYER, tone}, ClientEnv(), dir_ / "player.out", dir_ / "player.err");
  ASSERT_GT(pid, 0);
  const double began = SoundBegins(kFileSeconds);
  if (began == 0) {
    kill(pid, SIGKILL);
    Wait(pid);
  }
  ASSERT_NE(began, 0) << "no sound reached the recording";
  usleep(static_cast<useconds_t>(std::max(0.0, began + kSignalAt - Now()) * 1e6));
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const double signalled = Now();
  const int status = Wait(pid, kRunTimeout);
  const double exited = Now();
  EXPECT_EQ(status, 1);
  EXPECT_LE(exited - signalled, kExitWithin);
  const std::string err = ReadFile(dir_ / "player.err");
  EXPECT_EQ(Count(err, "Terminated..."), 1) << err;
  ExpectTone(Recorded(), kSignalAt, kHeardTolerance);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerInterrupt, kServers, ByName());

// Background playback through the C API while the caller keeps a core busy
// (bgm_compute), once straight through and once paused for pauseFor
// seconds after pauseAt.
struct BackgroundRow {
  std::string name;
  Server server;
  double pauseAt = 0, pauseFor = 0;
  // How far the silence may be off the pause: the pause and the resume
  // each take effect within 50 ms, and PipeWire starts the stream again a
  // quantum late (libpulsedsp's fragment of 1/24 s sets it; a new stream's
  // first sound comes as late), which a busy machine lengthens.
  double silenceTolerance = 0.06;
};

using ServerBackground = ThroughServer<BackgroundRow>;

// The sound plays on to its end without a break, but for the pause: the
// pause silences it and the resume brings it back (so the silence is the
// pause, within the row's tolerance), and nothing of the tone is lost or
// heard twice but part of a block (2 % of its length allows for that and
// for the tone measure's edges).
TEST_P(ServerBackground, PlaysOnWhileTheCallerComputes) {
  constexpr double kSeconds = 3;
  const BackgroundRow &row = GetParam();
  const std::string tone = MakeTone(kSeconds, 44100, 2, 16);
  std::vector<std::string> cmd = {BGM_COMPUTE, tone};
  if (row.pauseFor > 0) cmd.insert(cmd.end(), {std::to_string(row.pauseAt), std::to_string(row.pauseFor)});
  RunResult run = vdltest::Run(cmd, ClientEnv(), kRunTimeout);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("counted "), std::string::npos) << run.out;
  EXPECT_EQ(run.err.find("Error"), std::string::npos) << run.err;
  std::vector<ToneMeasure> whole = Recorded();
  if (row.pauseFor == 0) return ExpectTone(whole, kSeconds, kSeconds * kLengthShare);
  // Either side of the middle of the silence: one whole tone each.
  const std::string bytes = ReadFile(dir_ / "out.raw");
  for (int ch = 0; ch < kOutChannels; ++ch) {
    std::vector<double> x = S16Channel(bytes, kOutChannels, ch);
    const double cut = whole[ch].start + row.pauseAt + row.pauseFor / 2;
    const auto at = x.begin() + std::min<std::ptrdiff_t>(std::llround(cut * kOutRate), std::ssize(x));
    const ToneMeasure before = MeasureTone({x.begin(), at}, kOutRate);
    const ToneMeasure after = MeasureTone({at, x.end()}, kOutRate);
    SCOPED_TRACE(::testing::Message() << "channel " << ch << ": " << before << " | " << after);
    EXPECT_NEAR(before.seconds + after.seconds, kSeconds, kSeconds * kLengthShare);
    EXPECT_NEAR(cut + after.start - (before.start + before.seconds), row.pauseFor,
                row.silenceTolerance);
    EXPECT_LE(std::max(before.longestGap, after.longestGap), kLongestGap);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, ServerBackground,
    ::testing::Values(BackgroundRow{"PulseAudio", Server::kPulseAudio},
                      BackgroundRow{"PipeWire", Server::kPipeWire},
                      BackgroundRow{"PulseAudioPaused", Server::kPulseAudio, 1, 1},
                      BackgroundRow{"PipeWirePaused", Server::kPipeWire, 1, 1, 0.1}),
    ByName());

}  // namespace
