// The RC file store through its public interface: every edit and lookup
// checked byte for byte against the file, messages against stderr.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <utility>

#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "testutil.h"
#include "vdl/rcfile.h"

using namespace vdltest;
using namespace std::string_literals;

namespace {

VDL_PRINT_ROWS_BY_NAME

using Bytes = std::optional<std::string>;  // nullopt: no file at all
const Bytes kNoFile = std::nullopt;

struct Edit {
  const char *name;
  Bytes before;
  std::string group, key, value;
  Bytes after;
  int result;
  const char *err;  // stderr, "%s" standing for the path
};

std::string Fill(const char *fmt, const std::string &path) {
  std::string s = fmt;
  size_t at = s.find("%s");
  return at == std::string::npos ? s : s.replace(at, 2, path);
}

class RcEdit : public ::testing::TestWithParam<Edit> {};

TEST_P(RcEdit, RewritesTheFileExactly) {
  const Edit &e = GetParam();
  TempDir dir;
  std::string path = dir / "rc";
  if (e.before) WriteFile(path, *e.before);
  int32_t result = -1;
  std::string err = CaptureStderr([&] {
    result = vdlSetRCFileValue(path.c_str(), e.group.c_str(), e.key.c_str(), e.value.c_str());
  });
  EXPECT_EQ(result, e.result);
  EXPECT_EQ(err, Fill(e.err, path));
  if (e.after) {
    EXPECT_EQ(ReadFile(path), *e.after);
    EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"rc"});
  } else {
    EXPECT_TRUE(ListDir(dir.path).empty());
  }
}

const std::string kLong(1100, 'x');
const std::string kV252(252, 'v');
const std::string kG252(252, 'g');
const std::string kG253(253, 'g');

