// Playback through the virtual device: in the background, scripts run by
// vdlbgm_driver under vdsp, checked against the device's trace, the bytes
// it played and the driver's own report (see bgm_driver.cpp); blocking,
// vdlTestPlay_WaveDSP from a C caller (wave_testplay.c).
#include "vdsp_rig.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The questions a step asks before each block (how many depends on the
// pace); checked on their own.
bool IsReadinessQuery(const TraceEvent &e) {
  return e.name == "poll" || (e.name == "ioctl" && e.subject == "SNDCTL_DSP_GETOSPACE");
}

// The device calls that change something, without the readiness queries.
std::vector<TraceEvent> Calls(const std::vector<TraceEvent> &events) {
  std::vector<TraceEvent> calls;
  for (const TraceEvent &e : events)
    if (!IsReadinessQuery(e)) calls.push_back(e);
  return calls;
}

std::string Tokens(const std::vector<TraceEvent> &events) {
  std::string s;
  for (const TraceEvent &e : Calls(events)) s += (s.empty() ? "" : " ") + Token(e);
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
               kArm + "flag 1|stop|flag 0|" + kDisarm, kPrep + " GETODELAY RESET SYNC close", "",
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
               kArm + "out 1|" + kDisarm, kPrep + " W256 W256 POST SYNC close",
               kReadError + "512 bytes).Sound stopped.\n", 512}),
    ByName());

// ---- faults: bad files, refusing devices, a hostile caller ----------------

struct Fault {
  const char *name;
  std::string device;  // a real device to run on; "" for the virtual one
  int32_t dataSize;
  std::size_t fileBytes;
  std::vector<std::string> words;
  std::string out;     // the driver's report, lines joined by '|'
  std::string err;
  long played;         // leading data bytes the virtual device played; -1: any
};

class BgmFault : public ::testing::TestWithParam<Fault> {};

// Each ends: the driver reaches its last word, the playing flag drops by
// itself where the sound cannot go on, and nothing is said twice.
TEST_P(BgmFault, EndsCleanlyAndSaysItOnce) {
  const Fault &c = GetParam();
  Rig rig(c.dataSize, c.fileBytes);
  if (c.device.empty()) {
    rig.Run({"--fast"}, kDriver, c.words);
  } else {
    WriteFile(rig.dir / ".vdlrc", "[Audio]\nDSP=" + c.device + "\n");
    std::vector<std::string> command = {kDriver, rig.dir / "sound.wav"};
    command.insert(command.end(), c.words.begin(), c.words.end());
    rig.result = vdltest::Run(command, {rig.Env()});
  }
  EXPECT_EQ(rig.result.status, 0) << rig.result.err.substr(0, 300);
  EXPECT_EQ(Lines(rig.result.out), c.out);
  EXPECT_EQ(rig.result.err.substr(0, 2000), c.err);
  if (c.played >= 0) {
    EXPECT_EQ(rig.played, rig.data.substr(0, c.played));
  }
}

const std::string kFull = "write /dev/dsp: No space left on device\n";

std::string Times(int n, const std::string &text) {
  std::string s;
  for (int i = 0; i < n; ++i) s += text;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BgmFault,
    ::testing::Values(
        // The caller closes the stream after the end, as it should; a
        // resume and a stray SIGALRM must not read it.
        Fault{"StreamClosedAfterEnd", "", 600, 600,
              {"play", "out", "end", "fclose", "start", "alarm", "flag"},
              kArm + "out 1|" + kDisarm + "|start|alarm survived|flag 1", "", 600},
        // Every write refused: the stream runs ahead of the position by a
        // block a step, and its end ends the playback (31 steps of 256
        // bytes, the 32nd finds 64).
        Fault{"EveryWriteRefused", "/dev/full", 8000, 8000, {"play", "out", "end"},
              kArm + "out 4|" + kDisarm,
              Times(31, kFull) + kReadError + "0 bytes).Sound stopped.\n", -1},
        // The file ends before the last block: said once, then played
        // out; a resume has nothing to play.
        Fault{"FileEndsEarly", "", 1000, 300,
              {"play", "out", "start", "flag", "signals:20", "flag", "end"},
              kArm + "out 1|start|flag 1|flag 1|" + kDisarm,
              kReadError + "256 bytes).Sound stopped.\n", 256},
        // An end amid the data gives back what was read ahead of the blocks.
        Fault{"EndAmidTheData", "", 100000, 100000, {"play", "signals:2", "end", "tell"},
              kArm + kDisarm + "|tell ok", "", -1},
        // A signal mask inherited with SIGALRM blocked.
        Fault{"AlarmHeldByTheCaller", "", 600, 600, {"hold-alarm", "play", "out", "end"},
              kArm + "out 1|" + kDisarm, "", 600},
        // The device closed under a running playback: the timer stops, and
        // the next file opened gets the number but no sound.
        Fault{"DeviceClosedWhilePlaying", "", 100000, 100000,
              {"play", "signals:2", "close-device", "flag"},
              kArm + "setitimer 0 0|next 0|flag 0", "", -1}),
    ByName());

