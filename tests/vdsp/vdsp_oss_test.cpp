// The virtual OSS device answering as a real one, driven through its
// wrapper by oss_client: the requests a program asks before and while it
// plays (the answer and the queue they leave), the descriptor calls
// (non-blocking writes, fcntl, dup, read, stat, access), and a WAV
// recording of every format the device plays.
#include "oss_client.h"

#include <linux/soundcard.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

// ---- requests -------------------------------------------------------------

constexpr long long kUnchecked = -1;

struct Answer {
  const char *name;
  Strings options;     // vdsp's
  Strings before;      // the client's actions after open, before the request
  const char *request, *arg;
  const char *err;     // "0" for success
  const char *key;     // what the answer is read from: val, or bytes for GETOPTR
  long long lo, hi;    // the answer lies in [lo, hi]
  const char *traced;  // the trace's name for it, or its number for an unknown one
  // The queue afterwards, as GETOSPACE says: room, fragsize, fragstotal.
  long long room = kUnchecked, fragsize = kUnchecked, fragstotal = kUnchecked;
};
class VdspAnswer : public ::testing::TestWithParam<Answer> {};

TEST_P(VdspAnswer, AnswersAndLeavesTheQueueAsADriver) {
  const Answer &c = GetParam();
  DeviceHome rig;
  Strings actions = {"open"};
  actions.insert(actions.end(), c.before.begin(), c.before.end());
  actions.push_back(std::string("ioctl:") + c.request + ":" + c.arg);
  actions.push_back("ioctl:getospace");
  actions.push_back("ioctl:reset");  // a slow queue needs no playing out
  RunResult r = RunClient(rig, c.options, actions);
  ASSERT_EQ(r.status, 0) << r.err;
  const bool ok = std::string(c.err) == "0";
  std::string said = std::string("ioctl ") + c.request;
  EXPECT_EQ(Said(r.out, said, "ret"), ok ? "0" : "-1") << r.out;
  EXPECT_EQ(Said(r.out, said, "errno"), c.err) << r.out;
  long long answer = std::atoll(Said(r.out, said, c.key).c_str());
  if (ok) {
    EXPECT_GE(answer, c.lo) << r.out;
    EXPECT_LE(answer, c.hi) << r.out;
  }
  std::vector<TraceEvent> ioctls = Only(ReadTrace(rig.trace), "ioctl");
  ASSERT_GE(ioctls.size(), 3u);
  const TraceEvent &e = ioctls[ioctls.size() - 3];
  EXPECT_EQ(e.subject, c.traced) << e.line;
  EXPECT_EQ(e.Int("ret"), ok ? 0 : -1) << e.line;
  EXPECT_EQ(e.Str("errno"), ok ? "" : c.err) << e.line;
  if (ok && *c.arg) {  // the value passed, as the request took it
    EXPECT_EQ(e.Int("arg"), std::strtoll(c.arg, nullptr, 0)) << e.line;
  }
  if (ok && e.Has("val")) {
    EXPECT_EQ(e.Int("val"), answer) << e.line;
  }
  const std::pair<const char *, long long> queue[] = {
      {"bytes", c.room}, {"fragsize", c.fragsize}, {"fragstotal", c.fragstotal}};
  for (const auto &[key, value] : queue) {
    if (value != kUnchecked) {
      EXPECT_EQ(Said(r.out, "ioctl getospace", key), std::to_string(value)) << key;
    }
  }
}

const Strings kSmall = {"-q", "1000"};