INSTANTIATE_TEST_SUITE_P(
    Table, RcEdit,
    ::testing::Values(
        Edit{"A_LongerValue", "[Audio]\nDSP=/dev/dsp\nMixer=on\n", "Audio", "DSP", "/dev/dsp1",
             "[Audio]\nDSP=/dev/dsp1\nMixer=on\n", 1, ""},
        Edit{"A_ShorterValueBlanksGo", "[Audio]\nDSP= /dev/audio \n[Video]\n", "Audio", "DSP",
             "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n[Video]\n", 1, ""},
        Edit{"A_KeyOnLastLine", "[Video]\nMode=1\n[Audio]\nDSP=/dev/x\n", "Audio", "DSP",
             "/dev/dsp", "[Video]\nMode=1\n[Audio]\nDSP=/dev/dsp\n", 1, ""},
        Edit{"B_BlankLineBeforeNextHeader", "[Audio]\nLevel=3\n\n[Video]\nMode=1\n", "Audio",
             "DSP", "/dev/dsp", "[Audio]\nLevel=3\nDSP=/dev/dsp\n\n[Video]\nMode=1\n", 1, ""},
        Edit{"B_GroupWithoutEntries", "[Audio]\n[Video]\n", "Audio", "DSP", "/dev/dsp",
             "[Audio]\nDSP=/dev/dsp\n[Video]\n", 1, ""},
        Edit{"C_BlankLinesAtEnd", "[Audio]\nLevel=3\n\n\n", "Audio", "DSP", "/dev/dsp",
             "[Audio]\nLevel=3\nDSP=/dev/dsp\n\n\n", 1, ""},
        Edit{"C_HeaderIsLastLine", "[Video]\nMode=1\n[Audio]\n", "Audio", "DSP", "/dev/dsp",
             "[Video]\nMode=1\n[Audio]\nDSP=/dev/dsp\n", 1, ""},
        Edit{"C_BlankBeforeEqualsInFile", "[Audio]\nDSP = /dev/x\n", "Audio", "DSP", "/dev/dsp",
             "[Audio]\nDSP = /dev/x\nDSP=/dev/dsp\n", 1, ""},
        Edit{"NewGroup_NoFinalNewline", "[Video]\nMode=1", "Audio", "DSP", "/dev/dsp",
             "[Video]\nMode=1\n[Audio]\nDSP=/dev/dsp\n", 1, ""},
        Edit{"NewGroup_EmptyFile", "", "Audio", "DSP", "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n", 1,
             ""},
        Edit{"NewGroup_NoFile", kNoFile, "Audio", "DSP", "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n",
             1, "Warring: Can't open rc file (%s). Create it.\n"},
        // A last line without a newline: one goes before what follows it.
        Edit{"UnterminatedEntryOfTheGroup", "[Audio]\nLevel=3", "Audio", "DSP", "/dev/dsp",
             "[Audio]\nLevel=3\nDSP=/dev/dsp\n", 1, ""},
        Edit{"UnterminatedHeaderOfTheGroup", "DSP=/x\n[Audio]", "Audio", "DSP", "/dev/x",
             "DSP=/x\n[Audio]\nDSP=/dev/x\n", 1, ""},
        Edit{"UnterminatedKeyLineKeepsNoNewline", "[Audio]\nDSP=/dev/x", "Audio", "DSP", "y",
             "[Audio]\nDSP=y", 1, ""},
        Edit{"UnterminatedRemarkInTheGroup", "[Audio]\nM=1\n#", "Audio", "DSP", "y",
             "[Audio]\nM=1\nDSP=y\n#", 1, ""},
        // Edge cases.
        Edit{"HeaderWithRemark", "[Audio] main\n", "Audio", "DSP", "/dev/dsp",
             "[Audio] main\nDSP=/dev/dsp\n", 1, ""},
        Edit{"LongerGroupNameIsOtherGroup", "[Audio2]\nDSP=/dev/x\n", "Audio", "DSP", "/dev/dsp",
             "[Audio2]\nDSP=/dev/x\n[Audio]\nDSP=/dev/dsp\n", 1, ""},
        Edit{"CaseSensitiveKey", "[Audio]\ndsp=/dev/x\n", "Audio", "DSP", "/dev/dsp",
             "[Audio]\ndsp=/dev/x\nDSP=/dev/dsp\n", 1, ""},
        Edit{"EntryBeforeFirstHeaderIgnored", "DSP=/dev/x\n[Audio]\n", "Audio", "DSP", "y",
             "DSP=/dev/x\n[Audio]\nDSP=y\n", 1, ""},
        Edit{"SecondHeaderOfGroupIgnored", "[Audio]\n[Video]\n[Audio]\nDSP=/dev/x\n", "Audio",
             "DSP", "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n[Video]\n[Audio]\nDSP=/dev/x\n", 1, ""},
        Edit{"CommentWithEqualsCountsAsEntry", "[Audio]\nx=1\n# a=b\n[Video]\n", "Audio", "DSP",
             "/dev/dsp", "[Audio]\nx=1\n# a=b\nDSP=/dev/dsp\n[Video]\n", 1, ""},
        Edit{"PlainLineAfterHeaderStaysAfter", "[Audio]\nLevel\n[Video]\n", "Audio", "DSP",
             "/dev/dsp", "[Audio]\nDSP=/dev/dsp\nLevel\n[Video]\n", 1, ""},
        Edit{"CarriageReturnGoesWithOldValue", "[Audio]\nDSP=\t/dev/dsp\r\nM=1\r\n", "Audio",
             "DSP", "x", "[Audio]\nDSP=x\nM=1\r\n", 1, ""},
        Edit{"SameValueSameBytes", "[Audio]\nDSP=/dev/dsp\n#\n", "Audio", "DSP", "/dev/dsp",
             "[Audio]\nDSP=/dev/dsp\n#\n", 1, ""},
        Edit{"ValueWithNewlineAddsLine", "", "Audio", "DSP", "a\nb", "[Audio]\nDSP=a\nb\n", 1,
             ""},
        Edit{"NewlineInKeyRefused", "[Audio]\n", "Audio", "D\nSP", "x", "[Audio]\n", 0, ""},
        Edit{"BlanksWrittenAsGiven", "[Audio]\n", "Audio", "DSP", " x ", "[Audio]\nDSP= x \n", 1,
             ""},
        // Past the line area: the line is cut, the lines after it stay found,
        // and a replacement takes the whole line's length.
        Edit{"LongLineDoesNotHideLaterLines", "[Audio]\n#" + kLong + "\nDSP=/dev/x\n", "Audio",
             "DSP", "y", "[Audio]\n#" + kLong + "\nDSP=y\n", 1, ""},
        Edit{"LongValueReplacedWhole", "[Audio]\nDSP=" + kLong + "\nM=1\n", "Audio", "DSP", "y",
             "[Audio]\nDSP=y\nM=1\n", 1, ""},
        // Work-area limits: refused whole, never cut.
        Edit{"LimitsAccepted", "", kG252, "K", kV252, "[" + kG252 + "]\nK=" + kV252 + "\n", 1,
             ""},
        Edit{"GroupOverLimitRefused", "[A]\n", kG253, "K", "v", "[A]\n", 0, ""},
        Edit{"EntryOverLimitRefused", "[A]\nKK=1\n", "A", "KK", kV252, "[A]\nKK=1\n", 0, ""},
        Edit{"EntryOverLimitRefusedNoFile", kNoFile, "A", "KK", kV252, kNoFile, 0, ""},
        // Zero bytes only ever change with the edited line.
        Edit{"ZeroBytesOutsideLineKept", "[A]\0\n[Audio]\nx=\0\nDSP=a\0b\nM=\0\n"s, "Audio",
             "DSP", "c", "[A]\0\n[Audio]\nx=\0\nDSP=c\nM=\0\n"s, 1, ""},
        Edit{"ZeroByteInKeyLineIsNoMatch", "[Audio]\nDS\0P=x\n"s, "Audio", "DSP", "c",
             "[Audio]\nDS\0P=x\nDSP=c\n"s, 1, ""}),
    ByName());

