// The held DSP device descriptor and the device set-up from a WAV
// stream's values.
#include "dsp.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <linux/soundcard.h>

namespace vdlwave {

volatile sig_atomic_t g_fdDsp = -1;

int OpenDsp(const char *path) {
  g_fdDsp = open(path, O_WRONLY, 0);
  return g_fdDsp;
}

int ReleaseDsp() {
  int fd = g_fdDsp;
  g_fdDsp = -1;
  return fd;
}

// The driver may write back what it accepted through the pointers; that is
// not used, so they point at this call's own copies.
void PreparePlayback(FILE *fp, int32_t stereo, int32_t channels,
                     int32_t freq, int32_t bits) {
  ioctl(g_fdDsp, SNDCTL_DSP_RESET, 0);
  ioctl(g_fdDsp, SNDCTL_DSP_CHANNELS, &channels);
  ioctl(g_fdDsp, SNDCTL_DSP_STEREO, &stereo);
  ioctl(g_fdDsp, SNDCTL_DSP_SPEED, &freq);
  ioctl(g_fdDsp, SNDCTL_DSP_SETFMT, &bits);
  fseek(fp, kHeaderSize, SEEK_SET);
}

}  // namespace vdlwave