INSTANTIATE_TEST_SUITE_P(
    Requests, VdspAnswer,
    ::testing::Values(
        Answer{"FormatsPlayed", {}, {}, "getfmts", "", "0", "val", 0x1f8, 0x1f8,
               "SNDCTL_DSP_GETFMTS", 65536, 4096, 16},
        Answer{"BigEndianTaken", {}, {}, "setfmt", "0x20", "0", "val", 0x20, 0x20, "SNDCTL_DSP_SETFMT"},
        Answer{"Signed8Taken", {}, {}, "setfmt", "0x40", "0", "val", 0x40, 0x40, "SNDCTL_DSP_SETFMT"},
        Answer{"UnplayedFormatAnswersS16LE", {}, {}, "setfmt", "0x200", "0", "val", 0x10, 0x10,
               "SNDCTL_DSP_SETFMT"},
        Answer{"TwoFormatsAtOnceAnswerS16LE", {}, {}, "setfmt", "0x18", "0", "val", 0x10, 0x10,
               "SNDCTL_DSP_SETFMT"},
        Answer{"QueryAnswersTheFormatSet", {}, {"ioctl:setfmt:0x40"}, "setfmt", "0", "0", "val", 0x40,
               0x40, "SNDCTL_DSP_SETFMT"},
        Answer{"SpeedHeldToTheRange", {}, {}, "speed", "1000000", "0", "val", 384000, 384000,
               "SNDCTL_DSP_SPEED"},
        Answer{"ChannelsHeldToEight", {}, {}, "channels", "12", "0", "val", 8, 8, "SNDCTL_DSP_CHANNELS"},
        Answer{"NoChannelsIsOne", {}, {}, "channels", "0", "0", "val", 1, 1, "SNDCTL_DSP_CHANNELS"},
        Answer{"StereoAnswersOne", {}, {}, "stereo", "5", "0", "val", 1, 1, "SNDCTL_DSP_STEREO"},
        Answer{"SettingFixedOnceWritten", {}, {"ioctl:speed:8000", "write:100"}, "speed", "44100",
               "0", "val", 8000, 8000, "SNDCTL_DSP_SPEED"},
        Answer{"ResetFreesTheSettings", {}, {"write:100", "ioctl:reset"}, "speed", "44100", "0", "val",
               44100, 44100, "SNDCTL_DSP_SPEED", 65536},
        Answer{"CapsTriggerNoMmapNoDuplex", {}, {}, "getcaps", "", "0", "val",
               DSP_CAP_TRIGGER | DSP_CAP_REALTIME, DSP_CAP_TRIGGER | DSP_CAP_REALTIME,
               "SNDCTL_DSP_GETCAPS"},
        Answer{"Version", {}, {}, "version", "", "0", "val", SOUND_VERSION, SOUND_VERSION,
               "OSS_GETVERSION"},
        Answer{"BlockIsTheFragment", kSmall, {}, "getblksize", "", "0", "val", 500, 500,
               "SNDCTL_DSP_GETBLKSIZE", 1000, 500, 2},
        Answer{"FragmentsShapeTheQueue", {}, {}, "setfragment", "0x4000b", "0", "val", 0x4000b,
               0x4000b, "SNDCTL_DSP_SETFRAGMENT", 8192, 2048, 4},
        Answer{"FragmentsHeldToTheQueue", {}, {}, "setfragment", "0x7fff0010", "0", "val", 0x2000f,
               0x2000f, "SNDCTL_DSP_SETFRAGMENT", 65536, 32768, 2},
        Answer{"SmallestFragments", {}, {}, "setfragment", "0x10001", "0", "val", 0x20004, 0x20004,
               "SNDCTL_DSP_SETFRAGMENT", 32, 16, 2},
        Answer{"FragmentsFixedOnceWritten", {}, Strings{"ioctl:speed:1", "write:100"}, "setfragment",
               "0x4000b", "0", "val", 0x10000c, 0x10000c, "SNDCTL_DSP_SETFRAGMENT", 65436, 4096, 16},
        Answer{"BlockAfterSetFragment", {}, {"ioctl:setfragment:0x4000b"}, "getblksize", "", "0",
               "val", 2048, 2048, "SNDCTL_DSP_GETBLKSIZE"},
        Answer{"TriggeredAtOpen", {}, {}, "gettrigger", "", "0", "val", PCM_ENABLE_OUTPUT,
               PCM_ENABLE_OUTPUT, "SNDCTL_DSP_GETTRIGGER"},
        Answer{"StoppedOutputHoldsTheQueue", {}, {"ioctl:settrigger:0", "write:1000", "sleep:300"},
               "getodelay", "", "0", "val", 1000, 1000, "SNDCTL_DSP_GETODELAY", 64536},
        Answer{"PostStartsIt", {}, {"ioctl:settrigger:0", "write:1000", "ioctl:post", "sleep:300"},
               "getodelay", "", "0", "val", 0, 0, "SNDCTL_DSP_GETODELAY", 65536},
        Answer{"PointerCountsPlayedBytes", {}, {"write:8000", "sleep:250"}, "getoptr", "", "0",
               "bytes", 1900, 8000, "SNDCTL_DSP_GETOPTR"},
        Answer{"PointerBlocksAreFragments", {}, {"write:8000", "sleep:1100"}, "getoptr", "", "0",
               "blocks", 1, 1, "SNDCTL_DSP_GETOPTR", 65536},
        // Two stereo 16-bit frames a second: none has played yet.
        Answer{"DelayInWholeFrames", {}, {"ioctl:speed:2", "ioctl:channels:2", "ioctl:setfmt:0x10",
               "write:4000", "sleep:300"}, "getodelay", "", "0", "val", 4000, 4000,
               "SNDCTL_DSP_GETODELAY"},
        Answer{"RateReadBack", {}, {"ioctl:speed:22050"}, "rate", "", "0", "val", 22050, 22050,
               "SOUND_PCM_READ_RATE"},
        Answer{"BitsReadBack", {}, {"ioctl:setfmt:0x10"}, "bits", "", "0", "val", 16, 16,
               "SOUND_PCM_READ_BITS"},
        Answer{"SlowQueueDelay", {}, Strings{"ioctl:speed:1", "write:10"}, "getodelay", "", "0", "val",
               10, 10, "SNDCTL_DSP_GETODELAY", 65526},
        Answer{"InputSpaceRefused", {}, {}, "getispace", "", "EINVAL", "val", 0, 0,
               "SNDCTL_DSP_GETISPACE", 65536},
        Answer{"InputPointerRefused", {}, {}, "getiptr", "", "EINVAL", "val", 0, 0,
               "SNDCTL_DSP_GETIPTR"},
        Answer{"MmapRefused", {}, {}, "mapoutbuf", "", "EINVAL", "val", 0, 0, "SNDCTL_DSP_MAPOUTBUF"},
        Answer{"DuplexRefused", {}, {}, "setduplex", "", "EINVAL", "val", 0, 0,
               "SNDCTL_DSP_SETDUPLEX"},
        Answer{"Speed", {}, {}, "speed", "44100", "0", "val", 44100, 44100, "SNDCTL_DSP_SPEED"},
        Answer{"Stereo", {}, {}, "stereo", "1", "0", "val", 1, 1, "SNDCTL_DSP_STEREO"},
        Answer{"Channels", {}, {}, "channels", "2", "0", "val", 2, 2, "SNDCTL_DSP_CHANNELS"},
        Answer{"SetFmt", {}, {}, "setfmt", "16", "0", "val", 16, 16, "SNDCTL_DSP_SETFMT"},
        Answer{"FormatQuery", {}, {}, "setfmt", "0", "0", "val", 8, 8, "SNDCTL_DSP_SETFMT"},
        // The number kept in an int first, widened with its sign.
        Answer{"SignExtended", {}, {}, "int-speed", "22050", "0", "val", 22050, 22050,
               "SNDCTL_DSP_SPEED"},
        // Unknown requests are traced by number: _SIO('P', 99), without an
        // argument, and SOUND_MIXER_READ_VOLUME.
        Answer{"UnknownNoArg", {}, {}, "unnamed", "", "EINVAL", "val", 0, 0, "0x5063"},
        Answer{"UnknownWithArg", {}, {}, "mixer", "7", "EINVAL", "val", 0, 0, "0x80044d00"}),
    ByName());