// ---- in real time: the pace of the device -------------------------------

const WavFormat kCd = {2, 44100, 16};
const WavFormat kPhone = {1, 8000, 8};

// How the virtual device answers the steps' questions.
const std::vector<std::string> kTruthful = {};
const std::vector<std::string> kNoSpace = {"--no-space"};  // GETOSPACE, GETODELAY refused
const std::vector<std::string> kNoPoll = {"--no-poll"};    // poll always ready
const std::vector<std::string> kMinimal = {"--no-space", "--no-poll"};

struct Pace {
  const char *name;
  WavFormat format;
  std::size_t size;  // more than the queue holds, so it fills
  std::string queue;
  std::vector<std::string> device;
  bool writesWait;  // only a device that answers nothing makes them
};

class BgmPace : public ::testing::TestWithParam<Pace> {};

// Every byte reaches the device once, in order, in blocks of 256; a write
// waits for room only where the device cannot say it has none.
TEST_P(BgmPace, HandsOverEveryBlockOnceAndWaitsOnlyOnAMuteDevice) {
  const Pace &c = GetParam();
  Rig rig(static_cast<int32_t>(c.size), c.size, c.format);
  std::vector<std::string> options = {"-q", c.queue};
  options.insert(options.end(), c.device.begin(), c.device.end());
  rig.Run(options, kDriver, {"play", "out", "end"});
  ASSERT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(rig.result.err, "");
  EXPECT_TRUE(rig.played == rig.data) << "played " << rig.played.size() << " of " << c.size;
  std::vector<TraceEvent> writes = Only(rig.events, "write");
  ASSERT_EQ(writes.size(), (c.size + 255) / 256);
  int waited = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    long long last = static_cast<long long>((c.size - 1) % 256 + 1);
    EXPECT_EQ(writes[i].Int("asked"), i + 1 < writes.size() ? 256 : last);
    EXPECT_EQ(writes[i].Int("accepted"), writes[i].Int("asked"));
    waited += writes[i].Int("blocked") == 1;
  }
  if (c.writesWait)
    EXPECT_GT(waited, 0);
  else
    EXPECT_EQ(waited, 0) << "a write waited for room";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BgmPace,
    ::testing::Values(Pace{"Cd", kCd, 88200, "16384", kTruthful, false},
                      Pace{"Phone", kPhone, 12000, "4096", kTruthful, false},
                      Pace{"CdWithoutSpace", kCd, 88200, "16384", kNoSpace, false},
                      Pace{"PhoneWithoutSpace", kPhone, 12000, "4096", kNoSpace, false},
                      Pace{"CdWithoutPoll", kCd, 88200, "16384", kNoPoll, false},
                      Pace{"CdOnAMinimalDevice", kCd, 88200, "16384", kMinimal, true},
                      Pace{"PhoneOnAMinimalDevice", kPhone, 12000, "4096", kMinimal, true}),
    ByName());

// ---- in real time: pauses, with threads of the caller's own -------------

struct Pause {
  const char *name;
  WavFormat format;
  std::size_t size;
  int threads;  // idle threads of the caller that do not block SIGALRM
  int pauses;   // 1: one pause of 50 ms after 300 ms; more: a storm
  std::vector<std::string> device = kTruthful;
};

class BgmPause : public ::testing::TestWithParam<Pause> {};

// A run of the recording that is a run of the source.
struct Cut {
  std::size_t rec, src;
};

