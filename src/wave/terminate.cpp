// The termination handler: Ctrl-C or SIGTERM silences the device at once.
#include "terminate.h"

#include "bgm.h"
#include "dsp.h"
#include "safe_io.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <linux/soundcard.h>

using namespace vdlwave;

namespace {

// Reset before close: OSS drivers drain on close, and Ctrl-C must silence
// the device now.  The normal exit path would flush stdio, which the
// interrupted code may be in the middle of; _exit does not.
void ExitCallBack(int) {
  const char *const text[] = {"Terminated...\n"};
  WriteErrorLine(text, 1);
  StopBackground();
  int fd = ReleaseDsp();
  if (fd >= 0) {
    ioctl(fd, SNDCTL_DSP_RESET, 0);
    close(fd);
  }
  _exit(1);
}

}  // namespace

namespace vdlwave {

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

}  // namespace vdlwave