// ---- the descriptor ---------------------------------------------------------

struct Call {
  const char *name;
  Strings options, actions;
  const char *verb, *key, *expected;  // on the client's last line of verb
};
class VdspDescriptor : public ::testing::TestWithParam<Call> {};

TEST_P(VdspDescriptor, ActsAsADeviceFile) {
  const Call &c = GetParam();
  DeviceHome rig;
  Strings actions = c.actions;
  actions.push_back("ioctl:reset");  // a slow queue needs no playing out
  RunResult r = vdltest::Run(Client(rig, c.options, actions));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Said(r.out, c.verb, c.key), c.expected) << r.out << ReadFile(rig.trace);
}

const Strings kTiny = {"-q", "16"};

INSTANTIATE_TEST_SUITE_P(
    Calls, VdspDescriptor,
    ::testing::Values(
        Call{"NonBlockingWriteTakesWhatFits", kTiny, {"open:nb", "ioctl:speed:1", "write:40"},
             "write", "total", "16"},
        Call{"NothingFitsIsEAGAIN", kTiny, {"open:nb", "ioctl:speed:1", "write:16", "write:1"},
             "write", "errno", "EAGAIN"},
        Call{"FcntlMakesItNonBlocking", kTiny, {"open", "ioctl:speed:1", "fcntl:nb", "write:40"},
             "write", "total", "16"},
        Call{"FcntlMakesItBlocking", kTiny, {"open:nb", "fcntl:block", "write:40"}, "write", "total",
             "40"},
        Call{"FcntlReportsNonBlocking", {}, {"open:nb", "fcntl:get"}, "fcntl", "nonblock", "1"},
        Call{"FcntlReportsTheAccessMode", {}, {"open:rdwr", "fcntl:get"}, "fcntl", "access", "2"},
        Call{"NonBlockRequest", kTiny, {"open", "ioctl:speed:1", "ioctl:nonblock", "write:40"}, "write",
             "total", "16"},
        Call{"ReadOnlyOpens", {}, {"open:rd"}, "open", "errno", "0"},
        Call{"ReadsAreRefused", {}, {"open:rdwr", "read:16"}, "read", "errno", "EINVAL"},
        Call{"PositionedWritesAreRefused", {}, {"open", "pwrite:64"}, "pwrite", "errno", "ESPIPE"},
        Call{"StatFindsACharDevice", {}, {"stat"}, "stat", "chr", "1"},
        Call{"StatGivesTheDspNumbers", {}, {"stat"}, "stat", "minor", "3"},
        Call{"LstatFindsACharDevice", {}, {"lstat"}, "stat", "major", "14"},
        Call{"FstatFindsACharDevice", {}, {"open", "fstat"}, "stat", "major", "14"},
        Call{"OtherPathsStatAsEver", {}, {"stat:no-such-file"}, "stat", "errno", "ENOENT"},
        Call{"WritableByAccess", {}, {"access:w"}, "access", "ret", "0"},
        Call{"NotExecutable", {}, {"access:x"}, "access", "errno", "EACCES"},
        Call{"CopyHoldsTheDevice", {}, {"open", "dup", "closeold", "write:512"}, "write", "total",
             "512"},
        Call{"Dup2CopyHoldsTheDevice", {}, {"open", "dup2:50", "closeold", "write:512"}, "write",
             "total", "512"},
        Call{"BusyWhileACopyHolds", {}, {"open", "dup", "closeold", "open"}, "open", "errno", "EBUSY"},
        Call{"OpensAgainOnceClosed", {}, {"open", "write:64", "close", "open"}, "open", "errno", "0"}),
    ByName());