// Splits the recording into runs of the source, each taken up where the
// source continues it best within `reach` bytes of where the run before
// ended; cuts fall on frames.  Returns the cuts, the first at (0, 0).
std::vector<Cut> Runs(const std::string &rec, const std::string &src, std::size_t frame,
                      std::size_t reach) {
  auto match = [&](std::size_t r, std::size_t q) {
    std::size_t n = 0;
    while (r + n < rec.size() && q + n < src.size() && rec[r + n] == src[q + n]) ++n;
    return n;
  };
  std::vector<Cut> cuts = {{0, 0}};
  std::size_t r = 0, p = 0;
  for (;;) {
    std::size_t n = match(r, p);
    if (r + n >= rec.size()) break;
    // A byte that happens to match the source can hide a cut's place.
    std::size_t back = (r + n) % frame;
    r += n - back, p += n - back;
    std::size_t best = 0, at = p;
    for (std::size_t q = p > reach ? (p - reach) / frame * frame : 0; q <= p + reach; q += frame) {
      std::size_t m = match(r, q);
      if (m > best || (m == best && (q > p ? q - p : p - q) < (at > p ? at - p : p - at)))
        best = m, at = q;
    }
    if (best < frame) break;  // no run of a whole frame: not the source
    cuts.push_back({r, at});
    p = at;
  }
  return cuts;
}

// Every frame of the source is heard, in order: each pause may repeat part
// of a block (the resume starts on a block), and what played between its
// GETODELAY and its RESET, but skips nothing, whatever threads the caller
// has and however often it pauses.
TEST_P(BgmPause, RecordingIsTheSourceRepeatingOnlyAtPauses) {
  const Pause &c = GetParam();
  Rig rig(static_cast<int32_t>(c.size), c.size, c.format);
  std::vector<std::string> words = {"threads:" + std::to_string(c.threads), "play"};
  if (c.pauses == 1)
    words.insert(words.end(), {"wait:300", "stop", "flag", "wait:50", "start"});
  else
    words.push_back("storm:" + std::to_string(c.pauses));
  words.insert(words.end(), {"out", "end"});
  rig.Run(c.device, kDriver, words);
  ASSERT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(rig.result.err, "");
  std::string out = Lines(rig.result.out);
  EXPECT_TRUE(out.starts_with(kArm + (c.pauses == 1 ? "stop|flag 0|" : "out")) &&
              out.ends_with("|" + kDisarm))
      << out;

  // Each pause drops the queue at once where the device says how much it
  // holds, and drains it first where it does not.
  const std::vector<TraceEvent> ev = Calls(rig.events);
  const std::size_t frame = c.format.channels * c.format.bits / 8;
  const double rate = static_cast<double>(c.format.rate) * static_cast<double>(frame);
  double gap = 0;
  int pauses = 0;
  for (std::size_t i = 0; i + 1 < ev.size(); ++i) {
    if (Token(ev[i]) != "GETODELAY") continue;
    ++pauses;
    bool known = ev[i].Int("ret") == 0;
    std::size_t reset = i + (known ? 1 : 2);
    ASSERT_LT(reset, ev.size());
    EXPECT_EQ(Token(ev[reset]), "RESET") << ev[i].line;
    if (!known) {
      EXPECT_EQ(Token(ev[i + 1]), "SYNC") << ev[i].line;
    }
    gap = std::max(gap, ev[reset].time - ev[i].time);
  }
  EXPECT_EQ(pauses, c.pauses);
  if (c.device != kTruthful) return;  // what a drained pause drops is lost

  const std::size_t allowed = 256 + frame + static_cast<std::size_t>(gap * rate);
  std::vector<Cut> cuts = Runs(rig.played, rig.data, frame, 4 * allowed);
  EXPECT_LE(static_cast<int>(cuts.size()) - 1, pauses);
  for (std::size_t i = 1; i < cuts.size(); ++i) {
    std::size_t ended = cuts[i - 1].src + (cuts[i].rec - cuts[i - 1].rec);
    EXPECT_EQ(cuts[i].rec % frame, 0u) << "a torn frame at byte " << cuts[i].rec;
    EXPECT_LE(cuts[i].src, ended) << "skipped from " << ended << " to " << cuts[i].src;
    EXPECT_LE(ended - std::min(ended, cuts[i].src), allowed) << "repeated at byte " << ended;
  }
  const Cut &last = cuts.back();
  EXPECT_EQ(last.src + (rig.played.size() - last.rec), c.size)
      << "played " << rig.played.size() << " bytes in " << cuts.size() << " runs";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BgmPause,
    ::testing::Values(
        // The default queue holds 0.37 s of CD sound, full when the pause
        // comes; the whole phone file fits it, so the pause finds 1.7 s
        // unheard.
        Pause{"Cd", kCd, 132300, 0, 1}, Pause{"Phone", kPhone, 16000, 0, 1},
        Pause{"CdOneThread", kCd, 132300, 1, 1}, Pause{"PhoneThreeThreads", kPhone, 16000, 3, 1},
        // No pause at all: every block once, the last partial one too.
        Pause{"CdThreeThreadsUnpaused", kCd, 200001, 3, 0},
        Pause{"CdStorm", kCd, 176400, 0, 300}, Pause{"PhoneStorm", kPhone, 16000, 0, 300},
        Pause{"CdStormOneThread", kCd, 176400, 1, 300},
        Pause{"CdStormThreeThreads", kCd, 176400, 3, 300},
        Pause{"PhoneStormThreeThreads", kPhone, 16000, 3, 300},
        // A device that cannot say what it holds: SYNC, then RESET.
        Pause{"CdWithoutDelay", kCd, 132300, 0, 1, kNoSpace}),
    ByName());

