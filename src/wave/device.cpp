// The DSP device's open and close.
#include "vdl/wave.h"

#include "bgm.h"
#include "dsp.h"
#include "rcpath.h"
#include "terminate.h"

#include "vdl/rcfile.h"

#include <stdio.h>
#include <unistd.h>

using namespace vdlwave;

namespace {

constexpr char kOpenContext[] = "open ";

}  // namespace

int32_t vdlOpenDevice_WaveDSP(void) {
  char device[VDL_RC_VALUE_SIZE];
  LookUpDevicePath(device);
  int fd = OpenDsp(device);
  if (fd < 0) {
    char context[sizeof kOpenContext + VDL_RC_VALUE_SIZE];
    snprintf(context, sizeof context, "%s%s", kOpenContext, device);
    perror(context);
    return fd;
  }
  InstallExitHandler();
  return fd;
}

// The number is given up before the close: from then on neither a timer
// step nor the termination handler can reach a file opened after it.
void vdlCloseDevice_WaveDSP(void) {
  StopBackground();
  int fd = ReleaseDsp();
  if (fd >= 0) close(fd);
}
