// The device path from the user's RC file.
#include "rcpath.h"

#include "vdl/rcfile.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr char kDefaultDevice[] = "/dev/dsp";
constexpr char kRcName[] = "/.vdlrc";

}  // namespace

namespace vdlwave {

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

}  // namespace vdlwave