// Two processes set their own keys kSets times in one file, missing at first:
// each set is found at once, the other's value never goes back, none is lost.
struct Race {
  const char *name;
  std::string groups[2];
};

class RcConcurrentSets : public ::testing::TestWithParam<Race> {};

TEST_P(RcConcurrentSets, LoseNoUpdate) {
  constexpr int kSets = 200;
  const Race &c = GetParam();
  TempDir dir;
  std::string path = dir / "rc";
  const char *keys[2] = {"K0", "K1"};
  auto get = [&](int i) {
    char v[VDL_RC_VALUE_SIZE];
    return vdlGetRCFileValue(path.c_str(), c.groups[i].c_str(), keys[i], v) ? atoi(v) : 0;
  };
  pid_t pids[2];
  for (int i = 0; i < 2; ++i) {
    if ((pids[i] = fork()) != 0) continue;
    if (!freopen("/dev/null", "w", stderr)) _exit(2);  // the missing file is reported
    int bad = 0;
    for (int n = 1, seen = 0, other; n <= kSets; ++n, seen = other) {
      bad += !vdlSetRCFileValue(path.c_str(), c.groups[i].c_str(), keys[i],
                                std::to_string(n).c_str()) || get(i) != n;
      bad += (other = get(1 - i)) < seen;
    }
    _exit(bad ? 1 : 0);
  }
  for (pid_t pid : pids) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "a process lost an update";
  }
  EXPECT_EQ(get(0), kSets);
  EXPECT_EQ(get(1), kSets);
  EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"rc"});
}

INSTANTIATE_TEST_SUITE_P(Table, RcConcurrentSets,
                         ::testing::Values(Race{"OneGroup", {"Audio", "Audio"}},
                                           Race{"OwnGroups", {"A", "B"}}),
                         ByName());

struct Lookup {
  const char *name;
  std::string data;
  int result;
  std::string value;  // the buffer afterwards; "untouched" when result is 0
};

class RcLookup : public ::testing::TestWithParam<Lookup> {};

