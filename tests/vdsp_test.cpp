// The virtual OSS device, driven through its wrapper by vdsp_probe: pacing,
// how the queue ends (sync, close, reset, exit), interrupted waits,
// requests, the open entries, paths it must leave alone, signals, and WAV
// output that sox reads back.
#include "vdsp_rig.h"

#include <poll.h>
#include <signal.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;
using Strings = std::vector<std::string>;

namespace {

constexpr size_t kWavHeader = 44;
constexpr size_t kQueue = 65536;
constexpr size_t kQuarterSecond = 44100;  // bytes of 44.1 kHz stereo 16-bit

VDL_PRINT_ROWS_BY_NAME

// The value of KEY= on the probe's last output line that starts with VERB.
std::string Said(const std::string &out, const std::string &verb, const std::string &key) {
  std::string found;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(" " + key + "=");
    if (line.rfind(verb + " ", 0) != 0 || at == std::string::npos) continue;
    at += key.size() + 2;
    found = line.substr(at, line.find(' ', at) - at);
  }
  return found;
}

// The bytes a probe plays, in order.
std::string Stream(size_t n) { return Pattern(n); }

// vdsp_probe (or another build of it) under vdsp: the probe is given the
// device path, or probeDev, then the actions.
Strings Probe(const DeviceHome &rig, const Strings &options, const Strings &actions,
              const char *probe = VDSP_PROBE, const std::string &probeDev = "") {
  Strings command = {probe, probeDev.empty() ? rig.dev : probeDev};
  command.insert(command.end(), actions.begin(), actions.end());
  return rig.Argv(options, command);
}

RunResult RunProbe(const DeviceHome &rig, const Strings &options, const Strings &actions,
                   const char *probe = VDSP_PROBE) {
  return Run(Probe(rig, options, actions, probe));
}

// The played bytes; for a WAV file (44.1 kHz stereo 16-bit here), checked
// against its header first.
std::string Played(const DeviceHome &rig) {
  std::string data = ReadFile(rig.out);
  if (!rig.out.ends_with(".wav")) return data;
  if (data.size() < kWavHeader) {
    ADD_FAILURE() << "no WAV header in " << rig.out;
    return "";
  }
  EXPECT_EQ(data.substr(0, kWavHeader),
            WavHeader(WavFormat{2, 44100, 16}, data.size() - kWavHeader));
  return data.substr(kWavHeader);
}

// ---- pacing -----------------------------------------------------------------

struct Pace {
  const char *name, *fmt;
  size_t bytes;
  double seconds;
};
class VdspPacing : public ::testing::TestWithParam<Pace> {};

