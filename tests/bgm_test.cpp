// Background playback through the virtual device: scripts run by
// vdlbgm_driver under vdsp, checked against the device's trace, the bytes
// it played and the driver's own report (see bgm_driver.cpp).
#include "vdsp_rig.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

const std::string kDriver = BGM_DRIVER_PATH;
const std::string kFrontEnd = BGM_FRONTEND_PATH;
const std::string kPrep = "open RESET CHANNELS STEREO SPEED SETFMT";
const std::string kReadError = "Error: Wave - File Read error(";

// A device call as a short token: W<asked> for a write, the request's
// name without SNDCTL_DSP_, "mark" for the driver's unknown request, or the
// event's name.
std::string Token(const TraceEvent &e) {
  if (e.name == "write") return "W" + std::to_string(e.Int("asked"));
  if (e.name != "ioctl") return e.name;
  return e.subject.starts_with("SNDCTL_DSP_") ? e.subject.substr(11) : "mark";
}

std::string Tokens(const std::vector<TraceEvent> &events) {
  std::string s;
  for (const TraceEvent &e : events) s += (s.empty() ? "" : " ") + Token(e);
  return s;
}

std::string Repeat(const std::string &token, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += " " + token;
  return s;
}

// Lines joined by '|', for short expectations.
std::string Lines(const std::string &text) {
  std::string s = text;
  for (char &c : s)
    if (c == '\n') c = '|';
  if (!s.empty() && s.back() == '|') s.pop_back();
  return s;
}

// A home with its own device and a WAV file (8 kHz mono 8-bit unless
// told), and the run of a program on that file under vdsp.
struct Rig : DeviceHome {
  std::string data, played;
  RunResult result;
  std::vector<TraceEvent> events;

  Rig(int32_t dataSize, std::size_t fileBytes, WavFormat format = {}) {
    data = Pattern(fileBytes, 5);
    format.dataSize = dataSize;
    WriteFile(dir / "sound.wav", MakeWav(format, data));
  }

  void Run(const std::vector<std::string> &vdspOptions, const std::string &program,
           const std::vector<std::string> &words) {
    std::vector<std::string> command = {program, dir / "sound.wav"};
    command.insert(command.end(), words.begin(), words.end());
    result = DeviceHome::Run(vdspOptions, command);
    played = ReadFile(out);
    events = ReadTrace(trace);
  }
};

// ---- scripts played at once: blocks, flag and timer -----------------------

struct Script {
  const char *name;
  int32_t dataSize;
  std::size_t fileBytes;
  std::vector<std::string> words;
  std::string out;    // the driver's report, lines joined by '|'
  std::string trace;  // device calls
  std::string err;
  std::size_t played;  // the leading data bytes the device played
};

class BgmScript : public ::testing::TestWithParam<Script> {};

TEST_P(BgmScript, WritesTheBlocksAndReportsTheFlag) {
  const Script &s = GetParam();
  Rig rig(s.dataSize, s.fileBytes);
  rig.Run({"--fast"}, kDriver, s.words);
  EXPECT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(Lines(rig.result.out), s.out);
  EXPECT_EQ(Tokens(rig.events), s.trace) << ReadFile(rig.trace);
  EXPECT_EQ(rig.result.err, s.err);
  EXPECT_EQ(rig.played, rig.data.substr(0, s.played));
}

const std::string kArm = "setitimer 1000 1000|play 1|";
const std::string kDisarm = "setitimer 0 0|end";

