// Arbitrary bytes as a WAV file: the header reader, then blocking playback
// onto /dev/null (its device requests fail harmlessly with ENOTTY).
//
// Invariants, checked for every input:
// - the file is accepted exactly when its first 44 bytes hold the
//   canonical layout ("RIFF", "WAVE", "fmt ", 16, "data");
// - an accepted file's stream stands at offset 44 and its values are the
//   header's fields (stereo = channels - 1, playing time as documented);
// - playback succeeds exactly when the file holds at least the header's
//   data size after the header (always for a size of 0 or less).
#include "vdl/wave.h"

#include "dsp.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int32_t Le32(const uint8_t *p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

int32_t Le16(const uint8_t *p) { return static_cast<int16_t>(p[0] | p[1] << 8); }

bool Canonical(const uint8_t *d, size_t n) {
  return n >= 44 && memcmp(d, "RIFF", 4) == 0 && memcmp(d + 8, "WAVE", 4) == 0 &&
         memcmp(d + 12, "fmt ", 4) == 0 && Le32(d + 16) == 16 &&
         memcmp(d + 36, "data", 4) == 0;
}

int32_t ExpectedTime(int32_t rate, int32_t size) {
  if (rate <= 0) return 0;
  if (rate < 100) return static_cast<int32_t>(static_cast<uint32_t>(size / rate) * 100u);
  return size / (rate / 100);
}

void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t n) {
  // The scratch file is unlinked at once and reached through /proc, so no
  // run leaves it behind.
  static char scratch[] = "/tmp/wavehdr_fuzz.XXXXXX";
  static int file = mkstemp(scratch);
  static int sink = open("/dev/null", O_WRONLY);
  static char path[64];
  if (!path[0]) {
    Check(file >= 0 && sink >= 0, "scratch files");
    unlink(scratch);
    snprintf(path, sizeof path, "/proc/self/fd/%d", file);
  }
  Check(ftruncate(file, 0) == 0 && pwrite(file, data, n, 0) == static_cast<ssize_t>(n),
        "input written");
  vdlwave::g_fdDsp = sink;

  // The module's messages are expected here; keep them off the log.
  int err = dup(STDERR_FILENO);
  dup2(sink, STDERR_FILENO);
  int32_t v[6] = {-7, -7, -7, -7, -7, -7};
  FILE *fp = vdlOpenFile_WaveDSP(path, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  int32_t played = fp ? vdlPlay_WaveDSP(fp, v[0], v[1], v[2], v[3], v[4], v[5]) : -1;
  long at = fp ? ftell(fp) : -1;
  if (fp) fclose(fp);
  dup2(err, STDERR_FILENO);
  close(err);

  Check((fp != nullptr) == Canonical(data, n), "accepted exactly when canonical");
  if (!fp) {
    for (int32_t x : v) Check(x == -7, "no output on rejection");
    return 0;
  }
  int32_t size = Le32(data + 40);
  Check(v[0] == ExpectedTime(Le32(data + 28), size), "playing time");
  Check(v[2] == Le16(data + 22) && v[1] == v[2] - 1, "channels and stereo flag");
  Check(v[3] == Le32(data + 24) && v[4] == Le16(data + 34) && v[5] == size, "fields");
  int64_t available = static_cast<int64_t>(n) - 44;
  Check(played == (size <= available ? 1 : 0), "played exactly when the data is there");
  Check(at == 44 + (size > 0 ? (size <= available ? size : available) : 0),
        "stream read to the end of the data");
  return 0;
}
