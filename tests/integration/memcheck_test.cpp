// vdlplay under valgrind's memcheck over malformed, truncated and
// unopenable files and the other ways a run ends: no memory error and no
// leak on any path.  The device is /dev/null, which takes every write and
// refuses every request, as a driver that ignores them would.
#include "tools.h"
#include "vdsp_rig.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

// Distinct from the player's own statuses 0 and 1.
constexpr int kValgrindError = 99;
const char kRejected[] = "This file is not Linear PCM Wave Format file";
const char kCantOpen[] = "Can't open file";
const char kReadError[] = "File Read error";

std::string Good() { return MakeWav(WavFormat{}, Pattern(600)); }

// Writes a file into dir and gives its path as an argument.
std::string Put(const TempDir &dir, const std::string &name, const std::string &bytes) {
  WriteFile(dir / name, bytes);
  return dir / name;
}

std::string WithFormat(WavFormat format, std::size_t dataBytes = 600) {
  return MakeWav(format, Pattern(dataBytes));
}

using Args = std::vector<std::string>;

Args TruncatedHeaders(const TempDir &dir) {
  Args args;
  const std::string wav = Good();
  for (std::size_t n = 0; n < 44; ++n)
    args.push_back(Put(dir, "cut" + std::to_string(n) + ".wav", wav.substr(0, n)));
  return args;
}

Args WrongMagic(const TempDir &dir) {
  Args args;
  const std::pair<std::size_t, const char *> swaps[] = {
      {0, "RIFX"}, {8, "AVI "}, {12, "fmt_"}, {36, "LIST"}, {0, "\0\0\0\0"}};
  int i = 0;
  for (const auto &[offset, magic] : swaps) {
    std::string wav = Good();
    wav.replace(offset, 4, magic, 4);
    args.push_back(Put(dir, "magic" + std::to_string(i++) + ".wav", wav));
  }
  return args;
}

Args FormatChunkOf18(const TempDir &dir) {
  std::string labelled = WithFormat({1, 8000, 8, -1, -1, 18});
  // The same with the two extra bytes really there, as some writers do.
  std::string real = labelled;
  real.insert(36, 2, '\0');
  return {Put(dir, "fmt18.wav", labelled), Put(dir, "fmt18real.wav", real)};
}

Args DataBeyondTheFile(const TempDir &dir) {
  return {Put(dir, "longer.wav", WithFormat({1, 8000, 8, -1, 100000})),
          Put(dir, "largest.wav", WithFormat({1, 8000, 8, -1, INT32_MAX}, 300))};
}

Args OddFields(const TempDir &dir) {
  Args args;
  auto add = [&](const std::string &name, int value, WavFormat format) {
    args.push_back(Put(dir, name + std::to_string(value) + ".wav", WithFormat(format)));
  };
  for (int32_t size : {INT32_MIN, -1, 0}) add("size", size, {1, 8000, 8, 150, size});
  for (int32_t rate : {INT32_MIN, -1, 0, 1, 99})
    add("byterate", rate, {1, 8000, 8, rate, INT32_MAX});
  for (int16_t channels : {0, -1, INT16_MAX}) add("channels", channels, {channels, 8000, 8, 8000});
  for (int16_t bits : {0, 24, -8}) add("bits", bits, {1, 8000, bits, 8000});
  add("rate", -1, {1, -1, 8, -1, -1, 16, 3});  // format tag 3 too
  return args;
}

Args NotWavFiles(const TempDir &dir) {
  mkdir((dir / "a directory").c_str(), 0700);
  return {dir / "a directory", dir / "missing.wav",
          dir / std::string(NAME_MAX + 1, 'n'),     // too long for the file system
          dir / std::string(PATH_MAX, 'p'),         // too long for the player
          "-x"};
}

Args HundredAndOne(const TempDir &dir) {
  Args args(101, Put(dir, "good.wav", Good()));
  args.push_back("-h");  // ignored after the warning
  return args;
}

Args None(const TempDir &) { return {}; }
Args Help(const TempDir &dir) { return {Put(dir, "good.wav", Good()), "-h"}; }
Args OneGood(const TempDir &dir) { return {Put(dir, "good.wav", Good())}; }

struct Case {
  const char *name;
  Args (*make)(const TempDir &dir);
  std::vector<std::pair<const char *, int>> messages;  // text on stderr, times
  int status;
  const char *device;
};

std::vector<std::string> UnderValgrind(const std::string &valgrind, const std::string &log,
                                       const std::string &program = VDL_PLAYER) {
  return {valgrind, "--quiet", "--error-exitcode=" + std::to_string(kValgrindError),
          "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
          "--errors-for-leak-kinds=definite,indirect,possible", "--log-file=" + log,
          program};
}

class Memcheck : public ::testing::TestWithParam<Case> {};