INSTANTIATE_TEST_SUITE_P(
    Cases, BgmScript,
    ::testing::Values(
        // The flag is 1 before any playback; it drops in the signal that
        // takes the last block.
        Script{"Size600", 600, 600, {"flag", "play", "out", "end"},
               "flag 1|" + kArm + "out 1|" + kDisarm,
               kPrep + " W256 W256 W88 SYNC close", "", 600},
        Script{"Size512", 512, 512, {"play", "out", "end"}, kArm + "out 1|" + kDisarm,
               kPrep + " W256 W256 SYNC close", "", 512},
        // Ten steps per signal: the tenth block is taken by the first
        // signal, an eleventh needs a second.
        Script{"TenBlocks", 2560, 2560, {"play", "out", "end"}, kArm + "out 1|" + kDisarm,
               kPrep + Repeat("W256", 10) + " SYNC close", "", 2560},
        Script{"ElevenBlocks", 2561, 2561, {"play", "out", "end"}, kArm + "out 2|" + kDisarm,
               kPrep + Repeat("W256", 10) + " W1 SYNC close", "", 2561},
        // No data: nothing is written and the flag stays 1 until a pause.
        Script{"Size0", 0, 0, {"play", "signals:3", "flag", "stop", "flag", "end"},
               kArm + "flag 1|stop|flag 0|" + kDisarm, kPrep + " SYNC RESET SYNC close", "",
               0},
        // No SA_RESTART: the timer's signal ends a blocking call early.
        Script{"TimerInterruptsBlockingCalls", 0, 0, {"play", "read", "end"},
               kArm + "read interrupted|" + kDisarm, kPrep + " SYNC close", "", 0},
        Script{"NullStream", 600, 600, {"flag", "play-null", "flag"}, "flag 1|play 0|flag 1",
               "open close", "", 0},
        // End without a start: flag 0, SIGALRM handled, no timer, a SYNC.
        Script{"EndWithoutPlay", 600, 600, {"end", "flag", "alarm"},
               "setitimer 0 0|end|flag 0|alarm survived", "open SYNC close", "", 0},
        Script{"ResumeAfterPlayedOut", 600, 600, {"play", "out", "start", "flag", "signals:3", "end"},
               kArm + "out 1|start|flag 1|" + kDisarm, kPrep + " W256 W256 W88 SYNC close", "",
               600},
        // The file ends inside the last block: one message, played out.
        Script{"FileEndsInLastBlock", 600, 550, {"play", "out", "signals:3", "end"},
               kArm + "out 1|" + kDisarm, kPrep + " W256 W256 SYNC SYNC close",
               kReadError + "512 bytes).Sound stopped.\n", 512}),
    ByName());

// A file that ends before the last block: every later step repeats the
// message and the SYNC, ten per signal, while the flag stays 1.
TEST(Bgm, ReadErrorRepeatsAtEveryStepUntilPaused) {
  Rig rig(1000, 300);
  rig.Run({"--fast"}, kDriver, {"play", "signals:3", "flag", "stop", "end"});
  EXPECT_EQ(rig.result.status, 0);
  EXPECT_EQ(Lines(rig.result.out), kArm + "flag 1|stop|" + kDisarm);
  int messages = Count(rig.result.err, kReadError);
  EXPECT_EQ(rig.result.err.size(), messages * (kReadError + "256 bytes).Sound stopped.\n").size())
      << rig.result.err.substr(0, 200);
  EXPECT_GE(messages, 29);
  EXPECT_EQ((messages - 9) % 10, 0) << "the first signal has 9 failing steps, others 10";
  // The pause's own SYNC comes before its RESET.
  EXPECT_EQ(Tokens(rig.events),
            kPrep + " W256" + Repeat("SYNC", messages + 1) + " RESET SYNC close");
  EXPECT_EQ(rig.played, rig.data.substr(0, 256));
}

// ---- in real time: pause and resume ---------------------------------------

