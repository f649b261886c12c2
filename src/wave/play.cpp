// Blocking playback.
#include "vdl/wave.h"

#include "dsp.h"
#include "safe_io.h"

#include <errno.h>
#include <stdio.h>
#include <sys/ioctl.h>

#include <linux/soundcard.h>

using namespace vdlwave;

int32_t vdlPlay_WaveDSP(FILE *fp, int32_t, int32_t stereo, int32_t channels,
                        int32_t freq, int32_t bits, int32_t size) {
  if (!fp) {
    errno = 0;
    return 0;
  }
  PreparePlayback(fp, stereo, channels, freq, bits);
  char block[kBlockSize];
  // 64-bit so that pos + 256 cannot overflow for a size near 2^31 - 1.
  for (int64_t pos = 0; pos < size; pos += kBlockSize) {
    size_t len = pos + kBlockSize <= size ? kBlockSize : static_cast<size_t>(size - pos);
    if (fread(block, 1, len, fp) < len) {
      fprintf(stderr, "Error: Wave - File Read error(%d bytes).Sound stopped.\n",
              static_cast<int>(pos));
      ioctl(g_fdDsp, SNDCTL_DSP_SYNC, 0);
      errno = 0;  // a fault of the file, not of the device
      return 0;
    }
    if (!WriteBlock(g_fdDsp, block, len)) {
      int err = errno;
      perror("write /dev/dsp");
      errno = err;
      return 0;
    }
  }
  ioctl(g_fdDsp, SNDCTL_DSP_SYNC, 0);
  return 1;
}

int32_t vdlTestPlay_WaveDSP(const char *path) {
  if (vdlOpenDevice_WaveDSP() < 0) return 0;
  int32_t time, stereo, channels, freq, bits, size;
  FILE *fp = vdlOpenFile_WaveDSP(path, &time, &stereo, &channels, &freq, &bits, &size);
  if (!fp) {
    vdlCloseDevice_WaveDSP();
    return 0;
  }
  vdlPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  return 1;
}
