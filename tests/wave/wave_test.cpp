// The wave module in process: header reading, blocking playback onto a
// plain file standing in for the device, and the internal signal-safe
// helpers.
// Device requests and signals are covered through vdsp in player_test.
#include "vdl/wave.h"

#include "testutil.h"
#include "safe_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

VDL_PRINT_ROWS_BY_NAME

struct Values {
  int32_t time, stereo, channels, freq, bits, size;
};
constexpr Values kUntouched = {-7, -7, -7, -7, -7, -7};

// Opens the device at path as a user would: named in $HOME/.vdlrc, with
// HOME set to dir for the call.
int32_t OpenDevice(const TempDir &dir, const std::string &path) {
  WriteFile(dir / ".vdlrc", "[Audio]\nDSP=" + path + "\n");
  const char *home = getenv("HOME");
  std::string saved = home ? home : "";
  setenv("HOME", dir.path.c_str(), 1);
  int32_t fd = vdlOpenDevice_WaveDSP();
  if (home) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  return fd;
}

FILE *Open(const std::string &path, Values &v) {
  return vdlOpenFile_WaveDSP(path.c_str(), &v.time, &v.stereo, &v.channels, &v.freq, &v.bits,
                             &v.size);
}

struct HeaderCase {
  const char *name;
  std::optional<std::string> bytes;  // nullopt: no file
  bool accepted;
  Values want;  // kUntouched when rejected
};

std::string Patched(std::string header, std::size_t at, const std::string &bytes) {
  return header.replace(at, bytes.size(), bytes);
}

std::string Patched(const WavFormat &format, std::size_t at, const std::string &bytes) {
  return Patched(WavHeader(format, 0), at, bytes);
}

class WaveHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(WaveHeader, AcceptsOnlyTheCanonicalLayoutAndDerivesTheValues) {
  const HeaderCase &c = GetParam();
  TempDir dir;
  std::string path = dir / "in.wav";
  if (c.bytes) WriteFile(path, *c.bytes);
  Values v = kUntouched;
  FILE *fp = nullptr;
  std::string err = CaptureStderr([&] { fp = Open(path, v); });
  EXPECT_EQ(fp != nullptr, c.accepted);
  if (fp) {
    EXPECT_EQ(ftell(fp), 44);
    fclose(fp);
    EXPECT_EQ(err, "");
  } else {
    EXPECT_EQ(err, (c.bytes ? "Error: Wave - This file is not Linear PCM Wave Format file("
                            : "Error: Wave - Can't open file (") + path + ").\n");
  }
  EXPECT_EQ(v.time, c.want.time);
  EXPECT_EQ(v.stereo, c.want.stereo);
  EXPECT_EQ(v.channels, c.want.channels);
  EXPECT_EQ(v.freq, c.want.freq);
  EXPECT_EQ(v.bits, c.want.bits);
  EXPECT_EQ(v.size, c.want.size);
}

const WavFormat kCd = {2, 44100, 16, -1, 1764000};
const WavFormat kTiny = {1, 8000, 8, -1, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, WaveHeader,
    ::testing::Values(
        HeaderCase{"CdQuality", WavHeader(kCd, 0), true,
                   {1000, 1, 2, 44100, 16, 1764000}},
        HeaderCase{"Mono8", WavHeader({1, 8000, 8, -1, 600}, 0), true,
                   {7, 0, 1, 8000, 8, 600}},
        HeaderCase{"FormatTagIgnored", Patched(kTiny, 20, "\x03\x00"), true,
                   {0, 0, 1, 8000, 8, 0}},
        HeaderCase{"ByteRateZero", WavHeader({1, 8000, 8, 0, 600}, 0), true,
                   {0, 0, 1, 8000, 8, 600}},
        HeaderCase{"ByteRateNegative", WavHeader({1, 8000, 8, -5, 600}, 0),
                   true, {0, 0, 1, 8000, 8, 600}},
        HeaderCase{"ByteRate150", WavHeader({1, 8000, 8, 150, 300}, 0), true,
                   {300, 0, 1, 8000, 8, 300}},
        HeaderCase{"ByteRate50", WavHeader({1, 8000, 8, 50, 125}, 0), true,
                   {200, 0, 1, 8000, 8, 125}},
        // (2147483647 / 1) * 100 wraps modulo 2^32 to -100.
        HeaderCase{"CoarseTimeWraps",
                   WavHeader({1, 8000, 8, 1, INT32_MAX}, 0), true,
                   {-100, 0, 1, 8000, 8, INT32_MAX}},
        HeaderCase{"HugeSizeReadsNegative",
                   WavHeader({2, 44100, 16, -1, INT32_MIN}, 0), true,
                   {-1217394, 1, 2, 44100, 16, INT32_MIN}},
        HeaderCase{"ChannelsZero", Patched(kTiny, 22, std::string("\0\0", 2)), true,
                   {0, -1, 0, 8000, 8, 0}},
        HeaderCase{"FieldsSignExtended", Patched(Patched(kTiny, 22, "\xff\xff"), 34,
                                                 "\xf0\xff"),
                   true, {0, -2, -1, 8000, -16, 0}},
        HeaderCase{"ShortFile", WavHeader(kTiny, 0).substr(0, 43), false,
                   kUntouched},
        HeaderCase{"NotRiff", Patched(kTiny, 0, "RIFX"), false, kUntouched},
        HeaderCase{"NotWave", Patched(kTiny, 8, "WAVX"), false, kUntouched},
        HeaderCase{"NotFmt", Patched(kTiny, 12, "fmt_"), false, kUntouched},
        HeaderCase{"FmtChunkOf18", Patched(kTiny, 16, Le32(18)), false, kUntouched},
        HeaderCase{"ChunkBeforeData", Patched(kTiny, 36, "LIST"), false, kUntouched},
        HeaderCase{"Empty", "", false, kUntouched},
        HeaderCase{"MissingFile", std::nullopt, false, kUntouched}),
    ByName());