TEST(Bgm, PauseSilencesAndResumeGoesOnAfterTheLastBlockWritten) {
  // 2.3 s of CD sound, in a queue that holds it all, so the steps never
  // wait for the device.  Two signals hand over 5120 bytes; the rest takes
  // some 150 more, time enough for the script to pause first.
  const std::size_t size = 400000;
  Rig rig(size, size, {2, 44100, 16});
  rig.Run({"-q", "1000000"}, kDriver,
          {"play", "signals:2", "stop", "flag", "mark", "wait:50", "mark", "start", "out",
           "stop", "end"});
  ASSERT_EQ(rig.result.status, 0) << rig.result.err;
  // "out N" counts signals, which depend on the pace: not compared.
  std::string out = Lines(rig.result.out);
  EXPECT_EQ(out.substr(0, out.find("out ")), kArm + "stop|flag 0|start|");
  EXPECT_TRUE(out.ends_with("|stop|" + kDisarm)) << out;
  const std::vector<TraceEvent> &ev = rig.events;
  std::size_t sync = 0;
  while (sync < ev.size() && Token(ev[sync]) != "SYNC") ++sync;
  ASSERT_LT(sync + 3, ev.size()) << ReadFile(rig.trace);
  // The pause: SYNC, then RESET, and nothing until the resume.
  EXPECT_EQ(Token(ev[sync + 1]), "RESET");
  EXPECT_EQ(Token(ev[sync + 2]), "mark");
  EXPECT_EQ(Token(ev[sync + 3]), "mark");
  // The flag dropped before the SYNC: no block was written while it waited
  // (lines bear the time their call returned).
  double syncStart = ev[sync].time - ev[sync].Seconds("waited");
  std::size_t written = 0;
  for (std::size_t i = 0; i < sync; ++i) {
    if (Token(ev[i])[0] != 'W') continue;
    EXPECT_LE(ev[i].time, syncStart + 1e-6) << ev[i].line;
    written += static_cast<std::size_t>(ev[i].Int("accepted"));
  }
  // Blocks of 256 in order, none twice, none left out.
  std::size_t after = 0;
  for (std::size_t i = sync + 4; i < ev.size(); ++i)
    if (Token(ev[i])[0] == 'W') after += static_cast<std::size_t>(ev[i].Int("accepted"));
  EXPECT_EQ(written % 256, 0u);
  EXPECT_EQ(written + after, size);
  // What the two RESETs dropped never played; everything else played once.
  ASSERT_EQ(Tokens(std::vector<TraceEvent>(ev.end() - 4, ev.end())), "SYNC RESET SYNC close");
  std::size_t dropped = static_cast<std::size_t>(ev[sync + 1].Int("dropped"));
  std::size_t tail = static_cast<std::size_t>(ev[ev.size() - 3].Int("dropped"));
  ASSERT_LE(dropped, written);
  ASSERT_LE(tail, after);
  EXPECT_TRUE(rig.played == rig.data.substr(0, written - dropped) +
                                rig.data.substr(written, after - tail))
      << "played " << rig.played.size() << " bytes, written " << written << " + " << after
      << ", dropped " << dropped << " + " << tail;
}

// Once the queue is full every step waits for the device; the caller must
// still run between the signals, or a front end would freeze until the
// last block was handed over.
TEST(Bgm, CallerKeepsRunningWhileTheQueueIsFull) {
  const std::size_t size = 176400;  // one second of CD sound
  Rig rig(size, size, {2, 44100, 16});
  rig.Run({"-q", "16384"}, kDriver, {"play", "live", "end"});
  ASSERT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(Lines(rig.result.out), kArm + "live ok|" + kDisarm);
  EXPECT_TRUE(rig.played == rig.data) << "played " << rig.played.size() << " bytes";
}

// ---- SIGINT while playing in the background -------------------------------

struct Interrupt {
  const char *name;
  std::string queue;
  std::vector<std::string> words;
};

class BgmInterrupt : public ::testing::TestWithParam<Interrupt> {};

TEST_P(BgmInterrupt, StopsTheSoundAtOnceAndExitsWithOne) {
  const Interrupt &c = GetParam();
  Rig rig(16000, 16000);
  rig.Run({"-q", c.queue}, kDriver, c.words);
  EXPECT_EQ(rig.result.status, 1);
  EXPECT_EQ(rig.result.err, "Terminated...\n");
  EXPECT_EQ(Lines(rig.result.out), "setitimer 1000 1000|play 1|setitimer 0 0");
  ASSERT_GE(rig.events.size(), 2u) << ReadFile(rig.trace);
  const TraceEvent &reset = rig.events[rig.events.size() - 2];
  const TraceEvent &close = rig.events.back();
  EXPECT_EQ(Token(reset), "RESET") << ReadFile(rig.trace);
  EXPECT_GT(reset.Int("dropped"), 0) << "sound was queued";
  EXPECT_EQ(Token(close), "close");
  EXPECT_EQ(close.Int("drained"), 0) << "nothing plays after the reset";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BgmInterrupt,
    ::testing::Values(
        Interrupt{"FromTheForeground", "65536", {"play", "signals:3", "int"}},
        // A queue smaller than the sound: once it is full the steps' writes
        // wait for the device, so the signal mostly lands inside the
        // handler.
        Interrupt{"WhileAStepWaits", "4096", {"play", "kill:150", "wait:5000"}}),
    ByName());

// ---- the front end --------------------------------------------------------

TEST(Vdlbgm, WithoutAKeyboardPlaysToTheEnd) {
  Rig rig(3000, 3000);
  rig.Run({"--fast"}, kFrontEnd, {});
  EXPECT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(rig.result.out, (rig.dir / "sound.wav") + ": 1 ch, 8000 Hz, 8 bits, 0.37 s\n"
                                                      "playing\nplayed out\n");
  EXPECT_EQ(rig.result.err, "");
  EXPECT_EQ(rig.played, rig.data);
}

}  // namespace