TEST_P(RcLookup, FindsTheFirstEntryOfTheFirstGroup) {
  const Lookup &l = GetParam();
  TempDir dir;
  std::string path = dir / "rc";
  WriteFile(path, l.data);
  char value[VDL_RC_VALUE_SIZE + 8];
  memset(value, '#', sizeof value);
  value[sizeof value - 1] = '\0';
  int32_t result = -1;
  std::string err = CaptureStderr([&] { result = vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value); });
  EXPECT_EQ(result, l.result);
  EXPECT_EQ(err, "");
  if (l.result) {
    EXPECT_EQ(std::string(value), l.value);
    // Nothing past the documented buffer size is written.
    EXPECT_EQ(std::string(value + VDL_RC_VALUE_SIZE), "#######");
  } else {
    EXPECT_EQ(std::string(value), std::string(sizeof value - 1, '#'));
  }
  EXPECT_EQ(ReadFile(path), l.data);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RcLookup,
    ::testing::Values(
        Lookup{"Trimmed", "[Audio]\nDSP=  /dev/dsp  \n", 1, "/dev/dsp"},
        Lookup{"EqualsInValue", "[Audio]\nDSP=a=b\n", 1, "a=b"},
        Lookup{"EmptyValue", "[Audio]\nDSP=\n", 1, ""},
        Lookup{"BlankValue", "[Audio]\nDSP=   \n", 1, ""},
        Lookup{"BeforeFirstHeader", "DSP=/dev/x\n[Audio]\n", 0, ""},
        Lookup{"InNextGroup", "[Audio]\nLevel=3\n[Video]\nDSP=/dev/x\n", 0, ""},
        Lookup{"UnterminatedLine", "[Audio]\nDSP= /dev/x ", 1, "/dev/x"},
        Lookup{"FirstOfTwo", "[Audio]\nDSP=/dev/x\nDSP=/dev/y\n", 1, "/dev/x"},
        // Edge cases.
        Lookup{"EmptyFile", "", 0, ""},
        Lookup{"HeaderWithRemark", "[Audio] main\nDSP=x\n", 1, "x"},
        Lookup{"LongerGroupName", "[Audio2]\nDSP=x\n", 0, ""},
        Lookup{"CaseSensitive", "[audio]\nDSP=x\n[Audio]\ndsp=y\n", 0, ""},
        Lookup{"BlankBeforeEquals", "[Audio]\nDSP = x\nDSP=y\n", 1, "y"},
        Lookup{"OnlyFirstGroupCounts", "[Audio]\n[V]\n[Audio]\nDSP=x\n", 0, ""},
        Lookup{"CarriageReturnKept", "[Audio]\nDSP=\t/dev/dsp\r\n", 1, "/dev/dsp\r"},
        Lookup{"InnerBlanksKept", "[Audio]\nDSP= a \t b \n", 1, "a \t b"},
        Lookup{"AfterLongLine", "[Audio]\n#" + kLong + "\nDSP=x\n", 1, "x"},
        Lookup{"LongValueCut", "[Audio]\nDSP=" + std::string(300, 'v') + "\n", 1,
               std::string(255, 'v')},
        Lookup{"LongValueTrimmedBeforeCut", "[Audio]\nDSP=" + std::string(100, ' ') +
               std::string(255, 'v') + "\n", 1, std::string(255, 'v')},
        Lookup{"CutValueTrimmed", "[Audio]\nDSP=" + std::string(254, 'v') + "  w\n", 1,
               std::string(254, 'v')},
        Lookup{"LongLineOverLineArea", "[Audio]\nDSP=" + std::string(2000, 'v') + "\n", 1,
               std::string(255, 'v')},
        Lookup{"ZeroByteEndsValue", "[Audio]\nDSP=a\0b\n"s, 1, "a"}),
    ByName());

struct Cut {
  const char *name;
  std::string in, out;
};

class RcSpaceCut : public ::testing::TestWithParam<Cut> {};

TEST_P(RcSpaceCut, TrimsOnlySpacesAndTabsAtTheEnds) {
  std::string text = GetParam().in;
  EXPECT_EQ(vdlSpaceCut(text.data()), 1);
  EXPECT_EQ(std::string(text.c_str()), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RcSpaceCut,
    ::testing::Values(Cut{"Both", " \ta b\t ", "a b"}, Cut{"Leading", "  x", "x"},
                      Cut{"Trailing", "x\t", "x"}, Cut{"None", "x", "x"},
                      Cut{"BlanksOnly", " \t ", ""}, Cut{"Empty", "", ""},
                      Cut{"CarriageReturnStays", " x\r ", "x\r"}),
    ByName());

TEST(RcFile, FirstUseCreatesTheEntryThenFindsIt) {
  TempDir dir;
  std::string path = dir / ".vdlrc";
  char value[VDL_RC_VALUE_SIZE] = "untouched";
  int32_t r = -1;
  EXPECT_EQ(CaptureStderr([&] { r = vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value); }),
            "Error: Can't open rc file (" + path + ")\n");
  EXPECT_EQ(r, 0);
  EXPECT_STREQ(value, "untouched");
  EXPECT_EQ(CaptureStderr([&] { r = vdlSetRCFileValue(path.c_str(), "Audio", "DSP", "/dev/dsp"); }),
            "Warring: Can't open rc file (" + path + "). Create it.\n");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(ReadFile(path), "[Audio]\nDSP=/dev/dsp\n");
  EXPECT_EQ(CaptureStderr([&] { r = vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value); }), "");
  EXPECT_EQ(r, 1);
  EXPECT_STREQ(value, "/dev/dsp");
}

