// vdlplay end to end: banner, usage, report and messages byte for byte,
// exit statuses, and the file order.  A plain file stands in for the device
// (its requests fail harmlessly) where only the bytes played matter; the
// virtual device shows the requests, the blocks and the signals.
#include "convunit.h"
#include "vdsp_rig.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

const std::string kBanner =
    ">>> Vandrel Linear PCM Wave Player <<<\n"
    "- Ver00.30 since 2000.09 -\n"
    "- Copyright (C) 2000-2026 The vdlplay authors -\n"
    "\n"
    " Vandrel Linear PCM Wave Player (Command line version) ... \n"
    "\n";
const std::string kSeparator = "--------------------------------\n";

std::string Usage(const std::string &command) {
  return " Usage: " + command +
         " [-help] WaveFiles\n"
         " -help(or -h) ... This message\n"
         "  WaveFiles   ... Linear PCM wave files name\n\n";
}

// The report's lines after "File name".
std::string Lines(int channels, int freq, int bits, const std::string &size,
                  const std::string &time) {
  return std::string("Sound        : ") + (channels == 1 ? "Mono" : "Stereo") + "\n" +
         "Channels     : " + std::to_string(channels) + "\n" +
         "Sampling freq: " + std::to_string(freq) + " Hz\n" +
         "Bits         : " + std::to_string(bits) + " bits\n" +
         "Data Size    : " + size + " Bytes\n" + "Total Times  : " + time + "\n\n";
}

// The report of one file: its name, then its lines.
std::string Report(const std::string &path, const std::string &lines) {
  return kSeparator + "File name    : " + path + "\n" + lines;
}

// A HOME whose device is an empty plain file: it then holds exactly the
// bytes played.
struct PlainFileHome : DeviceHome {
  PlainFileHome() { WriteFile(dev, ""); }
};

// --- ConvUnitString ---------------------------------------------------

struct Conv {
  int32_t value;
  uint32_t size;
  const char *text;  // "" when it does not fit
};
void PrintTo(const Conv &c, std::ostream *os) { *os << c.value << " in " << c.size; }

class PlayerConvUnit : public ::testing::TestWithParam<Conv> {};

TEST_P(PlayerConvUnit, GroupsThousandsOrLeavesTheBufferZero) {
  const Conv &c = GetParam();
  char buf[40];
  memset(buf, 'x', sizeof buf);
  int32_t len = ConvUnitString(c.value, buf, c.size);
  EXPECT_EQ(len, static_cast<int32_t>(strlen(c.text)));
  std::string want(c.text);
  want.resize(c.size, '\0');
  EXPECT_EQ(std::string(buf, c.size), want);
  EXPECT_EQ(buf[c.size], 'x') << "wrote past the given size";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerConvUnit,
    ::testing::Values(Conv{0, 32, "0"}, Conv{999, 32, "999"}, Conv{1000, 32, "1,000"},
                      Conv{999999, 32, "999,999"}, Conv{1000000, 32, "1,000,000"},
                      Conv{1000000000, 32, "1,000,000,000"},
                      Conv{INT32_MAX, 32, "2,147,483,647"}, Conv{1002003, 32, "1,002,003"},
                      Conv{-1, 32, "-1"}, Conv{-1234567, 32, "-1234567"},
                      Conv{INT32_MIN, 32, "-2147483648"}, Conv{1234, 6, "1,234"},
                      Conv{1234, 5, ""}, Conv{5, 1, ""}, Conv{5, 0, ""}));

// --- Banner and usage ---------------------------------------------------

struct UsageCase {
  const char *name;
  std::vector<std::string> args;
  int status;
  std::string err;  // after the banner
};
class PlayerUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(PlayerUsage, PrintsBannerAndUsageExactly) {
  const UsageCase &c = GetParam();
  PlainFileHome home;
  std::vector<std::string> argv = {VDLPLAY};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  RunResult r = vdltest::Run(argv, {home.Env()});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, kBanner + c.err);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(home.dev), "") << "nothing may be played";
}

const std::string kVdlplayUsage = Usage("vdlplay");