TEST(VdspDescriptor, TheLastCopyClosesAndPlaysOut) {
  DeviceHome rig;
  RunResult r = vdltest::Run(Client(rig, {}, {"open", "ioctl:speed:44100", "dup", "write:8000", "closeold",
                                     "close"}));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TraceEvent> closes = Only(ReadTrace(rig.trace), "close");
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].Int("drained") + closes[0].Int("dropped"), 0) << closes[0].line;
  EXPECT_EQ(ReadFile(rig.out).size(), 8000u);
}

TEST(VdspDescriptor, TraceNamesTheDescriptorCalls) {
  DeviceHome rig;
  RunResult r = vdltest::Run(Client(rig, {}, {"open:nb", "fcntl:block", "dup", "read:4"}));
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<TraceEvent> trace = ReadTrace(rig.trace);
  std::vector<TraceEvent> setfl = Only(trace, "fcntl", "F_SETFL");
  ASSERT_EQ(setfl.size(), 1u) << ReadFile(rig.trace);
  EXPECT_EQ(setfl[0].Str("flags"), "O_WRONLY");
  EXPECT_EQ(Only(trace, "fcntl", "F_GETFL").size(), 2u);
  std::vector<TraceEvent> dup = Only(trace, "dup"), read = Only(trace, "read");
  ASSERT_EQ(dup.size(), 1u);
  EXPECT_EQ(dup[0].Str("ret"), Said(r.out, "dup", "ret"));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].Str("fd"), Said(r.out, "dup", "ret"));
  EXPECT_EQ(read[0].Int("asked"), 4);
  EXPECT_EQ(read[0].Str("errno"), "EINVAL");
}

// ---- the recording of each format ---------------------------------------

struct Recorded {
  const char *name, *format, *written, *file;  // file: the WAV data (hex) or, for raw, ""
  int bits;
};
class VdspRecording : public ::testing::TestWithParam<Recorded> {};

TEST_P(VdspRecording, HoldsTheSamplesPlayed) {
  const Recorded &c = GetParam();
  bool raw = !*c.file;
  DeviceHome rig("", raw ? "out.raw" : "out.wav");
  RunResult r = vdltest::Run(Client(rig, {"--fast"}, {"open", "ioctl:speed:8000", std::string("ioctl:setfmt:") +
                                             c.format, std::string("bytes:") + c.written, "close"}));
  ASSERT_EQ(r.status, 0) << r.err;
  std::string out = ReadFile(rig.out);
  if (raw) {
    EXPECT_EQ(out, Unhex(c.written));
    return;
  }
  ASSERT_GE(out.size(), kWavHeader);
  EXPECT_EQ(out.substr(0, kWavHeader),
            WavHeader(WavFormat{1, 8000, static_cast<int16_t>(c.bits)}, out.size() - kWavHeader));
  EXPECT_EQ(out.substr(kWavHeader), Unhex(c.file));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, VdspRecording,
    ::testing::Values(Recorded{"Unsigned8", "0x08", "00807fff", "00807fff", 8},
                      Recorded{"Signed8", "0x40", "00807fff", "8000ff7f", 8},
                      Recorded{"Signed16LE", "0x10", "3412fffe", "3412fffe", 16},
                      Recorded{"Signed16BE", "0x20", "1234fffe", "3412feff", 16},
                      Recorded{"Unsigned16LE", "0x80", "0080ffff0000", "0000ff7f0080", 16},
                      Recorded{"Unsigned16BE", "0x100", "8000ffff0000", "0000ff7f0080", 16},
                      Recorded{"RawKeepsTheBytes", "0x20", "1234fffe", "", 16}),
    ByName());

}  // namespace