TEST(RcFile, UpdatesAreSeenByTheNextLookupTrimmed) {
  TempDir dir;
  std::string path = dir / "rc";
  WriteFile(path, "[Audio]\nDSP = /dev/x\n");
  char value[VDL_RC_VALUE_SIZE];
  ASSERT_EQ(vdlSetRCFileValue(path.c_str(), "Audio", "DSP", "  /dev/y\t"), 1);
  ASSERT_EQ(vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value), 1);
  EXPECT_STREQ(value, "/dev/y");
  ASSERT_EQ(vdlSetRCFileValue(path.c_str(), "Audio", "DSP", "/dev/z"), 1);
  ASSERT_EQ(vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value), 1);
  EXPECT_STREQ(value, "/dev/z");
  EXPECT_EQ(ReadFile(path), "[Audio]\nDSP = /dev/x\nDSP=/dev/z\n");
}

TEST(RcFile, LookupRefusesOverLongNamesSilently) {
  TempDir dir;
  std::string path = dir / "rc";
  std::string key(VDL_RC_KEY_MAX + 1, 'k');
  WriteFile(path, "[Audio]\n" + key + "=x\n");
  char value[VDL_RC_VALUE_SIZE] = "untouched";
  EXPECT_EQ(vdlGetRCFileValue(path.c_str(), "Audio", key.c_str(), value), 0);
  key.pop_back();
  WriteFile(path, "[Audio]\n" + key + "=x\n");
  EXPECT_EQ(vdlGetRCFileValue(path.c_str(), "Audio", key.c_str(), value), 1);
  EXPECT_STREQ(value, "x");
}

// Root may write anything: the permission checks of the store are seen
// only by another user.  Under root the cases run as this one, in a child.
constexpr uid_t kUnprivileged = 65534;

// The user a case runs as: unprivileged under root, the caller otherwise.
uid_t CaseUser() { return geteuid() == 0 ? kUnprivileged : geteuid(); }

// Gives dir to the case's user, so that it may create files there.
void GiveDir(const TempDir &dir) {
  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.path.c_str(), kUnprivileged, kUnprivileged), 0);
  }
}

// Runs fn as CaseUser(): its result and what it printed on stderr.
std::pair<int32_t, std::string> AsCaseUser(const std::function<int32_t()> &fn) {
  int32_t r = -1;
  if (geteuid() != 0) {
    std::string err = CaptureStderr([&] { r = fn(); });
    return {r, err};
  }
  int fds[2];
  if (pipe(fds) != 0) return {r, "pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(kUnprivileged) != 0 || setuid(kUnprivileged) != 0)
      _exit(2);
    std::string err = CaptureStderr([&] { r = fn(); });
    std::string said = std::to_string(r) + "\n" + err;
    ssize_t ignored = write(fds[1], said.data(), said.size());
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  std::string said;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  size_t eol = said.find('\n');
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || eol == std::string::npos)
    return {r, "the child failed: " + said};
  return {std::stoi(said.substr(0, eol)), said.substr(eol + 1)};
}

// An existing file that cannot be read is never replaced by a new group.
TEST(RcFile, UnreadablePathIsRefusedNotReplaced) {
  TempDir dir;
  std::string path = dir / "rc";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  char value[VDL_RC_VALUE_SIZE] = "untouched";
  int32_t r = -1;
  std::string msg = "Error: Can't open rc file (" + path + ")\n";
  EXPECT_EQ(CaptureStderr([&] { r = vdlSetRCFileValue(path.c_str(), "A", "K", "v"); }), msg);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(CaptureStderr([&] { r = vdlGetRCFileValue(path.c_str(), "A", "K", value); }), msg);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(ListDir(path).size(), 0u);
  GiveDir(dir);
  std::string file = dir / "locked";
  WriteFile(file, "[A]\nK=1\n");
  ASSERT_EQ(chown(file.c_str(), CaseUser(), static_cast<gid_t>(-1)), 0);
  chmod(file.c_str(), 0200);
  auto [result, err] = AsCaseUser([&] { return vdlSetRCFileValue(file.c_str(), "A", "K", "v"); });
  EXPECT_EQ(err, "Error: Can't open rc file (" + file + ")\n");
  EXPECT_EQ(result, 0);
  chmod(file.c_str(), 0600);
  EXPECT_EQ(ReadFile(file), "[A]\nK=1\n");
}