// n copies of word, then last.
std::vector<std::string> Repeated(size_t n, const std::string &word, const std::string &last) {
  std::vector<std::string> words(n, word);
  words.push_back(last);
  return words;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerUsage,
    ::testing::Values(
        UsageCase{"NoFile", {}, 1, kVdlplayUsage},
        UsageCase{"Help", {"-help"}, 0, kVdlplayUsage},
        UsageCase{"H", {"-h"}, 0, kVdlplayUsage},
        UsageCase{"HelpAfterAFile", {"a.wav", "-h"}, 0, kVdlplayUsage},
        UsageCase{"HelpAsThe101stArgument", Repeated(100, "a.wav", "-h"), 0, kVdlplayUsage},
        UsageCase{"DashWordIsAFile", {"-x"}, 0, "Error: Wave - Can't open file (-x).\n"},
        UsageCase{"DoubleDashHelpIsAFile",
                  {"--help"},
                  0,
                  "Error: Wave - Can't open file (--help).\n"}),
    ByName());

class PlayerCommandName
    : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(PlayerCommandName, UsageShowsTheLastComponentCutTo31) {
  TempDir dir;
  std::string link = dir / GetParam().first;
  ASSERT_EQ(symlink(VDLPLAY, link.c_str()), 0);
  RunResult r = vdltest::Run({link});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kBanner + Usage(GetParam().second));
}

INSTANTIATE_TEST_SUITE_P(
    Names, PlayerCommandName,
    ::testing::Values(std::make_pair("play", "play"),
                      std::make_pair(std::string(31, 'p'), std::string(31, 'p')),
                      std::make_pair(std::string(40, 'q'), std::string(31, 'q'))));