TEST_P(Memcheck, RunEndsWithoutMemoryErrorsOrLeaks) {
  const std::string valgrind = FindOnPath("valgrind");
  VDL_NEED(!valgrind.empty(), "valgrind");
  const Case &c = GetParam();
  DeviceHome home(c.device);
  const std::string log = home.dir / "valgrind.log";
  std::vector<std::string> argv = UnderValgrind(valgrind, log);
  for (const std::string &a : c.make(home.dir)) argv.push_back(a);

  RunResult r = vdltest::Run(argv, {home.Env()}, 120);
  const std::string report = ReadFile(log);
  EXPECT_EQ(r.status, c.status) << report << r.err;
  EXPECT_EQ(report, "") << "valgrind found faults";
  for (const auto &[text, times] : c.messages) EXPECT_EQ(Count(r.err, text), times) << text;
}

INSTANTIATE_TEST_SUITE_P(Files, Memcheck, ::testing::Values(
    Case{"TruncatedHeaders", TruncatedHeaders, {{kRejected, 44}}, 0, "/dev/null"},
    Case{"WrongMagic", WrongMagic, {{kRejected, 5}}, 0, "/dev/null"},
    Case{"FormatChunkOf18", FormatChunkOf18, {{kRejected, 2}}, 0, "/dev/null"},
    Case{"DataBeyondTheFile", DataBeyondTheFile, {{kReadError, 2}}, 0, "/dev/null"},
    Case{"OddFields", OddFields, {{kReadError, 5}, {kRejected, 0}}, 0, "/dev/null"},
    Case{"NotWavFiles", NotWavFiles,
         {{kRejected, 1}, {kCantOpen, 3}, {"File name too long", 1}}, 0, "/dev/null"},
    Case{"HundredAndOneNames", HundredAndOne, {{"Warring: Too many file", 1}}, 0,
         "/dev/null"},
    Case{"NoName", None, {{"Usage:", 1}}, 1, "/dev/null"},
    Case{"Help", Help, {{"Usage:", 1}}, 0, "/dev/null"},
    Case{"DeviceMissing", OneGood, {{"open /nonexistent/dsp", 1}}, 1, "/nonexistent/dsp"}),
    ByName());

// Ctrl-C while the virtual device plays: the run ends in the signal
// handler, and that path must leave nothing behind either.
TEST(MemcheckInterrupted, SigintDuringPlaybackEndsWithoutErrorsOrLeaks) {
  const std::string valgrind = FindOnPath("valgrind");
  VDL_NEED(!valgrind.empty(), "valgrind");
  DeviceHome home("/dev/dsp");
  const std::string tone = Put(home.dir, "long.wav", MakeWav(WavFormat{}, Pattern(20 * 8000)));
  const std::string log = home.dir / "valgrind.log", err = home.dir / "err";
  std::vector<std::string> command = UnderValgrind(valgrind, log);
  command.push_back(tone);
  pid_t pid = Spawn(home.Argv({}, command), {home.Env()}, "/dev/null", err);
  ASSERT_GT(pid, 0);
  // The first block reaching the device shows in the trace: playback is on.
  for (int i = 0; i < 3000 && ReadFile(home.trace).find(" write ") == std::string::npos; ++i)
    usleep(20 * 1000);
  kill(pid, SIGINT);
  int status = Wait(pid, 120);

  const std::string report = ReadFile(log);
  EXPECT_EQ(status, 1) << report << ReadFile(err);
  EXPECT_EQ(report, "") << "valgrind found faults";
  EXPECT_EQ(Count(ReadFile(err), "Terminated...\n"), 1) << ReadFile(err);
}

// Background playback around the caller's own closes: a read of the
// stream inside the C library, which ASan cannot see, shows here.
struct Background {
  const char *name;
  std::size_t fileBytes;  // of 600 data bytes
  std::vector<std::string> words;
};

class MemcheckBackground : public ::testing::TestWithParam<Background> {};

TEST_P(MemcheckBackground, NoSignalTouchesAStreamOrDeviceLetGo) {
  const std::string valgrind = FindOnPath("valgrind");
  VDL_NEED(!valgrind.empty(), "valgrind");
  const Background &c = GetParam();
  DeviceHome home;
  std::string wav = MakeWav(WavFormat{}, Pattern(600));
  const std::string file = Put(home.dir, "sound.wav", wav.substr(0, 44 + c.fileBytes));
  const std::string log = home.dir / "valgrind.log";
  std::vector<std::string> command = UnderValgrind(valgrind, log, BGM_DRIVER_PATH);
  command.push_back(file);
  command.insert(command.end(), c.words.begin(), c.words.end());
  RunResult r = vdltest::Run(home.Argv({"--fast"}, command), {home.Env()}, 120);
  EXPECT_EQ(r.status, 0) << ReadFile(log) << r.err;
  EXPECT_EQ(ReadFile(log), "") << "valgrind found faults";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemcheckBackground,
    ::testing::Values(
        Background{"StreamClosedAfterEnd", 600,
                   {"play", "out", "end", "fclose", "start", "alarm", "flag"}},
        Background{"FileEndsEarlyThenClosed", 300,
                   {"play", "out", "fclose", "start", "alarm", "end"}},
        Background{"DeviceClosedWhilePlaying", 600,
                   {"play", "close-device", "alarm", "end"}}),
    ByName());

}  // namespace