TEST_P(VdspPacing, PlaysInRealTimeWithinFivePercent) {
  const Pace &p = GetParam();
  DeviceHome rig;
  RunResult r = RunProbe(rig, {}, {"open", p.fmt, "mark", "write:" + std::to_string(p.bytes),
                             "ioctl:sync", "elapsed", "close"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(std::atof(Said(r.out, "elapsed", "s").c_str()), p.seconds, p.seconds * 0.05);
  EXPECT_EQ(Played(rig), Stream(p.bytes));
}

INSTANTIATE_TEST_SUITE_P(Rates, VdspPacing,
                         ::testing::Values(Pace{"PastTheQueue", "fmt:44100:2:16", 176400, 1.0},
                                           Pace{"WithinTheQueue", "fmt:8000:1:8", 4000, 0.5}),
                         ByName());

// ---- how the queue ends -----------------------------------------------------

struct Ending {
  const char *name;
  bool fast;
  Strings actions;  // after a quarter of a second was queued
  bool dropsSome;
};
class VdspQueueEnd : public ::testing::TestWithParam<Ending> {};

TEST_P(VdspQueueEnd, OutputLacksExactlyTheDroppedBytes) {
  const Ending &e = GetParam();
  for (const char *outName : {"out.raw", "out.wav"}) {
    DeviceHome rig("", outName);
    Strings actions = {"open", "fmt:44100:2:16", "write:" + std::to_string(kQuarterSecond)};
    actions.insert(actions.end(), e.actions.begin(), e.actions.end());
    RunResult r = RunProbe(rig, e.fast ? Strings{"--fast"} : Strings{}, actions);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<TraceEvent> trace = ReadTrace(rig.trace);
    long long dropped = Sum(Only(trace, "ioctl", "SNDCTL_DSP_RESET"), "dropped");
    long long drained = Sum(Only(trace, "ioctl", "SNDCTL_DSP_SYNC"), "drained") +
                        Sum(Only(trace, "close"), "drained") + Sum(Only(trace, "exit"), "drained");
    EXPECT_EQ(Played(rig), Stream(kQuarterSecond - static_cast<size_t>(dropped))) << outName;
    EXPECT_EQ(dropped > 0, e.dropsSome);
    if (!e.fast && !e.dropsSome) {  // the end waited for what the writes left queued
      EXPECT_GT(drained, static_cast<long long>(kQuarterSecond * 9 / 10));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, VdspQueueEnd,
    ::testing::Values(Ending{"SyncThenClose", false, {"ioctl:sync", "close"}, false},
                      Ending{"CloseDrains", false, {"close"}, false},
                      Ending{"ExitDrains", false, {}, false},
                      Ending{"ResetDrops", false, {"sleep:100", "ioctl:reset", "close"}, true},
                      Ending{"FastResetDropsNothing", true, {"ioctl:reset", "close"}, false}),
    ByName());

TEST(VdspSync, WaitsUntilTheQueueHasPlayed) {
  DeviceHome rig;
  ASSERT_EQ(RunProbe(rig, {}, {"open", "fmt:44100:2:16", "write:" + std::to_string(kQuarterSecond),
                         "ioctl:sync", "close"}).status, 0);
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  std::vector<TraceEvent> sync = Only(trace, "ioctl", "SNDCTL_DSP_SYNC");
  ASSERT_EQ(sync.size(), 1u);
  EXPECT_GT(sync[0].Int("drained"), static_cast<long long>(kQuarterSecond * 9 / 10));
  EXPECT_EQ(sync[0].Int("queued"), 0);
  // The device plays from the first byte on, however long the writes took.
  EXPECT_NEAR(sync[0].time - Only(trace, "write").at(0).time, 0.25, 0.25 * 0.05);
  EXPECT_EQ(Only(trace, "close").at(0).Int("drained"), 0);
}

// ---- a signal during a wait -------------------------------------------------

struct Interrupt {
  const char *name;
  Strings options, actions;
  const char *verb;  // the probe's call the signal lands in
  const char *err;   // its errno, "0" for a partial count
};
class VdspInterrupt : public ::testing::TestWithParam<Interrupt> {};

TEST_P(VdspInterrupt, EndsTheWaitAsADriverDoes) {
  const Interrupt &in = GetParam();
  DeviceHome rig;
  RunResult r = RunProbe(rig, in.options, in.actions);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Said(r.out, in.verb, "errno"), in.err) << r.out;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  TraceEvent last = std::string(in.verb) == "write" ? Only(trace, "write").back()
                                                : Only(trace, "ioctl", "SNDCTL_DSP_SYNC").back();
  if (std::string(in.err) == "0") {
    long long total = std::atoll(Said(r.out, "write", "total").c_str());
    EXPECT_GT(total, static_cast<long long>(kQueue));
    EXPECT_LT(total, last.Int("asked"));
    EXPECT_EQ(last.Int("accepted"), total);
    EXPECT_EQ(last.Int("ret"), total);
  } else {
    EXPECT_EQ(last.Int("ret"), -1);
    EXPECT_EQ(last.Str("errno"), in.err);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, VdspInterrupt,
    ::testing::Values(
        Interrupt{"WriteReturnsPartialCount", {}, {"open", "fmt:44100:2:16", "alarm:100",
                                                   "write:262144:262144", "ioctl:reset"}, "write", "0"},
        // One byte a second: the full queue frees nothing before the signal.
        Interrupt{"WriteWithNothingAcceptedFails", {"-q", "16"},
                  {"open", "fmt:1:1:8", "write:16", "alarm:100", "write:16", "ioctl:reset"},
                  "write", "EINTR"},
        Interrupt{"SyncFails", {}, {"open", "fmt:44100:2:16", "write:44100", "alarm:50",
                                    "ioctl:sync"}, "ioctl", "EINTR"}),
    ByName());

// ---- requests -----------------------------------------------------------------

struct Request {
  const char *name, *request, *value, *traced;
  int ret, val;
  const char *err;
};
class VdspRequest : public ::testing::TestWithParam<Request> {};

TEST_P(VdspRequest, StoresAndEchoesOrRefuses) {
  const Request &q = GetParam();
  DeviceHome rig;
  RunResult r = RunProbe(rig, {}, {"open", std::string("ioctl:") + q.request + ":" + q.value, "close"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Said(r.out, "ioctl", "ret"), std::to_string(q.ret));
  EXPECT_EQ(Said(r.out, "ioctl", "errno"), q.err);
  if (q.ret == 0) {
    EXPECT_EQ(Said(r.out, "ioctl", "val"), std::to_string(q.val));
  }
  std::vector<TraceEvent> ioctls = Only(ReadTrace(rig.trace), "ioctl");
  ASSERT_EQ(ioctls.size(), 1u);
  EXPECT_EQ(ioctls[0].subject, q.traced);
  EXPECT_EQ(ioctls[0].Int("ret"), q.ret);
  EXPECT_EQ(ioctls[0].Str("errno"), q.ret == 0 ? "" : q.err);
  if (q.ret == 0) {
    EXPECT_EQ(ioctls[0].Str("arg"), q.value);
    EXPECT_EQ(ioctls[0].Int("val"), q.val);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VdspRequest,
    ::testing::Values(
        Request{"Speed", "speed", "44100", "SNDCTL_DSP_SPEED", 0, 44100, "0"},
        Request{"Stereo", "stereo", "1", "SNDCTL_DSP_STEREO", 0, 1, "0"},
        Request{"Channels", "channels", "2", "SNDCTL_DSP_CHANNELS", 0, 2, "0"},
        Request{"SetFmt", "setfmt", "16", "SNDCTL_DSP_SETFMT", 0, 16, "0"},
        Request{"FormatQuery", "setfmt", "0", "SNDCTL_DSP_SETFMT", 0, 8, "0"},
        Request{"SignExtended", "0xffffffffc0045002", "22050", "SNDCTL_DSP_SPEED", 0, 22050, "0"},
        Request{"UnknownNoArg", "0x5008", "", "0x5008", -1, 0, "EINVAL"},
        Request{"UnknownWithArg", "0xc0045004", "7", "0xc0045004", -1, 0, "EINVAL"}),
    ByName());

// ---- open entries, flags and builds --------------------------------------

struct Entry {
  const char *name, *entry, *flags, *traced, *probe;
};
class VdspOpen : public ::testing::TestWithParam<Entry> {};

TEST_P(VdspOpen, EveryEntryReachesTheDevice) {
  const Entry &e = GetParam();
  DeviceHome rig;
  RunResult r = RunProbe(rig, {"--fast"}, {std::string("open:") + e.entry + ":" + e.flags, "write:512:512",
                                     "close"}, e.probe);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  ASSERT_EQ(trace.size(), 3u) << ReadFile(rig.trace);
  EXPECT_EQ(trace[0].name, "open");
  EXPECT_EQ(trace[0].subject, rig.dev);
  EXPECT_EQ(trace[0].Str("flags"), e.traced);
  EXPECT_EQ(trace[0].Str("ret"), Said(r.out, "open", "ret"));
  for (const TraceEvent &ev : trace) EXPECT_EQ(ev.Str("fd"), trace[0].Str("ret")) << ev.name;
  EXPECT_EQ(trace[1].Int("accepted"), 512);
  EXPECT_EQ(Played(rig), Stream(512));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, VdspOpen,
    ::testing::Values(Entry{"Open2", "open", "wr", "O_WRONLY", VDSP_PROBE},
                      Entry{"Open64_2", "open64", "wr", "O_WRONLY", VDSP_PROBE},
                      Entry{"Openat2", "openat", "wr", "O_WRONLY", VDSP_PROBE},
                      Entry{"Openat64_2", "openat64", "wr", "O_WRONLY", VDSP_PROBE},
                      Entry{"Open", "const", "wr", "O_WRONLY", VDSP_PROBE},
                      Entry{"NonBlocking", "open", "nb", "O_WRONLY|O_NONBLOCK", VDSP_PROBE},
                      Entry{"ReadWrite", "open", "rdwr", "O_RDWR", VDSP_PROBE},
                      Entry{"Sanitized", "open", "wr", "O_WRONLY", VDSP_PROBE_ASAN}),
    ByName());

TEST(VdspBusy, ASecondOpenFails) {
  DeviceHome rig;
  RunResult r = RunProbe(rig, {}, {"open", "open"});
  EXPECT_EQ(Said(r.out, "open", "errno"), "EBUSY");
  std::vector<TraceEvent> opens = Only(ReadTrace(rig.trace), "open");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[1].Int("ret"), -1);
  EXPECT_EQ(opens[1].Str("errno"), "EBUSY");
}

// ---- what it leaves alone -----------------------------------------------

struct Bystander {
  const char *name, *path, *action, *said, *expected;
};
class VdspPassThrough : public ::testing::TestWithParam<Bystander> {};

TEST_P(VdspPassThrough, OtherPathsReachTheSystem) {
  const Bystander &b = GetParam();
  DeviceHome rig;
  std::string action = b.action;
  if (action == "file") action += ":" + rig.dir / b.path;
  RunResult r = vdltest::Run(Probe(rig, {}, {action}, VDSP_PROBE, rig.dir / b.path));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Said(r.out, b.action, b.said), b.expected) << r.out;
  EXPECT_EQ(ReadFile(rig.trace), "");
  EXPECT_EQ(ReadFile(rig.out), "");
  if (action != b.action) {
    EXPECT_EQ(ReadFile(rig.dir / b.path), "hello");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, VdspPassThrough,
    ::testing::Values(Bystander{"LongerName", "dspx", "open", "errno", "ENOENT"},
                      Bystander{"SameFileOtherSpelling", "sub/../dsp", "open", "errno", "ENOENT"},
                      Bystander{"RegularFile", "plain", "file", "ioctl", "ENOTTY"}),
    ByName());

// ---- signals to the wrapper's PID -----------------------------------------

struct Kill {
  const char *name;
  int sig;
  bool handler;  // the player's: reset, close, _exit(1)
  int status;
};
class VdspSignal : public ::testing::TestWithParam<Kill> {};

TEST_P(VdspSignal, LeavesTraceAndWavWhole) {
  const Kill &k = GetParam();
  DeviceHome rig("", "out.wav");
  Strings actions = {"pid", "open", "fmt:44100:2:16", "write:4000000"};
  if (k.handler) actions.insert(actions.begin(), "onint");
  std::string said = rig.dir / "said";
  pid_t pid = Spawn(Probe(rig, {}, actions), {}, said, rig.dir / "err");
  ASSERT_GT(pid, 0);
  // Signal once the queue is full and writes wait: 300 blocks are past it.
  for (int i = 0; i < 1000 && Only(ReadTrace(rig.trace), "write").size() < 300; ++i)
    poll(nullptr, 0, 10);
  poll(nullptr, 0, 100);
  kill(pid, k.sig);
  EXPECT_EQ(Wait(pid), k.status);
  EXPECT_EQ(ReadFile(said).substr(0, 4 + std::to_string(pid).size()), "pid " + std::to_string(pid));

  std::string data = Played(rig);
  EXPECT_GT(data.size(), 0u);
  EXPECT_EQ(data, Stream(data.size()));
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  if (!k.handler) return;
  ASSERT_GE(trace.size(), 2u);
  const TraceEvent &reset = trace[trace.size() - 2], &close = trace.back();
  EXPECT_EQ(reset.subject, "SNDCTL_DSP_RESET");
  EXPECT_EQ(close.name, "close");
  EXPECT_EQ(close.Int("drained"), 0);
  // The write the signal cut short logged nothing; it had taken under 256.
  long long unlogged = static_cast<long long>(data.size()) + reset.Int("dropped") -
                       Sum(Only(trace, "write"), "accepted");
  EXPECT_GE(unlogged, 0);
  EXPECT_LT(unlogged, 256);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, VdspSignal,
    ::testing::Values(Kill{"IntToHandler", SIGINT, true, 1}, Kill{"TermToHandler", SIGTERM, true, 1},
                      Kill{"TermKills", SIGTERM, false, 128 + SIGTERM}),
    ByName());

// ---- WAV output read by sox -------------------------------------------

struct SoxCase {
  const char *name;
  int rate, channels, bits;
  size_t bytes;
  const char *duration;
};
class VdspWav : public ::testing::TestWithParam<SoxCase> {};

TEST_P(VdspWav, SoxReadsFormatAndDuration) {
  const SoxCase &f = GetParam();
  std::string sox = FindOnPath("sox");
  ASSERT_FALSE(sox.empty()) << "sox is missing: run scripts/deps.sh";
  DeviceHome rig("", "out.wav");
  std::string fmt = "fmt:" + std::to_string(f.rate) + ":" + std::to_string(f.channels) + ":" +
                    std::to_string(f.bits);
  ASSERT_EQ(RunProbe(rig, {"--fast"}, {"open", fmt, "write:" + std::to_string(f.bytes), "close"}).status, 0);
  std::map<std::string, std::string> expect = {{"-r", std::to_string(f.rate)},
                                               {"-c", std::to_string(f.channels)},
                                               {"-b", std::to_string(f.bits)},
                                               {"-D", f.duration}};
  for (const auto &[option, value] : expect)
    EXPECT_EQ(vdltest::Run({sox, "--i", option, rig.out}).out, value + "\n") << option;
}

INSTANTIATE_TEST_SUITE_P(Formats, VdspWav,
                         ::testing::Values(SoxCase{"Stereo16", 44100, 2, 16, 88200, "0.500000"},
                                           SoxCase{"Mono8", 8000, 1, 8, 8000, "1.000000"},
                                           SoxCase{"Mono16", 22050, 1, 16, 8820, "0.200000"}),
                         ByName());

}  // namespace