TEST(RcFile, SymlinkStaysAndItsTargetIsUpdated) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
  std::string target = dir / "real/rc";
  std::string link = dir / "link";
  WriteFile(target, "[Audio]\nDSP=/dev/x\n");
  ASSERT_EQ(symlink("real/rc", link.c_str()), 0);
  ASSERT_EQ(vdlSetRCFileValue(link.c_str(), "Audio", "DSP", "/dev/y"), 1);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(target), "[Audio]\nDSP=/dev/y\n");
  EXPECT_EQ(ListDir(dir.path), (std::vector<std::string>{"link", "real"}));
  EXPECT_EQ(ListDir(dir / "real"), std::vector<std::string>{"rc"});
  // A dangling link gets its target created.
  std::string dangling = dir / "dangling";
  ASSERT_EQ(symlink("real/new", dangling.c_str()), 0);
  EXPECT_EQ(CaptureStderr([&] { vdlSetRCFileValue(dangling.c_str(), "A", "K", "v"); }),
            "Warring: Can't open rc file (" + dangling + "). Create it.\n");
  EXPECT_EQ(ReadFile(dir / "real/new"), "[A]\nK=v\n");
  ASSERT_EQ(lstat(dangling.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(RcFile, PermissionBitsAreKeptAndNewFilesFollowTheUmask) {
  TempDir dir;
  std::string path = dir / "rc";
  WriteFile(path, "[A]\nK=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_EQ(vdlSetRCFileValue(path.c_str(), "A", "K", "2"), 1);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  mode_t old = umask(027);
  std::string fresh = dir / "fresh";
  CaptureStderr([&] { vdlSetRCFileValue(fresh.c_str(), "A", "K", "v"); });
  umask(old);
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(RcFile, UnwritableDirectoryFailsWithTheFileKept) {
  TempDir dir;
  GiveDir(dir);
  std::string path = dir / "rc";
  WriteFile(path, "[A]\nK=1\n");
  ASSERT_EQ(chown(path.c_str(), CaseUser(), static_cast<gid_t>(-1)), 0);
  chmod(dir.path.c_str(), 0555);
  auto [r, err] = AsCaseUser([&] { return vdlSetRCFileValue(path.c_str(), "A", "K", "2"); });
  chmod(dir.path.c_str(), 0755);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(err, "Error: Can't open rc file (" + path + ")\n");
  EXPECT_EQ(ReadFile(path), "[A]\nK=1\n");
}

// The write-back replaces the file by a new one, which the permissions of
// the old one do not stop: the store refuses what an edit in place could
// not do, and never hands a file to another owner.
struct Foreign {
  const char *name;
  mode_t mode;
  bool rootOwned;  // else the user's own
  int32_t result;
};

class RcForeignFile : public ::testing::TestWithParam<Foreign> {};

TEST_P(RcForeignFile, IsReplacedOnlyWhenTheUserMayWriteIt) {
  const Foreign &c = GetParam();
  if (c.rootOwned && geteuid() != 0) GTEST_SKIP() << "only root can make a file of root's";
  TempDir dir;
  GiveDir(dir);
  std::string path = dir / "rc";
  const std::string before = "[A]\nK=1\n";
  WriteFile(path, before);
  uid_t owner = c.rootOwned ? 0 : CaseUser();
  ASSERT_EQ(chown(path.c_str(), owner, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
  auto [r, err] = AsCaseUser([&] { return vdlSetRCFileValue(path.c_str(), "A", "K", "2"); });
  EXPECT_EQ(r, c.result);
  EXPECT_EQ(err, c.result ? "" : "Error: Can't open rc file (" + path + ")\n");
  EXPECT_EQ(ReadFile(path), c.result ? "[A]\nK=2\n" : before);
  EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"rc"});
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, owner);
  EXPECT_EQ(st.st_mode & 07777, c.mode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RcForeignFile,
    ::testing::Values(Foreign{"OwnWritable", 0644, false, 1},
                      Foreign{"OwnReadOnly", 0444, false, 0},
                      Foreign{"RootsReadable", 0644, true, 0},
                      // Writable, but the replacement would become the user's.
                      Foreign{"RootsWritable", 0666, true, 0}),
    ByName());

}  // namespace