// Once the queue is full the steps find the device full; the caller must
// still run between the signals, or a front end would freeze until the
// last block was handed over.  On a device that says nothing the writes
// wait, and the dropped overdue tick keeps the caller going.
struct Live {
  const char *name;
  std::vector<std::string> device;
};

class BgmLive : public ::testing::TestWithParam<Live> {};

TEST_P(BgmLive, CallerKeepsRunningWhileTheQueueIsFull) {
  const std::size_t size = 176400;  // one second of CD sound
  Rig rig(size, size, kCd);
  std::vector<std::string> options = {"-q", "16384"};
  options.insert(options.end(), GetParam().device.begin(), GetParam().device.end());
  rig.Run(options, kDriver, {"play", "live", "end"});
  ASSERT_EQ(rig.result.status, 0) << rig.result.err;
  EXPECT_EQ(Lines(rig.result.out), kArm + "live ok|" + kDisarm);
  EXPECT_TRUE(rig.played == rig.data) << "played " << rig.played.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Cases, BgmLive,
                         ::testing::Values(Live{"Truthful", kTruthful},
                                           Live{"MinimalDevice", kMinimal}),
                         ByName());

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

// ---- blocking playback from a C caller ----------------------------------

// vdlTestPlay_WaveDSP opens and closes the device around one file.
struct TestPlayCase {
  const char *name;
  const char *file;  // in the temporary directory
  std::string out;
  bool played;
};
class WaveTestPlay : public ::testing::TestWithParam<TestPlayCase> {};

TEST_P(WaveTestPlay, OpensPlaysAndClosesAroundOneFile) {
  const TestPlayCase &c = GetParam();
  DeviceHome home;
  WriteFile(home.dir / "in.wav", MakeWav(WavFormat{1, 8000, 8}, Pattern(300)));
  RunResult r = home.Run({"--fast"}, {WAVE_TESTPLAY, home.dir / c.file});
  EXPECT_EQ(r.out, c.out);
  std::vector<std::vector<std::string>> files;
  if (c.played) files.push_back(FileEvents(1, 8000, 8, 300));
  EXPECT_EQ(Events(home.trace), Session(home.dev, files));
}

INSTANTIATE_TEST_SUITE_P(Cases, WaveTestPlay,
                         ::testing::Values(TestPlayCase{"Played", "in.wav", "1\n", true},
                                           TestPlayCase{"NoFile", "none.wav", "0\n", false}),
                         ByName());

TEST(WaveTestPlay, DeviceThatFailsToOpenGivesZero) {
  DeviceHome home;  // not under vdsp: nothing at home.dev
  RunResult r = vdltest::Run({WAVE_TESTPLAY, home.dir / "x.wav"}, {home.Env()});
  EXPECT_EQ(r.out, "0\n");
  EXPECT_EQ(r.err, "open " + home.dev + ": No such file or directory\n");
}

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
