// The wave module's state, the DSP device's open and close, the
// termination handler, and the signal-safe output helpers.
#include "vdl/wave.h"

#include "vdl/rcfile.h"
#include "wave_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

namespace vdlwave {

volatile sig_atomic_t g_fdDsp = -1;
std::atomic<FILE *> g_fp{nullptr};
volatile sig_atomic_t g_nDataSize = 0;
volatile sig_atomic_t g_nWaveBGMPlaying = 1;
std::atomic<int64_t> g_nWaveBGMPlayPos{0};

int WriteBlock(int fd, const void *buf, size_t len) {
  const char *p = static_cast<const char *>(buf);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (n == 0) {
      errno = EIO;
      return 0;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 1;
}

void WriteErrorLine(const char *const parts[], size_t count) {
  char line[256];
  size_t len = 0;
  for (size_t i = 0; i < count; ++i)
    for (const char *c = parts[i]; *c && len < sizeof line; ++c) line[len++] = *c;
  int saved = errno;
  WriteBlock(STDERR_FILENO, line, len);
  errno = saved;
}

char *FormatDecimal(int32_t value, char *buf) {
  char digits[12];
  int n = 0;
  // Work on the magnitude in 64 bits so INT32_MIN negates safely.
  int64_t v = value < 0 ? -static_cast<int64_t>(value) : value;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  char *p = buf;
  if (value < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  *p = '\0';
  return buf;
}

void PrintWriteError(int err) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32)
  // A constant table: no locale, no allocation.
  const char *reason = strerrordesc_np(err);
#else
  const char *reason = strerror(err);
#endif
  char num[12];
  const char *parts[] = {"write /dev/dsp: ", reason ? reason : "Unknown error ",
                         reason ? "" : FormatDecimal(err, num), "\n"};
  WriteErrorLine(parts, 4);
}

}  // namespace vdlwave

using namespace vdlwave;

namespace {

constexpr char kDefaultDevice[] = "/dev/dsp";
constexpr char kRcName[] = "/.vdlrc";
constexpr char kOpenContext[] = "open ";

// Silences and closes the device and ends the process.  Reset before close:
// OSS drivers drain on close, and Ctrl-C must silence the device now.  The
// normal exit path would flush stdio, which the interrupted code may be in
// the middle of; _exit does not.
void ExitCallBack(int) {
  const char *const text[] = {"Terminated...\n"};
  WriteErrorLine(text, 1);
  g_nWaveBGMPlaying = 0;
  struct itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  int fd = g_fdDsp;
  if (fd >= 0) {
    ioctl(fd, SNDCTL_DSP_RESET, 0);
    close(fd);
  }
  _exit(1);
}

// SIGINT and SIGTERM each block the other while the handler runs, so the
// message is printed once even when both arrive.  A signal ignored when
// the device opens stays ignored: a shell starts background jobs so on
// purpose, and they must outlive the terminal's Ctrl-C.
void InstallExitHandler() {
  struct sigaction sa = {};
  sa.sa_handler = ExitCallBack;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = SA_RESTART;
  const int ends[] = {SIGINT, SIGTERM};
  for (int sig : ends) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &sa, nullptr);
  }
}

// Fills device (VDL_RC_VALUE_SIZE bytes) with the device path from the
// user's RC file, storing the default there when the entry is missing.
void LookUpDevicePath(char *device) {
  snprintf(device, VDL_RC_VALUE_SIZE, "%s", kDefaultDevice);
  const char *home = getenv("HOME");
  // An empty HOME names no directory; it would put the file at the root.
  if (!home || !*home) return;
  if (strlen(home) >= PATH_MAX) {
    fprintf(stderr, "Error: Wave - Home directory name too long (%.64s...).\n",
            home);
    return;
  }
  char rcPath[PATH_MAX + sizeof kRcName];
  snprintf(rcPath, sizeof rcPath, "%s%s", home, kRcName);
  if (!vdlGetRCFileValue(rcPath, "Audio", "DSP", device)) {
    vdlSetRCFileValue(rcPath, "Audio", "DSP", kDefaultDevice);
    snprintf(device, VDL_RC_VALUE_SIZE, "%s", kDefaultDevice);
  }
}

}  // namespace

int32_t vdlOpenDevice_WaveDSP(void) {
  char device[VDL_RC_VALUE_SIZE];
  LookUpDevicePath(device);
  g_fdDsp = open(device, O_WRONLY, 0);
  if (g_fdDsp < 0) {
    char context[sizeof kOpenContext + VDL_RC_VALUE_SIZE];
    snprintf(context, sizeof context, "%s%s", kOpenContext, device);
    perror(context);
    return g_fdDsp;
  }
  InstallExitHandler();
  return g_fdDsp;
}

// The number is given up before the close: from then on neither a timer
// step nor the termination handler can reach a file opened after it.
void vdlCloseDevice_WaveDSP(void) {
  int fd = g_fdDsp;
  StopBackground();
  g_fdDsp = -1;
  if (fd >= 0) close(fd);
}
