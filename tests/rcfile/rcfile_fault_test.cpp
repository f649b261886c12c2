// The RC file store under injected faults: every allocation, read and
// write-back step failed in turn must leave the user's file byte-identical
// and no temporary file behind.
//
// The executable is linked with -Wl,--wrap=malloc,... (see CMakeLists.txt),
// so the module's calls reach the __wrap_ functions below, which fail the
// Nth call of one kind when armed and pass through otherwise.  Link-time
// wrapping touches only the objects linked statically into this program
// (the module, this test, gtest), never the C library's own internal calls
// or a sanitizer runtime, so it works unchanged under ASan, whose
// interceptors __real_malloc then reaches; a preloaded shim would have to be
// loaded after the sanitizer runtime, which ASan refuses.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "testutil.h"
#include "vdl/rcfile.h"

using namespace vdltest;

namespace {

enum Call { kMalloc, kRealloc, kRead, kWrite, kFsync, kClose, kFchmod, kMkstemp, kRename, kFlock };
const char *const kCallNames[] = {"malloc", "realloc", "read",   "write",  "fsync",
                                  "close",  "fchmod",  "mkstemp", "rename", "flock"};

// The armed fault; touched only by the test thread.
struct Fault {
  bool armed = false;
  Call call = kMalloc;
  int failAt = 0;           // fail the call of this number, counted from 1
  int err = 0;              // errno of the failure; 0: read/write return 0
  bool oneByteIo = false;   // reads and writes move at most one byte
  int seen = 0;
  bool fired = false;
  int signal = 0;           // instead of failing, raise this and go on
} g_fault;

bool Fire(Call c) {
  if (!g_fault.armed || g_fault.call != c || ++g_fault.seen != g_fault.failAt) return false;
  g_fault.fired = true;
  if (g_fault.signal == 0) return true;
  raise(g_fault.signal);
  return false;
}

size_t Clip(size_t n) { return g_fault.armed && g_fault.oneByteIo && n > 1 ? 1 : n; }

}  // namespace

extern "C" {
void *__real_malloc(size_t);
void *__real_realloc(void *, size_t);
ssize_t __real_read(int, void *, size_t);
ssize_t __real_write(int, const void *, size_t);
int __real_fsync(int);
int __real_close(int);
int __real_fchmod(int, mode_t);
int __real_mkstemp(char *);
int __real_rename(const char *, const char *);
int __real_flock(int, int);

void *__wrap_malloc(size_t n) {
  if (!Fire(kMalloc)) return __real_malloc(n);
  errno = ENOMEM;
  return nullptr;
}
void *__wrap_realloc(void *p, size_t n) {
  if (!Fire(kRealloc)) return __real_realloc(p, n);
  errno = ENOMEM;
  return nullptr;
}
ssize_t __wrap_read(int fd, void *buf, size_t n) {
  if (!Fire(kRead)) return __real_read(fd, buf, Clip(n));
  errno = g_fault.err;
  return g_fault.err ? -1 : 0;
}
ssize_t __wrap_write(int fd, const void *buf, size_t n) {
  if (!Fire(kWrite)) return __real_write(fd, buf, Clip(n));
  errno = g_fault.err;
  return g_fault.err ? -1 : 0;
}
int __wrap_fsync(int fd) {
  if (!Fire(kFsync)) return __real_fsync(fd);
  errno = g_fault.err;
  return -1;
}
// As on NFS: the descriptor is gone, but the data may not have reached the
// file.
int __wrap_close(int fd) {
  if (!Fire(kClose)) return __real_close(fd);
  __real_close(fd);
  errno = g_fault.err;
  return -1;
}
int __wrap_fchmod(int fd, mode_t mode) {
  if (!Fire(kFchmod)) return __real_fchmod(fd, mode);
  errno = g_fault.err;
  return -1;
}
int __wrap_mkstemp(char *tmpl) {
  if (!Fire(kMkstemp)) return __real_mkstemp(tmpl);
  errno = g_fault.err;
  return -1;
}
int __wrap_rename(const char *from, const char *to) {
  if (!Fire(kRename)) return __real_rename(from, to);
  errno = g_fault.err;
  return -1;
}
int __wrap_flock(int fd, int op) {
  if (!Fire(kFlock)) return __real_flock(fd, op);
  errno = g_fault.err;
  return -1;
}
}

