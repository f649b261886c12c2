// The virtual OSS device, driven through its wrapper by oss_client: pacing,
// how the queue ends (sync, close, reset, exit), interrupted waits, the
// room and delay it reports, poll and select, the open entries, paths it
// must leave alone, signals, and WAV output that sox reads back.
#include "oss_client.h"

#include <linux/soundcard.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

constexpr size_t kQueue = 65536;
constexpr size_t kQuarterSecond = 44100;  // bytes of 44.1 kHz stereo 16-bit
// How far a timed run may stray from the device's clock: the client's
// start-up and its wake-up after each wait, a few ms even on a loaded
// machine (these cases run alone); a device that plays at another rate, or
// all at once, is far past it.
constexpr double kPaceShare = 0.05;

VDL_PRINT_ROWS_BY_NAME

// The bytes a client plays, in order.
std::string Stream(size_t n) { return Pattern(n); }

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
  RunResult r = RunClient(rig, {}, {"open", p.fmt, "mark", "write:" + std::to_string(p.bytes),
                             "ioctl:sync", "elapsed", "close"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NEAR(std::atof(Said(r.out, "elapsed", "s").c_str()), p.seconds, p.seconds * kPaceShare);
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
  size_t twice = 0;  // bytes after it that two processes write alike
};
class VdspQueueEnd : public ::testing::TestWithParam<Ending> {};

TEST_P(VdspQueueEnd, OutputLacksExactlyTheDroppedBytes) {
  const Ending &e = GetParam();
  for (const char *outName : {"out.raw", "out.wav"}) {
    DeviceHome rig("", outName);
    Strings actions = {"open", "fmt:44100:2:16", "write:" + std::to_string(kQuarterSecond)};
    actions.insert(actions.end(), e.actions.begin(), e.actions.end());
    RunResult r = RunClient(rig, e.fast ? Strings{"--fast"} : Strings{}, actions);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<TraceEvent> trace = ReadTrace(rig.trace);
    long long dropped = Sum(Only(trace, "ioctl", "SNDCTL_DSP_RESET"), "dropped");
    long long drained = Sum(Only(trace, "ioctl", "SNDCTL_DSP_SYNC"), "drained") +
                        Sum(Only(trace, "close"), "drained") + Sum(Only(trace, "exit"), "drained");
    std::string again = Stream(kQuarterSecond + e.twice).substr(kQuarterSecond);
    EXPECT_EQ(Played(rig), Stream(kQuarterSecond - static_cast<size_t>(dropped)) + again + again)
        << outName;
    EXPECT_EQ(dropped > 0, e.dropsSome);
    EXPECT_EQ(dropped % 4, 0) << "whole frames of 44.1 kHz stereo 16-bit";
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
                      Ending{"FastResetDropsNothing", true, {"ioctl:reset", "close"}, false},
                      Ending{"ForkedWritesPlayOnce", false, {"fork", "write:8000:8000", "close"},
                             false, 8000}),
    ByName());

TEST(VdspSync, WaitsUntilTheQueueHasPlayed) {
  DeviceHome rig;
  ASSERT_EQ(RunClient(rig, {}, {"open", "fmt:44100:2:16", "write:" + std::to_string(kQuarterSecond),
                         "ioctl:sync", "close"}).status, 0);
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  std::vector<TraceEvent> sync = Only(trace, "ioctl", "SNDCTL_DSP_SYNC");
  ASSERT_EQ(sync.size(), 1u);
  EXPECT_GT(sync[0].Int("drained"), static_cast<long long>(kQuarterSecond * 9 / 10));
  EXPECT_EQ(sync[0].Int("queued"), 0);
  // The device plays from the first byte on, however long the writes took.
  EXPECT_NEAR(sync[0].time - Only(trace, "write").at(0).time, 0.25, 0.25 * kPaceShare);
  EXPECT_EQ(Only(trace, "close").at(0).Int("drained"), 0);
}

// ---- a signal during a wait -------------------------------------------------

struct Interrupt {
  const char *name;
  Strings options, actions;
  const char *verb;  // the client's call the signal lands in
  const char *err;   // its errno, "0" for a partial count
};
class VdspInterrupt : public ::testing::TestWithParam<Interrupt> {};

TEST_P(VdspInterrupt, EndsTheWaitAsADriverDoes) {
  const Interrupt &in = GetParam();
  DeviceHome rig;
  RunResult r = RunClient(rig, in.options, in.actions);
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

// ---- room and delay -----------------------------------------------------

struct SpaceCase {
  const char *name;
  Strings options;
  const char *fmt;
  long long rate;  // bytes a second in fmt
  size_t written;
  int sleepMs;
  long long queue, fragsize, fragstotal;
  bool refused;  // --no-space
  const char *client = OSS_CLIENT;
};
class VdspSpace : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(VdspSpace, ReportsTheRoomLeftByWritesAndPlaying) {
  const SpaceCase &c = GetParam();
  DeviceHome rig;
  Strings actions = {"open", c.fmt, "mark"};
  if (c.written > 0) actions.push_back("write:" + std::to_string(c.written));
  actions.push_back("sleep:" + std::to_string(c.sleepMs));
  for (const char *a : {"ioctl:getospace", "ioctl:getodelay", "elapsed", "ioctl:reset"})
    actions.push_back(a);
  RunResult r = RunClient(rig, c.options, actions, c.client);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  std::vector<TraceEvent> space = Only(trace, "ioctl", "SNDCTL_DSP_GETOSPACE");
  std::vector<TraceEvent> delay = Only(trace, "ioctl", "SNDCTL_DSP_GETODELAY");
  ASSERT_EQ(space.size(), 1u) << ReadFile(rig.trace);
  ASSERT_EQ(delay.size(), 1u) << ReadFile(rig.trace);
  if (c.refused) {
    for (const char *verb : {"ioctl getospace", "ioctl getodelay"}) {
      EXPECT_EQ(Said(r.out, verb, "ret"), "-1") << verb;
      EXPECT_EQ(Said(r.out, verb, "errno"), "EINVAL") << verb;
    }
    for (const TraceEvent &e : {space[0], delay[0]}) {
      EXPECT_EQ(e.Int("ret"), -1) << e.line;
      EXPECT_EQ(e.Str("errno"), "EINVAL") << e.line;
    }
    return;
  }
  long long bytes = std::atoll(Said(r.out, "ioctl getospace", "bytes").c_str());
  double elapsed = std::atof(Said(r.out, "elapsed", "s").c_str());
  long long written = static_cast<long long>(c.written);
  // At least what the sleep let play left the queue; at most what the
  // whole run did.
  bool fast = std::find(c.options.begin(), c.options.end(), "--fast") != c.options.end();
  long long least = fast ? written : std::clamp(c.rate * c.sleepMs / 1000 - 1, 0LL, written);
  long long most = std::min(written, static_cast<long long>(c.rate * elapsed) + 1);
  EXPECT_EQ(Said(r.out, "ioctl getospace", "ret"), "0");
  EXPECT_GE(bytes, c.queue - written + least) << r.out;
  EXPECT_LE(bytes, c.queue - written + most) << r.out;
  EXPECT_EQ(Said(r.out, "ioctl getospace", "fragsize"), std::to_string(c.fragsize));
  EXPECT_EQ(Said(r.out, "ioctl getospace", "fragstotal"), std::to_string(c.fragstotal));
  EXPECT_EQ(Said(r.out, "ioctl getospace", "fragments"), std::to_string(bytes / c.fragsize));
  EXPECT_EQ(space[0].Int("bytes"), bytes);
  EXPECT_EQ(space[0].Int("queued"), c.queue - bytes);
  EXPECT_EQ(space[0].Int("fragsize"), c.fragsize);
  EXPECT_EQ(space[0].Int("fragstotal"), c.fragstotal);
  // The delay is what is still queued: no more than the space request left.
  long long odelay = std::atoll(Said(r.out, "ioctl getodelay", "val").c_str());
  EXPECT_EQ(Said(r.out, "ioctl getodelay", "ret"), "0");
  EXPECT_EQ(delay[0].Int("val"), odelay);
  EXPECT_EQ(delay[0].Int("queued"), odelay);
  EXPECT_LE(odelay, c.queue - bytes);
  EXPECT_GE(odelay, written - most);
}

INSTANTIATE_TEST_SUITE_P(
    Queues, VdspSpace,
    ::testing::Values(
        SpaceCase{"EmptyQueue", {}, "fmt:8000:1:8", 8000, 0, 0, 65536, 4096, 16, false},
        SpaceCase{"AfterAWrite", {}, "fmt:44100:2:16", 176400, 40000, 0, 65536, 4096, 16, false},
        SpaceCase{"RoomGrowsAtTheByteRate", {}, "fmt:8000:1:8", 8000, 60000, 300, 65536, 4096, 16,
                  false},
        // One byte a second: nothing plays during the run.
        SpaceCase{"PartFragmentFree", {"-q", "1000"}, "fmt:1:1:8", 1, 600, 0, 1000, 500, 2, false},
        SpaceCase{"QueueNotAMultipleOfTheFragment", {"-q", "10000"}, "fmt:1:1:8", 1, 5000, 0, 10000,
                  4096, 3, false},
        SpaceCase{"OneByteQueue", {"-q", "1"}, "fmt:1:1:8", 1, 1, 0, 1, 1, 1, false},
        SpaceCase{"FastPlaysAtOnce", {"--fast"}, "fmt:8000:1:8", 1000000000, 40000, 0, 65536, 4096,
                  16, false},
        SpaceCase{"NoSpaceRefusesBoth", {"--no-space"}, "fmt:8000:1:8", 8000, 256, 0, 65536, 4096, 16,
                  true},
        SpaceCase{"Sanitized", {}, "fmt:44100:2:16", 176400, 40000, 0, 65536, 4096, 16, false,
                  OSS_CLIENT_ASAN}),
    ByName());

// ---- writes that wait -----------------------------------------------------

struct Blocking {
  const char *name;
  Strings options, actions;
  const char *blocked;  // of each write line, in order
};
class VdspBlocked : public ::testing::TestWithParam<Blocking> {};

TEST_P(VdspBlocked, WriteLinesTellWhetherTheyWaited) {
  const Blocking &b = GetParam();
  DeviceHome rig;
  RunResult r = RunClient(rig, b.options, b.actions);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string blocked;
  for (const TraceEvent &w : Only(ReadTrace(rig.trace), "write")) {
    blocked += (blocked.empty() ? "" : " ") + w.Str("blocked");
    EXPECT_TRUE(w.line.ends_with(" blocked=" + w.Str("blocked"))) << "not the last key: " << w.line;
  }
  EXPECT_EQ(blocked, b.blocked) << ReadFile(rig.trace);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, VdspBlocked,
    ::testing::Values(
        Blocking{"IntoRoomDoesNotWait", {}, {"open", "write:256"}, "0"},
        Blocking{"IntoAFullQueueWaits", {}, {"open", "fmt:8000:1:8", "write:65536:65536",
                                             "write:256", "ioctl:reset"}, "0 1"},
        Blocking{"PastTheQueueWaits", {"-q", "1000"}, {"open", "fmt:8000:1:8", "write:1500:1500",
                                                       "ioctl:reset"}, "1"},
        Blocking{"NonBlockingNeverWaits", {"-q", "16"}, {"open:nb", "fmt:1:1:8", "write:16:16",
                                                         "write:16:16", "ioctl:reset"}, "0 0"},
        Blocking{"FastNeverWaits", {"--fast"}, {"open", "write:131072:131072", "write:256"}, "0 0"}),
    ByName());

// ---- poll and select ------------------------------------------------------

struct Readiness {
  const char *name;
  Strings options, actions;  // the last action is the wait
  const char *traced;        // the trace event, "" for none at all
  const char *events;        // what was asked of the device, as traced
  int ret;
  const char *revents;       // of the device, as traced
  int other;                 // the pipe reported ready
  const char *err;           // "0" for none
  // Seconds the trace reports: a wait that should end at once may take up
  // to a second on a loaded machine; one for a fragment ends after 0.5 s
  // of playing, checked from half that to well short of the 5 s timeout.
  double minWaited = 0, maxWaited = 1;
  long long maxQueued = -1;  // at the end, when checked
  const char *client = OSS_CLIENT;
};
class VdspReady : public ::testing::TestWithParam<Readiness> {};

TEST_P(VdspReady, AnswersAsADriverDoes) {
  const Readiness &c = GetParam();
  DeviceHome rig;
  RunResult r = RunClient(rig, c.options, Plus(c.actions, {"ioctl:reset"}), c.client);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string verb = c.actions.back().substr(0, c.actions.back().find(':'));
  EXPECT_EQ(Said(r.out, verb, "ret"), std::to_string(c.ret)) << r.out;
  EXPECT_EQ(Said(r.out, verb, "revents"), c.revents) << r.out;
  EXPECT_EQ(Said(r.out, verb, "other"), std::to_string(c.other)) << r.out;
  EXPECT_EQ(Said(r.out, verb, "errno"), c.err) << r.out;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  if (!*c.traced) {
    EXPECT_TRUE(Only(trace, "poll").empty() && Only(trace, "select").empty()) << ReadFile(rig.trace);
    return;
  }
  std::vector<TraceEvent> waits = Only(trace, c.traced);
  ASSERT_EQ(waits.size(), 1u) << ReadFile(rig.trace);
  const TraceEvent &w = waits[0];
  EXPECT_EQ(w.Str("fd"), Said(r.out, "open", "ret"));
  EXPECT_EQ(w.Str("events"), c.events) << w.line;
  EXPECT_EQ(w.Str("revents"), c.revents) << w.line;
  EXPECT_EQ(w.Int("ret"), c.ret) << w.line;
  EXPECT_EQ(w.Str("errno"), std::string(c.err) == "0" ? "" : c.err) << w.line;
  EXPECT_GE(w.Seconds("waited"), c.minWaited) << w.line;
  EXPECT_LE(w.Seconds("waited"), c.maxWaited) << w.line;
  if (c.maxQueued >= 0) {
    EXPECT_LE(w.Int("queued"), c.maxQueued) << w.line;
  }
}

// A queue of 16 bytes (two fragments of 8) at one byte a second, holding
// n bytes: it frees nothing while a test runs.
Strings Slow(size_t n) { return {"open", "fmt:1:1:8", "write:" + std::to_string(n)}; }
const Strings kSlowQueue = {"-q", "16"};
// The default queue filled at 8000 bytes a second: a fragment is free
// after half a second.
const Strings kFull = {"open", "fmt:8000:1:8", "write:65536"};
constexpr long long kFullLessAFragment = 65536 - 4096;

INSTANTIATE_TEST_SUITE_P(
    Poll, VdspReady,
    ::testing::Values(
        Readiness{"EmptyIsWritable", {}, {"open", "poll:0"}, "poll", "POLLOUT", 1, "POLLOUT", 0, "0"},
        Readiness{"FullIsNot", kSlowQueue, Plus(Slow(16), {"poll:0"}), "poll", "POLLOUT", 0, "0", 0,
                  "0"},
        Readiness{"LessThanAFragmentFreeIsNot", kSlowQueue, Plus(Slow(9), {"poll:0"}), "poll",
                  "POLLOUT", 0, "0", 0, "0"},
        Readiness{"AFragmentFreeIsWritable", kSlowQueue, Plus(Slow(8), {"poll:0"}), "poll",
                  "POLLOUT", 1, "POLLOUT", 0, "0"},
        Readiness{"NeverReadable", {}, {"open", "poll:0:in"}, "poll", "POLLIN", 0, "0", 0, "0"},
        Readiness{"ReadAndWriteAskedWriteAnswered", {}, {"open", "poll:0:in+out"}, "poll",
                  "POLLIN|POLLOUT", 1, "POLLOUT", 0, "0"},
        Readiness{"PlainEntry", {}, {"open", "rawpoll:0"}, "poll", "POLLOUT", 1, "POLLOUT", 0, "0"},
        Readiness{"PpollFull", kSlowQueue, Plus(Slow(16), {"ppoll:0"}), "poll", "POLLOUT", 0, "0", 0,
                  "0"},
        Readiness{"PpollPlainEntry", {}, {"open", "rawppoll:0"}, "poll", "POLLOUT", 1, "POLLOUT", 0,
                  "0"},
        Readiness{"WaitsForAFragment", {}, Plus(kFull, {"poll:5000"}), "poll", "POLLOUT", 1,
                  "POLLOUT", 0, "0", 0.25, 4.5, kFullLessAFragment},
        Readiness{"WaitsForEverForAFragment", {}, Plus(kFull, {"poll:-1"}), "poll", "POLLOUT", 1,
                  "POLLOUT", 0, "0", 0.25, 4.5, kFullLessAFragment},
        Readiness{"PpollWaitsForAFragment", {}, Plus(kFull, {"ppoll:5000"}), "poll", "POLLOUT", 1,
                  "POLLOUT", 0, "0", 0.25, 4.5, kFullLessAFragment},
        Readiness{"TimesOut", kSlowQueue, Plus(Slow(16), {"poll:200"}), "poll", "POLLOUT", 0, "0", 0,
                  "0", 0.19, 3},
        Readiness{"SignalEndsTheWait", kSlowQueue, Plus(Slow(16), {"alarm:100", "poll:5000"}), "poll",
                  "POLLOUT", -1, "0", 0, "EINTR", 0.05, 4.5},
        Readiness{"PpollSignalEndsTheWait", kSlowQueue,
                  Plus(Slow(16), {"alarm:100", "ppoll:5000"}), "poll", "POLLOUT", -1, "0", 0, "EINTR",
                  0.05, 4.5},
        // The signal waits until ppoll returns: its mask held it back.
        Readiness{"PpollMaskHoldsTheSignal", kSlowQueue,
                  Plus(Slow(16), {"alarm:50", "ppoll:300:out:alrm"}), "poll", "POLLOUT", 0, "0", 0,
                  "0", 0.29, 3},
        Readiness{"OtherReadyEndsTheWait", kSlowQueue, Plus(Slow(16), {"pipe", "poll:5000"}), "poll",
                  "POLLOUT", 1, "0", 1, "0", 0, 4.5},
        Readiness{"BothReady", {}, {"open", "pipe", "poll:5000"}, "poll", "POLLOUT", 2, "POLLOUT", 1,
                  "0"},
        Readiness{"DeviceLeftOutIsNotTraced", {}, {"open", "pipe", "poll:0:absent"}, "", "", 1, "0",
                  1, "0"},
        Readiness{"NoPollSeesDevNull", Plus(kSlowQueue, {"--no-poll"}), Plus(Slow(16), {"poll:0"}), "",
                  "", 1, "POLLOUT", 0, "0"},
        Readiness{"FastIsWritable", {"--fast"}, {"open", "write:200000", "poll:0"}, "poll", "POLLOUT",
                  1, "POLLOUT", 0, "0"},
        Readiness{"Sanitized", {}, Plus(kFull, {"poll:5000"}), "poll", "POLLOUT", 1, "POLLOUT", 0, "0",
                  0.25, 4.5, kFullLessAFragment, OSS_CLIENT_ASAN}),
    ByName());

INSTANTIATE_TEST_SUITE_P(
    Select, VdspReady,
    ::testing::Values(
        Readiness{"EmptyIsWritable", {}, {"open", "select:0"}, "select", "POLLOUT", 1, "POLLOUT", 0,
                  "0"},
        Readiness{"FullIsNot", kSlowQueue, Plus(Slow(16), {"select:0"}), "select", "POLLOUT", 0, "0",
                  0, "0"},
        Readiness{"NeverReadableNorExceptional", {}, {"open", "select:0:in+pri"}, "select",
                  "POLLIN|POLLPRI", 0, "0", 0, "0"},
        Readiness{"WaitsForAFragment", {}, Plus(kFull, {"select:5000"}), "select", "POLLOUT", 1,
                  "POLLOUT", 0, "0", 0.25, 4.5, kFullLessAFragment},
        Readiness{"PselectWaitsForEver", {}, Plus(kFull, {"pselect:-1"}), "select", "POLLOUT", 1,
                  "POLLOUT", 0, "0", 0.25, 4.5, kFullLessAFragment},
        Readiness{"TimesOut", kSlowQueue, Plus(Slow(16), {"select:200"}), "select", "POLLOUT", 0, "0",
                  0, "0", 0.19, 3},
        Readiness{"SignalEndsTheWait", kSlowQueue, Plus(Slow(16), {"alarm:100", "select:5000"}),
                  "select", "POLLOUT", -1, "0", 0, "EINTR", 0.05, 4.5},
        Readiness{"PselectMaskHoldsTheSignal", kSlowQueue,
                  Plus(Slow(16), {"alarm:50", "pselect:300:out:alrm"}), "select", "POLLOUT", 0, "0",
                  0, "0", 0.29, 3},
        Readiness{"OtherReadyEndsTheWait", kSlowQueue, Plus(Slow(16), {"pipe", "select:5000"}),
                  "select", "POLLOUT", 1, "0", 1, "0", 0, 4.5},
        Readiness{"DeviceLeftOutIsNotTraced", {}, {"open", "pipe", "select:0:absent"}, "", "", 1, "0",
                  1, "0"},
        Readiness{"NoPollSeesDevNull", Plus(kSlowQueue, {"--no-poll"}), Plus(Slow(16), {"select:0"}),
                  "", "", 1, "POLLOUT", 0, "0"},
        Readiness{"FastIsWritable", {"--fast"}, {"open", "write:200000", "select:0"}, "select",
                  "POLLOUT", 1, "POLLOUT", 0, "0"},
        Readiness{"Sanitized", {}, Plus(kFull, {"pselect:5000"}), "select", "POLLOUT", 1, "POLLOUT",
                  0, "0", 0.25, 4.5, kFullLessAFragment, OSS_CLIENT_ASAN}),
    ByName());

// ---- open entries, flags and builds --------------------------------------

struct Entry {
  const char *name, *entry, *flags, *traced, *client;
};
class VdspOpen : public ::testing::TestWithParam<Entry> {};

TEST_P(VdspOpen, EveryEntryReachesTheDevice) {
  const Entry &e = GetParam();
  DeviceHome rig;
  RunResult r = RunClient(rig, {"--fast"}, {std::string("open:") + e.flags + ":" + e.entry, "write:512:512",
                                     "close"}, e.client);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  ASSERT_GE(trace.size(), 3u) << ReadFile(rig.trace);
  EXPECT_EQ(trace[0].name, "open");
  EXPECT_EQ(trace.back().name, "close");
  EXPECT_EQ(trace[0].subject, rig.dev);
  EXPECT_EQ(trace[0].Str("flags"), e.traced);
  EXPECT_EQ(trace[0].Str("ret"), Said(r.out, "open", "ret"));
  for (const TraceEvent &ev : trace) EXPECT_EQ(ev.Str("fd"), trace[0].Str("ret")) << ev.name;
  EXPECT_EQ(Sum(Only(trace, "write"), "accepted"), 512);
  EXPECT_EQ(Played(rig), Stream(512));
}

INSTANTIATE_TEST_SUITE_P(
    Entries, VdspOpen,
    ::testing::Values(Entry{"Open2", "open", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Open64_2", "open64", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Openat2", "openat", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Openat64_2", "openat64", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Open", "const", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"NonBlocking", "open", "nb", "O_WRONLY|O_NONBLOCK", OSS_CLIENT},
                      Entry{"ReadWrite", "open", "rdwr", "O_RDWR", OSS_CLIENT},
                      Entry{"Fopen", "fopen", "wr", "O_WRONLY|O_CREAT|O_TRUNC", OSS_CLIENT},
                      Entry{"Fdopen", "fdopen", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Writev", "writev", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"KeptAcrossExec", "exec", "wr", "O_WRONLY", OSS_CLIENT},
                      Entry{"Sanitized", "open", "wr", "O_WRONLY", OSS_CLIENT_ASAN}),
    ByName());

TEST(VdspBusy, ASecondOpenFails) {
  DeviceHome rig;
  RunResult r = RunClient(rig, {}, {"open", "open"});
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
  RunResult r = vdltest::Run(Client(rig, {}, {action}, OSS_CLIENT, rig.dir / b.path));
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
  pid_t pid = Spawn(Client(rig, {}, actions), {}, said, rig.dir / "err");
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
  int nextRate = 0;  // then a second of mono 8-bit at this rate, into out-2.wav
};
class VdspWav : public ::testing::TestWithParam<SoxCase> {};

TEST_P(VdspWav, SoxReadsFormatAndDuration) {
  const SoxCase &f = GetParam();
  std::string sox = FindOnPath("sox");
  ASSERT_FALSE(sox.empty()) << "sox is missing: run scripts/deps.sh";
  DeviceHome rig("", "out.wav");
  std::string fmt = "fmt:" + std::to_string(f.rate) + ":" + std::to_string(f.channels) + ":" +
                    std::to_string(f.bits);
  std::string next = std::to_string(f.nextRate);
  Strings then = {"fmt:" + next + ":1:8", "write:" + next};
  ASSERT_EQ(RunClient(rig, {"--fast"}, Plus({"open", fmt, "write:" + std::to_string(f.bytes)},
                                           Plus(f.nextRate ? then : Strings{}, {"close"}))).status, 0);
  std::map<std::string, std::string> expect = {{"-r", std::to_string(f.rate)},
                                               {"-c", std::to_string(f.channels)},
                                               {"-b", std::to_string(f.bits)},
                                               {"-D", f.duration}};
  for (const auto &[option, value] : expect)
    EXPECT_EQ(vdltest::Run({sox, "--i", option, rig.out}).out, value + "\n") << option;
  if (f.nextRate) {
    std::string second = rig.dir / "out-2.wav";
    EXPECT_EQ(vdltest::Run({sox, "--i", "-r", second}).out, next + "\n");
    EXPECT_EQ(vdltest::Run({sox, "--i", "-D", second}).out, "1.000000\n");
    EXPECT_EQ(Only(ReadTrace(rig.trace), "output").at(0).subject, second);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, VdspWav,
                         ::testing::Values(SoxCase{"Stereo16", 44100, 2, 16, 88200, "0.500000"},
                                           SoxCase{"Mono8", 8000, 1, 8, 8000, "1.000000"},
                                           SoxCase{"Mono16", 22050, 1, 16, 8820, "0.200000"},
                                           SoxCase{"FormatChangeGoesOnInANewFile", 44100, 2, 16,
                                                   88200, "0.500000", 8000}),
                         ByName());

}  // namespace