TEST(PlayerUsage, ManyFilesWarnBeforeTheBannerAndPlayTheFirst100) {
  PlainFileHome home;
  WriteFile(home.dir / "a.wav", MakeWav(WavFormat(), "A"));
  std::vector<std::string> argv = {VDLPLAY};
  for (int i = 0; i < 100; ++i) argv.push_back(home.dir / "a.wav");
  argv.push_back("-x");
  argv.push_back("-h");
  RunResult r = vdltest::Run(argv, {home.Env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Warring: Too many file. Less than 100 files.\n" + kBanner);
  EXPECT_EQ(ReadFile(home.dev), std::string(100, 'A'));
}

// --- Report ---------------------------------------------------------------

struct ReportCase {
  const char *name;
  WavFormat format;
  size_t dataBytes;
  std::string report;  // the lines after "File name"
  std::string err;     // after the banner
};
class PlayerReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(PlayerReport, PrintsEveryLineExactly) {
  const ReportCase &c = GetParam();
  PlainFileHome home;
  std::string path = home.dir / "in.wav";
  WriteFile(path, WavHeader(c.format, c.dataBytes) + Pattern(c.dataBytes));
  RunResult r = vdltest::Run({VDLPLAY, path}, {home.Env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Report(path, c.report));
  EXPECT_EQ(r.err, kBanner + c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerReport,
    ::testing::Values(
        ReportCase{"Mono8", WavFormat{1, 8000, 8}, 600,
                   Lines(1, 8000, 8, "600", "0'00\"07"), ""},
        ReportCase{"Stereo16", WavFormat{2, 44100, 16}, 176400,
                   Lines(2, 44100, 16, "176,400", "0'01\"00"), ""},
        ReportCase{"NoChannelsIsStereo", WavFormat{0, 8000, 8, 100}, 2469,
                   Lines(0, 8000, 8, "2,469", "0'24\"69"), ""},
        ReportCase{"FourChannelsIsStereo", WavFormat{4, 8000, 8, 200}, 24690,
                   Lines(4, 8000, 8, "24,690", "2'03\"45"), ""},
        ReportCase{"OneHourIs60Minutes", WavFormat{1, 8000, 8, 1, 3600}, 0,
                   Lines(1, 8000, 8, "3,600", "60'00\"00"),
                   "Error: Wave - File Read error(0 bytes).Sound stopped.\n"},
        ReportCase{"NegativeTimeAndSize", WavFormat{1, 8000, 8, 100, -150}, 0,
                   Lines(1, 8000, 8, "-150", "0'-1\"-50"), ""},
        ReportCase{"LargestSize", WavFormat{1, 8000, 8, 0, INT32_MAX}, 300,
                   Lines(1, 8000, 8, "2,147,483,647", "0'00\"00"),
                   "Error: Wave - File Read error(256 bytes).Sound stopped.\n"},
        ReportCase{"CoarseTimeWraps", WavFormat{1, 8000, 8, 1, INT32_MAX}, 0,
                   Lines(1, 8000, 8, "2,147,483,647", "0'-1\"00"),
                   "Error: Wave - File Read error(0 bytes).Sound stopped.\n"}),
    ByName());

// --- Files in order, bad ones skipped ---------------------------------------


// Names are kept whole up to PATH_MAX - 1 characters; longer ones are
// refused before the banner and skipped.
TEST(PlayerFiles, LongNamesAreKeptWholeOrRefused) {
  PlainFileHome home;
  std::string path = home.dir.path;
  while (PATH_MAX - 2 - path.size() > 250) {
    path += "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  path += "/" + std::string(PATH_MAX - 1 - path.size() - 1, 'f');
  ASSERT_EQ(path.size(), static_cast<size_t>(PATH_MAX - 1));
  WriteFile(path, MakeWav(WavFormat(), "sound"));
  std::string tooLong = path + "x";
  RunResult r = vdltest::Run({VDLPLAY, tooLong, path}, {home.Env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Error: Wave - File name too long (" + tooLong.substr(0, 64) + "...).\n" +
                       kBanner);
  EXPECT_EQ(r.out, Report(path, Lines(1, 8000, 8, "5", "0'00\"00")));
  EXPECT_EQ(ReadFile(home.dev), "sound");
}

// --- Device open --------------------------------------------------------------

struct OpenCase {
  const char *name;
  std::string rc;      // .vdlrc content; "<dev>" stands for a missing path
  std::string opened;  // the path in the message
};
class PlayerDeviceOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(PlayerDeviceOpen, FailureEndsTheRunBeforeAnyFile) {
  const OpenCase &c = GetParam();
  TempDir dir;
  std::string rc = c.rc, opened = c.opened;
  for (std::string *s : {&rc, &opened})
    if (size_t at = s->find("<dev>"); at != std::string::npos)
      s->replace(at, 5, dir / "nodev");
  WriteFile(dir / ".vdlrc", rc);
  RunResult r = vdltest::Run({VDLPLAY, "missing.wav"}, {"HOME=" + dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kBanner + "open " + opened + ": No such file or directory\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir / ".vdlrc"), rc) << "a found entry is never rewritten";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerDeviceOpen,
    ::testing::Values(OpenCase{"Missing", "[Audio]\nDSP=<dev>\n", "<dev>"},
                      OpenCase{"Empty", "[Audio]\nDSP=\n", ""},
                      OpenCase{"Blank", "[Audio]\nDSP=   \n", ""},
                      OpenCase{"OtherGroupsKept", "[Video]\nX=1\n[Audio]\nDSP=<dev>\n",
                               "<dev>"}),
    ByName());

// --- Through the virtual device ------------------------------------------

struct FormatCase {
  const char *name;
  int16_t channels;
  int32_t rate;
  int16_t bits;
  size_t bytes;
};
class PlayerThroughDevice : public ::testing::TestWithParam<FormatCase> {};

TEST_P(PlayerThroughDevice, ConfiguresTheDeviceThenWritesBlocksThenSyncs) {
  const FormatCase &c = GetParam();
  DeviceHome home;
  std::string data = Pattern(c.bytes);
  WriteFile(home.dir / "in.wav", MakeWav(WavFormat{c.channels, c.rate, c.bits}, data));
  RunResult r = home.Run({"--fast"}, {VDLPLAY, home.dir / "in.wav"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kBanner);
  EXPECT_EQ(Events(home.trace),
            Session(home.dev, {FileEvents(c.channels, c.rate, c.bits, c.bytes)}));
  EXPECT_TRUE(ReadFile(home.out) == data);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PlayerThroughDevice,
    ::testing::Values(FormatCase{"Mono8", 1, 8000, 8, 600},
                      FormatCase{"Stereo8", 2, 11025, 8, 512},
                      FormatCase{"Mono16", 1, 22050, 16, 1000},
                      FormatCase{"Stereo16", 2, 44100, 16, 4097},
                      FormatCase{"OneByte", 2, 44100, 16, 1},
                      FormatCase{"NoData", 1, 8000, 8, 0},
                      FormatCase{"BitsPassedUnchanged", 4, 48000, 24, 300}),
    ByName());

TEST(PlayerThroughDevice, BadFilesAreSkippedAndTheRestPlaysInOrder) {
  DeviceHome home;
  std::string one = Pattern(600, 1), two = Pattern(300, 2), three = Pattern(600, 3);
  WriteFile(home.dir / "one.wav", MakeWav(WavFormat{1, 8000, 8}, one));
  WriteFile(home.dir / "bad.wav", WavHeader(WavFormat{1, 8000, 8}, 0).replace(16, 1, "\x12"));
  WriteFile(home.dir / "short.wav", WavHeader(WavFormat{2, 22050, 16, -1, 1000}, 0) + three);
  WriteFile(home.dir / "two.wav", MakeWav(WavFormat{2, 44100, 16}, two));
  RunResult r = home.Run({"--fast"}, {VDLPLAY, home.dir / "one.wav", home.dir / "missing.wav",
                                      home.dir / "bad.wav", home.dir / "short.wav",
                                      home.dir / "two.wav"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Events(home.trace),
            Session(home.dev, {FileEvents(1, 8000, 8, 600), FileEvents(2, 22050, 16, 512),
                           FileEvents(2, 44100, 16, 300)}));
  EXPECT_TRUE(ReadFile(home.out) == one + three.substr(0, 512) + two);
  EXPECT_EQ(r.err, kBanner + "Error: Wave - Can't open file (" + home.dir / "missing.wav" +
                       ").\nError: Wave - This file is not Linear PCM Wave Format file(" +
                       home.dir / "bad.wav" +
                       ").\nError: Wave - File Read error(512 bytes).Sound stopped.\n");
  EXPECT_EQ(r.out, Report(home.dir / "one.wav", Lines(1, 8000, 8, "600", "0'00\"07")) +
                       Report(home.dir / "short.wav", Lines(2, 22050, 16, "1,000", "0'00\"01")) +
                       Report(home.dir / "two.wav", Lines(2, 44100, 16, "300", "0'00\"00")));
}

// Where the device path comes from: the RC file, created on first use, or
// "/dev/dsp" without HOME.
TEST(PlayerRcFile, FirstUseCreatesItWithTheDefaultDevice) {
  TempDir dir;
  WriteFile(dir / "a.wav", MakeWav(WavFormat(), "A"));
  std::string rc = dir / ".vdlrc";
  std::vector<std::string> argv = {VDSP, "--fast", "-t", dir / "trace", "--", VDLPLAY,
                                   dir / "a.wav"};
  RunResult first = vdltest::Run(argv, {"HOME=" + dir.path});
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.err, kBanner + "Error: Can't open rc file (" + rc + ")\n" +
                           "Warring: Can't open rc file (" + rc + "). Create it.\n");
  EXPECT_EQ(ReadFile(rc), "[Audio]\nDSP=/dev/dsp\n");
  EXPECT_EQ(Events(dir / "trace")[0], "open /dev/dsp flags=O_WRONLY");
  RunResult second = vdltest::Run(argv, {"HOME=" + dir.path});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.err, kBanner);
  EXPECT_EQ(ReadFile(rc), "[Audio]\nDSP=/dev/dsp\n");
  EXPECT_EQ(Events(dir / "trace")[0], "open /dev/dsp flags=O_WRONLY");
}

struct HomeCase {
  const char *name;
  std::string home;  // the environment entry: "HOME" unsets it
  std::string err;   // after the banner
};
class PlayerNoRcFile : public ::testing::TestWithParam<HomeCase> {};

TEST_P(PlayerNoRcFile, OpensTheDefaultDevice) {
  const HomeCase &c = GetParam();
  TempDir dir;
  WriteFile(dir / "a.wav", MakeWav(WavFormat(), "A"));
  // An empty HOME once put the file at the root of the file system.
  const char kRootRc[] = "/.vdlrc";
  bool rootRcBefore = access(kRootRc, F_OK) == 0;
  RunResult r = vdltest::Run(
      {VDSP, "--fast", "-t", dir / "trace", "--", VDLPLAY, dir / "a.wav"}, {c.home});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kBanner + c.err);
  EXPECT_EQ(Events(dir / "trace"),
            Session("/dev/dsp", {FileEvents(1, 8000, 8, 1)}));
  if (!rootRcBefore) {
    EXPECT_NE(access(kRootRc, F_OK), 0) << "created " << kRootRc;
    unlink(kRootRc);
  }
}

const std::string kLongHome = "/" + std::string(PATH_MAX, 'h');

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerNoRcFile,
    ::testing::Values(HomeCase{"Unset", "HOME", ""}, HomeCase{"Empty", "HOME=", ""},
                      HomeCase{"TooLong", "HOME=" + kLongHome,
                               "Error: Wave - Home directory name too long (" +
                                   kLongHome.substr(0, 64) + "...).\n"}),
    ByName());

// --- SIGINT and SIGTERM during playback -------------------------------------

class PlayerSignal : public ::testing::TestWithParam<std::vector<int>> {};

// A 1 MiB device queue filled with ten seconds of sound: a drain would
// take six seconds, a reset ends the run at once.
TEST_P(PlayerSignal, SilencesTheDeviceAndExitsWithStatus1) {
  constexpr int kQueue = 1 << 20;
  DeviceHome home;
  std::string data = Pattern(1764000);
  WriteFile(home.dir / "in.wav", MakeWav(WavFormat{2, 44100, 16}, data));
  std::string out = home.dir / "stdout", err = home.dir / "stderr";
  pid_t pid = Spawn(home.Argv({"-q", std::to_string(kQueue)}, {VDLPLAY, home.dir / "in.wav"}),
                    {home.Env()}, out, err);
  ASSERT_GT(pid, 0);
  // Wait until the queue is full and a write blocks.
  auto writes = [&] {
    std::vector<std::string> e = Events(home.trace);
    return std::count(e.begin(), e.end(), "write asked=256");
  };
  for (double end = Now() + 20; writes() < kQueue / 256 && Now() < end;) usleep(5000);
  ASSERT_GE(writes(), kQueue / 256);
  double sent = Now();
  for (int sig : GetParam()) kill(pid, sig);
  int status = Wait(pid, 20);
  double took = Now() - sent;
  EXPECT_EQ(status, 1);
  EXPECT_LT(took, 2.0) << "queued sound must be dropped, not drained";
  EXPECT_EQ(ReadFile(err), kBanner + "Terminated...\n");
  EXPECT_EQ(ReadFile(out),
            Report(home.dir / "in.wav", Lines(2, 44100, 16, "1,764,000", "0'10\"00")));
  std::vector<std::string> events = Events(home.trace);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "ioctl SNDCTL_DSP_RESET");
  EXPECT_EQ(events.back(), "close");
  std::vector<TraceEvent> trace = ReadTrace(home.trace);
  EXPECT_GT(trace[trace.size() - 2].Int("dropped"), kQueue / 2) << "the queue was dropped";
  EXPECT_LT(ReadFile(home.out).size(), data.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(Signals, PlayerSignal,
                         ::testing::Values(std::vector<int>{SIGINT},
                                           std::vector<int>{SIGTERM},
                                           std::vector<int>{SIGINT, SIGTERM}),
                         [](const auto &info) {
                           std::string name;
                           for (int sig : info.param) name += sig == SIGINT ? "Int" : "Term";
                           return name;
                         });

// --- Exit statuses and signals around the device ---------------------------

// A run of the player in a scenario of its own, and what it must end with.
struct StatusCase {
  const char *name;
  RunResult (*run)();
  int status;
  std::string err;  // after the banner
};
class PlayerStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(PlayerStatus, EndsWithTheStatusAndMessagesOfItsCause) {
  const StatusCase &c = GetParam();
  RunResult r = c.run();
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.err, kBanner + c.err);
}

const std::string kRefused = "write /dev/dsp: No space left on device\n";

// Each file is still tried after a refused write.
RunResult DeviceRefusesWrites() {
  DeviceHome home("/dev/full");
  WriteFile(home.dir / "a.wav", MakeWav(WavFormat(), Pattern(10)));
  return vdltest::Run({VDLPLAY, home.dir / "a.wav", home.dir / "a.wav"}, {home.Env()});
}

// A fault of the file, not of the device: the status stays 0.
RunResult FileEndsEarly() {
  PlainFileHome home;
  WavFormat format;
  format.dataSize = 1000;
  WriteFile(home.dir / "a.wav", MakeWav(format, Pattern(300)));
  return vdltest::Run({VDLPLAY, home.dir / "a.wav"}, {home.Env()});
}

// The device is a FIFO whose reader takes a little and goes away.
RunResult ReaderGoesAway() {
  DeviceHome home;
  EXPECT_EQ(mkfifo(home.dev.c_str(), 0600), 0);
  WriteFile(home.dir / "a.wav", MakeWav(WavFormat(), Pattern(300000)));
  std::thread reader([&] {
    int fd = open(home.dev.c_str(), O_RDONLY);
    char buf[1000];
    EXPECT_GT(read(fd, buf, sizeof buf), 0);
    close(fd);
  });
  RunResult r = vdltest::Run({VDLPLAY, home.dir / "a.wav"}, {home.Env()});
  reader.join();
  r.out = "";
  return r;
}

// The player playing one second of sound through the virtual device at
// its pace, started by a shell with sig ignored, gets sig once the first
// block is written.
RunResult IgnoredAtStart(int sig) {
  DeviceHome home;
  WriteFile(home.dir / "a.wav", MakeWav(WavFormat(), Pattern(8000)));
  std::vector<std::string> argv = {"/bin/sh", "-c",
                                   "trap '' " + std::to_string(sig) + "; exec \"$@\"", "sh"};
  for (const std::string &a : home.Argv({}, {VDLPLAY, home.dir / "a.wav"})) argv.push_back(a);
  pid_t pid = Spawn(argv, {home.Env()}, "/dev/null", home.dir / "err");
  for (double end = Now() + 20; ReadFile(home.trace).find(" write ") == std::string::npos &&
                                Now() < end;)
    usleep(5000);
  kill(pid, sig);
  RunResult r;
  r.status = Wait(pid);
  r.err = ReadFile(home.dir / "err");
  EXPECT_EQ(ReadFile(home.out).size(), 8000u) << "played to the end";
  return r;
}
RunResult IntIgnoredAtStart() { return IgnoredAtStart(SIGINT); }
RunResult TermIgnoredAtStart() { return IgnoredAtStart(SIGTERM); }

// The device is a FIFO without a reader, so the player waits in its open,
// before its handlers are in place, and there gets sig.
RunResult BeforeTheDeviceOpens(int sig) {
  DeviceHome home;
  EXPECT_EQ(mkfifo(home.dev.c_str(), 0600), 0);
  WriteFile(home.dir / "a.wav", MakeWav(WavFormat(), Pattern(10)));
  pid_t pid = Spawn({VDLPLAY, home.dir / "a.wav"}, {home.Env()}, "/dev/null", home.dir / "err");
  for (double end = Now() + 20; ReadFile(home.dir / "err").empty() && Now() < end;) usleep(5000);
  usleep(300 * 1000);  // from the banner into the open
  kill(pid, sig);
  RunResult r;
  r.status = Wait(pid);
  r.err = ReadFile(home.dir / "err");
  return r;
}
RunResult IntBeforeTheDeviceOpens() { return BeforeTheDeviceOpens(SIGINT); }
RunResult TermBeforeTheDeviceOpens() { return BeforeTheDeviceOpens(SIGTERM); }

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerStatus,
    ::testing::Values(
        StatusCase{"DeviceRefusesWrites", DeviceRefusesWrites, 1, kRefused + kRefused},
        StatusCase{"FileEndsEarly", FileEndsEarly, 0,
                   "Error: Wave - File Read error(256 bytes).Sound stopped.\n"},
        StatusCase{"ReaderGoesAway", ReaderGoesAway, 1, "write /dev/dsp: Broken pipe\n"},
        StatusCase{"IntIgnoredAtStart", IntIgnoredAtStart, 0, ""},
        StatusCase{"TermIgnoredAtStart", TermIgnoredAtStart, 0, ""},
        // The signal's own action: no message, the shell's 128 + n.
        StatusCase{"IntBeforeTheDeviceOpens", IntBeforeTheDeviceOpens, 128 + SIGINT, ""},
        StatusCase{"TermBeforeTheDeviceOpens", TermBeforeTheDeviceOpens, 128 + SIGTERM, ""}),
    ByName());

}  // namespace