// Blocking playback onto a plain file: the requests fail harmlessly (not a
// device) and the file receives exactly the bytes written.
struct PlayCase {
  const char *name;
  int32_t dataSize;   // header's data size
  size_t fileData;    // bytes of data the file really holds
  int32_t result;
  size_t written;
  const char *err;    // expected stderr
};
class WavePlay : public ::testing::TestWithParam<PlayCase> {};

TEST_P(WavePlay, WritesTheDataSizeOrReportsTheShortFile) {
  const PlayCase &c = GetParam();
  TempDir dir;
  std::string data = Pattern(c.fileData);
  WriteFile(dir / "in.wav", WavHeader({1, 8000, 8, -1, c.dataSize}, 0) + data);
  WriteFile(dir / "dev", "");
  ASSERT_GE(OpenDevice(dir, dir / "dev"), 0);
  Values v;
  FILE *fp = Open(dir / "in.wav", v);
  ASSERT_NE(fp, nullptr);
  fseek(fp, 0, SEEK_END);  // playback seeks back to the data itself
  int32_t result = -1;
  std::string err = CaptureStderr([&] {
    result = vdlPlay_WaveDSP(fp, v.time, v.stereo, v.channels, v.freq, v.bits, v.size);
  });
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(err, c.err);
  EXPECT_EQ(ReadFile(dir / "dev"), data.substr(0, c.written));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WavePlay,
    ::testing::Values(
        PlayCase{"LastBlockPartial", 600, 600, 1, 600, ""},
        PlayCase{"WholeBlocks", 512, 512, 1, 512, ""},
        PlayCase{"TrailingBytesNotPlayed", 300, 700, 1, 300, ""},
        PlayCase{"SizeZero", 0, 100, 1, 0, ""},
        PlayCase{"SizeNegative", INT32_MIN, 100, 1, 0, ""},
        PlayCase{"FileEndsInLastBlock", 600, 599, 0, 512,
                 "Error: Wave - File Read error(512 bytes).Sound stopped.\n"},
        PlayCase{"FileEndsInFirstBlock", 600, 100, 0, 0,
                 "Error: Wave - File Read error(0 bytes).Sound stopped.\n"},
        // Near 2^31 - 1 the position must not overflow: the file ends and
        // the read error reports the bytes written.
        PlayCase{"SizeNearInt32Max", INT32_MAX, 1000, 0, 768,
                 "Error: Wave - File Read error(768 bytes).Sound stopped.\n"}),
    ByName());

TEST(WavePlay, NullStreamDoesNothing) {
  std::string err = CaptureStderr(
      [] { EXPECT_EQ(vdlPlay_WaveDSP(nullptr, 0, 0, 1, 8000, 8, 600), 0); });
  EXPECT_EQ(err, "");
}

// A closed device refuses every write: the module holds no descriptor.
TEST(WavePlay, RefusedWriteIsReportedLikePerror) {
  TempDir dir;
  WriteFile(dir / "in.wav", MakeWav(WavFormat(), Pattern(600)));
  ASSERT_GE(OpenDevice(dir, "/dev/null"), 0);
  vdlCloseDevice_WaveDSP();
  FILE *fp = fopen((dir / "in.wav").c_str(), "rb");
  int32_t result = -1;
  std::string err =
      CaptureStderr([&] { result = vdlPlay_WaveDSP(fp, 0, 0, 1, 8000, 8, 600); });
  fclose(fp);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(err, "write /dev/dsp: Bad file descriptor\n");
}

class WaveWriteError : public ::testing::TestWithParam<int> {};

TEST_P(WaveWriteError, SignalSafeTextMatchesPerror) {
  int err = GetParam();
  std::string want = CaptureStderr([&] {
    errno = err;
    perror("write /dev/dsp");
  });
  EXPECT_EQ(CaptureStderr([&] { vdlwave::PrintWriteError(err); }), want);
}

INSTANTIATE_TEST_SUITE_P(Errnos, WaveWriteError,
                         ::testing::Values(EBADF, EINTR, ENOSPC, EIO, 0, 4242, -3));

TEST(WaveFormatDecimal, MatchesPrintf) {
  for (int32_t v : {0, 7, -1, 600, -2560, INT32_MAX, INT32_MIN}) {
    char buf[12], want[12];
    snprintf(want, sizeof want, "%d", v);
    EXPECT_STREQ(vdlwave::FormatDecimal(v, buf), want);
  }
}

void Ignore(int) {}

// A reader that drains slowly while a 1 ms timer (no SA_RESTART)
// interrupts the writer: writes end early with partial counts or EINTR,
// and the whole block must still arrive once, in order.
TEST(WaveWriteBlock, CompletesInterruptedAndShortWrites) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data = Pattern(1 << 20);
  std::string got;
  sigset_t alarm, old;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &old);
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
      got.append(buf, static_cast<size_t>(n));
      if (got.size() % (64 << 10) < sizeof buf) usleep(2000);
    }
  });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  struct sigaction sa = {}, saved;
  sa.sa_handler = Ignore;
  sigaction(SIGALRM, &sa, &saved);
  struct itimerval tick = {{0, 1000}, {0, 1000}}, off = {};
  setitimer(ITIMER_REAL, &tick, nullptr);
  int ok = vdlwave::WriteBlock(fds[1], data.data(), data.size());
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &saved, nullptr);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(ok, 1);
  EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size();
}

}  // namespace