namespace {

VDL_PRINT_ROWS_BY_NAME

struct Scene {
  const char *name;
  std::optional<std::string> before;  // nullopt: no file
  const char *value;
  std::string after;
  bool resizes = true;  // false: the value keeps its length, no realloc
};

struct Kind {
  Call call;
  int err;
  bool oneByteIo;
};

const Kind kKinds[] = {
    {kMalloc, ENOMEM, false}, {kRealloc, ENOMEM, false}, {kRead, EIO, false},
    {kRead, 0, true},  // the file ends early: it shrank after fstat
    {kWrite, ENOSPC, false}, {kWrite, ENOSPC, true},  // at every byte
    {kWrite, 0, false},      {kFsync, EIO, false},   {kClose, EIO, false},
    {kFchmod, EPERM, false}, {kMkstemp, EACCES, false}, {kRename, EACCES, false},
    {kFlock, ENOLCK, false},
    {kRead, EINTR, true},    {kWrite, EINTR, true},  {kFlock, EINTR, false},  // retried
};

const char kNoMemory[] = "Error: Can't allocate memory (rc file i/o libray).";

std::string ExpectedError(const Scene &s, const Kind &k, int n, const std::string &path) {
  if (k.call == kFlock) return "Error: Can't open rc file (" + path + ")\n";
  std::string err = s.before ? "" : "Warring: Can't open rc file (" + path + "). Create it.\n";
  if (k.call == kMalloc && n == 1) return err + kNoMemory + "\n";  // loading
  if (k.call == kMalloc || k.call == kRealloc) return err + kNoMemory;  // editing
  return err + "Error: Can't open rc file (" + path + ")\n";
}

class RcFault : public ::testing::TestWithParam<Scene> {};

TEST_P(RcFault, EveryFailureLeavesTheFileAsItWas) {
  const Scene &s = GetParam();
  for (const Kind &k : kKinds) {
    SCOPED_TRACE(std::string(kCallNames[k.call]) + " errno " + std::to_string(k.err) +
                 (k.oneByteIo ? " one byte at a time" : ""));
    int fired = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE("call " + std::to_string(n));
      ASSERT_LT(n, 1000);
      TempDir dir;
      std::string path = dir / "rc";
      if (s.before) WriteFile(path, *s.before);
      std::vector<std::string> names = ListDir(dir.path);
      int32_t r = -1;
      std::string err = CaptureStderr([&] {
        g_fault = Fault{true, k.call, n, k.err, k.oneByteIo, 0, false};
        r = vdlSetRCFileValue(path.c_str(), "Audio", "DSP", s.value);
        g_fault.armed = false;
      });
      // Of the closes only the temporary file's counts: the read's comes
      // before it, the lock's after.
      bool harmless = k.err == EINTR || (k.call == kClose && n != (s.before ? 2 : 1));
      if (!g_fault.fired || harmless) {
        EXPECT_EQ(r, 1);
        EXPECT_EQ(ReadFile(path), s.after);
        EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"rc"});
        if (!g_fault.fired) break;
        continue;
      }
      ++fired;
      EXPECT_EQ(r, 0);
      EXPECT_EQ(err, ExpectedError(s, k, n, path));
      EXPECT_EQ(ListDir(dir.path), names);
      if (s.before) {
        EXPECT_EQ(ReadFile(path), *s.before);
      }
    }
    // Every kind of call that the update makes must have been failed.
    bool used = k.call == kRealloc ? s.resizes
                : k.call == kRead  ? s.before && !s.before->empty()
                                   : true;
    if (k.err != EINTR && used) {
      EXPECT_GT(fired, 0) << "no " << kCallNames[k.call] << " failed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, RcFault,
    ::testing::Values(
        Scene{"ReplaceLonger", "[Audio]\nDSP=/dev/dsp\nMixer=on\n", "/dev/dsp1",
              "[Audio]\nDSP=/dev/dsp1\nMixer=on\n"},
        Scene{"ReplaceShorter", "[Audio]\nDSP= /dev/audio \n[Video]\n", "/dev/dsp",
              "[Audio]\nDSP=/dev/dsp\n[Video]\n"},
        Scene{"ReplaceSameLength", "[Audio]\nDSP=/dev/abc\nM=1\n", "/dev/xyz",
              "[Audio]\nDSP=/dev/xyz\nM=1\n", false},
        Scene{"InsertBeforeNextGroup", "[Audio]\nLevel=3\n\n[Video]\nMode=1\n", "/dev/dsp",
              "[Audio]\nLevel=3\nDSP=/dev/dsp\n\n[Video]\nMode=1\n"},
        Scene{"InsertBeforeBlankLines", "[Audio]\nLevel=3\n\n\n", "/dev/dsp",
              "[Audio]\nLevel=3\nDSP=/dev/dsp\n\n\n"},
        Scene{"AppendToLastGroup", "[Video]\nMode=1\n[Audio]\n", "/dev/dsp",
              "[Video]\nMode=1\n[Audio]\nDSP=/dev/dsp\n"},
        Scene{"NewGroupAfterUnterminatedLine", "[Video]\nMode=1", "/dev/dsp",
              "[Video]\nMode=1\n[Audio]\nDSP=/dev/dsp\n"},
        Scene{"NewGroupInEmptyFile", "", "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n"},
        Scene{"NewFile", std::nullopt, "/dev/dsp", "[Audio]\nDSP=/dev/dsp\n"}),
    ByName());

