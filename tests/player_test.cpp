// vdlplay end to end: banner, usage, report and messages byte for byte,
// exit statuses, and the file order.  Here a plain file stands in for the
// device (its requests fail harmlessly); player_device_test.cpp plays
// through the virtual device.
#include "convunit.h"
#include "testutil.h"

#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace vdltest;

namespace {

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

std::string Le32(int32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(static_cast<uint32_t>(v) >> (8 * i)));
  return s;
}

// A HOME whose .vdlrc names dev as the device: by default an empty plain
// file, which then holds exactly the bytes played.
struct Home {
  explicit Home(const std::string &device = "") : dev(device.empty() ? dir / "dev" : device) {
    if (device.empty()) WriteFile(dev, "");
    WriteFile(dir / ".vdlrc", "[Audio]\nDSP=" + dev + "\n");
  }
  TempDir dir;
  std::string dev;
  std::string env() const { return "HOME=" + dir.path; }
};

// --- ConvUnitString ---------------------------------------------------

struct Conv {
  int32_t value;
  uint32_t size;
  const char *text;  // "" when it does not fit
};

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
  Home home;
  std::vector<std::string> argv = {VDLPLAY};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  RunResult r = vdltest::Run(argv, {home.env()});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, kBanner + c.err);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(home.dev), "") << "nothing may be played";
}

const std::string kVdlplayUsage = Usage("vdlplay");

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerUsage,
    ::testing::Values(
        UsageCase{"NoFile", {}, 1, kVdlplayUsage},
        UsageCase{"Help", {"-help"}, 0, kVdlplayUsage},
        UsageCase{"H", {"-h"}, 0, kVdlplayUsage},
        UsageCase{"HelpAfterAFile", {"a.wav", "-h"}, 0, kVdlplayUsage},
        UsageCase{"DashWordIsAFile", {"-x"}, 0, "Error: Wave - Can't open file (-x).\n"},
        UsageCase{"DoubleDashHelpIsAFile",
                  {"--help"},
                  0,
                  "Error: Wave - Can't open file (--help).\n"}),
    [](const auto &info) { return std::string(info.param.name); });

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
  Home home;
  WriteFile(home.dir / "a.wav", MakeWav(WavSpec(), "A"));
  std::vector<std::string> argv = {VDLPLAY};
  for (int i = 0; i < 100; ++i) argv.push_back(home.dir / "a.wav");
  argv.push_back("-x");
  argv.push_back("-h");
  RunResult r = vdltest::Run(argv, {home.env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Warring: Too many file. Less than 100 files.\n" + kBanner);
  EXPECT_EQ(ReadFile(home.dev), std::string(100, 'A'));
}

TEST(PlayerUsage, HelpAsThe101stArgumentStillHelps) {
  Home home;
  std::vector<std::string> argv(101, "a.wav");
  argv[0] = VDLPLAY;
  argv.push_back("-h");
  RunResult r = vdltest::Run(argv, {home.env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, kBanner + kVdlplayUsage);
}

// --- Report ---------------------------------------------------------------

struct ReportCase {
  const char *name;
  WavSpec spec;
  size_t dataBytes;
  std::string report;  // the lines after "File name"
  std::string err;     // after the banner
};

WavSpec Spec(int16_t channels, int32_t rate, int16_t bits, int32_t byteRate,
             int32_t dataSize) {
  WavSpec s;
  s.channels = channels;
  s.rate = rate;
  s.bits = bits;
  s.byteRate = byteRate;
  s.dataSize = dataSize;
  return s;
}

class PlayerReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(PlayerReport, PrintsEveryLineExactly) {
  const ReportCase &c = GetParam();
  Home home;
  std::string path = home.dir / "in.wav";
  std::string header = WavHeader(c.spec, c.dataBytes);
  if (c.spec.dataSize < -1) header.replace(40, 4, Le32(c.spec.dataSize));
  WriteFile(path, header + Pattern(c.dataBytes));
  RunResult r = vdltest::Run({VDLPLAY, path}, {home.env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kSeparator + "File name    : " + path + "\n" + c.report);
  EXPECT_EQ(r.err, kBanner + c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlayerReport,
    ::testing::Values(
        ReportCase{"Mono8", Spec(1, 8000, 8, -1, -1), 600,
                   Lines(1, 8000, 8, "600", "0'00\"07"), ""},
        ReportCase{"Stereo16", Spec(2, 44100, 16, -1, -1), 176400,
                   Lines(2, 44100, 16, "176,400", "0'01\"00"), ""},
        ReportCase{"NoChannelsIsStereo", Spec(0, 8000, 8, 100, -1), 2469,
                   Lines(0, 8000, 8, "2,469", "0'24\"69"), ""},
        ReportCase{"FourChannelsIsStereo", Spec(4, 8000, 8, 200, -1), 24690,
                   Lines(4, 8000, 8, "24,690", "2'03\"45"), ""},
        ReportCase{"OneHourIs60Minutes", Spec(1, 8000, 8, 1, 3600), 0,
                   Lines(1, 8000, 8, "3,600", "60'00\"00"),
                   "Error: Wave - File Read error(0 bytes).Sound stopped.\n"},
        ReportCase{"NegativeTimeAndSize", Spec(1, 8000, 8, 100, -150), 0,
                   Lines(1, 8000, 8, "-150", "0'-1\"-50"), ""},
        ReportCase{"LargestSize", Spec(1, 8000, 8, 0, INT32_MAX), 300,
                   Lines(1, 8000, 8, "2,147,483,647", "0'00\"00"),
                   "Error: Wave - File Read error(256 bytes).Sound stopped.\n"},
        ReportCase{"CoarseTimeWraps", Spec(1, 8000, 8, 1, INT32_MAX), 0,
                   Lines(1, 8000, 8, "2,147,483,647", "0'-1\"00"),
                   "Error: Wave - File Read error(0 bytes).Sound stopped.\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// --- Files in order, bad ones skipped ---------------------------------------

TEST(PlayerFiles, BadFilesAreSkippedAndTheOthersPlayInOrder) {
  Home home;
  std::string one = Pattern(600, 1), two = Pattern(300, 2), three = Pattern(1000, 3);
  WriteFile(home.dir / "one.wav", MakeWav(Spec(1, 8000, 8, -1, -1), one));
  WriteFile(home.dir / "bad.wav", "RIFF....WAVEfmt \x12");
  WriteFile(home.dir / "short.wav", WavHeader(Spec(2, 8000, 8, -1, 1000), 0) + three.substr(0, 700));
  WriteFile(home.dir / "two.wav", MakeWav(Spec(2, 22050, 16, -1, -1), two));
  RunResult r = vdltest::Run({VDLPLAY, home.dir / "one.wav", home.dir / "missing.wav",
                     home.dir / "bad.wav", home.dir / "short.wav", home.dir / "two.wav"},
                    {home.env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(home.dev), one + three.substr(0, 512) + two);
  EXPECT_EQ(r.err, kBanner + "Error: Wave - Can't open file (" + home.dir / "missing.wav" +
                       ").\n"
                       "Error: Wave - This file is not Linear PCM Wave Format file(" +
                       home.dir / "bad.wav" +
                       ").\n"
                       "Error: Wave - File Read error(512 bytes).Sound stopped.\n");
  EXPECT_EQ(r.out, kSeparator + "File name    : " + home.dir / "one.wav" + "\n" +
                       Lines(1, 8000, 8, "600", "0'00\"07") + kSeparator +
                       "File name    : " + home.dir / "short.wav" + "\n" +
                       Lines(2, 8000, 8, "1,000", "0'00\"06") + kSeparator +
                       "File name    : " + home.dir / "two.wav" + "\n" +
                       Lines(2, 22050, 16, "300", "0'00\"00"));
}

TEST(PlayerFiles, RefusedWritesReportEachFileAndTheRunGoesOn) {
  Home home("/dev/full");
  WriteFile(home.dir / "a.wav", MakeWav(WavSpec(), Pattern(10)));
  RunResult r = vdltest::Run({VDLPLAY, home.dir / "a.wav", home.dir / "a.wav"}, {home.env()});
  EXPECT_EQ(r.status, 0);
  std::string refused = "write /dev/dsp: No space left on device\n";
  EXPECT_EQ(r.err, kBanner + refused + refused);
}

// Names are kept whole up to PATH_MAX - 1 characters; longer ones are
// refused before the banner and skipped.
TEST(PlayerFiles, LongNamesAreKeptWholeOrRefused) {
  Home home;
  std::string path = home.dir.path;
  while (PATH_MAX - 2 - path.size() > 250) {
    path += "/" + std::string(100, 'd');
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  path += "/" + std::string(PATH_MAX - 1 - path.size() - 1, 'f');
  ASSERT_EQ(path.size(), static_cast<size_t>(PATH_MAX - 1));
  WriteFile(path, MakeWav(WavSpec(), "sound"));
  std::string tooLong = path + "x";
  RunResult r = vdltest::Run({VDLPLAY, tooLong, path}, {home.env()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "Error: Wave - File name too long (" + tooLong.substr(0, 64) + "...).\n" +
                       kBanner);
  EXPECT_EQ(r.out, kSeparator + "File name    : " + path + "\n" +
                       Lines(1, 8000, 8, "5", "0'00\"00"));
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
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