TEST(RcFault, LookupFailuresLeaveTheBufferAlone) {
  TempDir dir;
  std::string path = dir / "rc";
  WriteFile(path, "[Audio]\nDSP=/dev/x\n");
  const Kind kinds[] = {{kMalloc, ENOMEM, false}, {kRead, EIO, false}, {kRead, 0, false}};
  const std::string messages[] = {std::string(kNoMemory) + "\n",
                                  "Error: Can't open rc file (" + path + ")\n",
                                  "Error: Can't open rc file (" + path + ")\n"};
  for (int i = 0; i < 3; ++i) {
    char value[VDL_RC_VALUE_SIZE] = "untouched";
    int32_t r = -1;
    std::string err = CaptureStderr([&] {
      g_fault = Fault{true, kinds[i].call, 1, kinds[i].err, false, 0, false};
      r = vdlGetRCFileValue(path.c_str(), "Audio", "DSP", value);
      g_fault.armed = false;
    });
    EXPECT_TRUE(g_fault.fired);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(err, messages[i]);
    EXPECT_STREQ(value, "untouched");
  }
}

// A signal that ends the process during the write-back: it takes effect
// only once the temporary file is renamed, so the new file is whole and
// nothing is left beside it.
struct Interrupt {
  const char *name;
  Call call;  // the signal comes inside this call
  int signal;
  bool fileBefore;
};

class RcWriteBackSignal : public ::testing::TestWithParam<Interrupt> {};

TEST_P(RcWriteBackSignal, WaitsUntilTheFileIsReplaced) {
  const Interrupt &c = GetParam();
  TempDir dir;
  std::string path = dir / "rc";
  if (c.fileBefore) WriteFile(path, "[Audio]\nDSP=/dev/x\n");
  pid_t pid = fork();
  if (pid == 0) {
    signal(c.signal, SIG_DFL);
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    g_fault = Fault{true, c.call, 1, 0, false, 0, false, c.signal};
    vdlSetRCFileValue(path.c_str(), "Audio", "DSP", "/dev/dsp");
    _exit(g_fault.fired ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), c.signal);
  EXPECT_EQ(ListDir(dir.path), std::vector<std::string>{"rc"});
  EXPECT_EQ(ReadFile(path), "[Audio]\nDSP=/dev/dsp\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RcWriteBackSignal,
    ::testing::Values(Interrupt{"IntInMkstemp", kMkstemp, SIGINT, true},
                      Interrupt{"IntInWrite", kWrite, SIGINT, true},
                      Interrupt{"TermInFsync", kFsync, SIGTERM, true},
                      Interrupt{"HupInRename", kRename, SIGHUP, true},
                      Interrupt{"IntInFsyncOfANewFile", kFsync, SIGINT, false}),
    ByName());

}  // namespace
